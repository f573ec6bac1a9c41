#pragma once
// What every block of a selection step shares: the contribution of a potential, the best of a
// block, and the bounds that let a step skip blocks which cannot hold the best sample.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "src/common/worker_pool.hpp"
#include "src/selection/balancing_selection.hpp"
#include "src/selection/diversifying_strategy.hpp"
#include "src/selection/subpart_strategy.hpp"
#include "src/selection/weighting_selection.hpp"

namespace orvane::step {

constexpr float kPotentialFloor = 1e-8f;
// The score of a sample already taken: below every score a free sample can have.
constexpr float kExcluded = std::numeric_limits<float>::lowest();

// strength * ln(maxNum(p, 1e-8)): a NaN potential takes the floor. Written as a comparison, which
// compiles inline where std::fmax is a call.
inline float floored(float potential) {
    return potential > kPotentialFloor ? potential : kPotentialFloor;
}
inline float contribution(float potential, float strength) {
    return strength * std::log(floored(potential));
}

// Samples per task of a step. Fixed, so no result depends on the number of workers.
constexpr std::size_t kStepBlock = 4096;

// The best of one block: highest score, ties to the lowest index, and whether a NaN was seen.
struct BlockBest {
    std::size_t index;
    float score;
    bool nan;
};

// Skipping blocks that cannot hold the best sample.
//
// With weighting, diversifying, shared balancing and subpart similarity or typicality strategies
// only, a score is a chain of f32 additions of contributions strength * ln(maxNum(p, 1e-8)), each
// with p monotone in one per-sample key (a weight, a minimum distance), taken from a few shared
// values (one per distinct class row), or bounded by the block's largest object score (below).
// Rounded addition, maxNum and multiplication are monotone; a faithfully rounded log (error below
// one ulp, as in every libm we build with) is monotone up to one ulp. So chaining each strategy's
// extremes over a block's free samples, with the log moved one ulp outwards, bounds every score of
// the block from both sides. A block whose bounds are not both finite may hold a NaN or an infinity
// and is always computed; the others are computed only while their upper bound can still beat the
// best score found. The pick is the full pass's pick.
constexpr std::size_t kMaxMaskRows = 64;
// Blocks computed together once the bounds are sorted; fixed, like every block size.
constexpr std::size_t kBoundedBatch = 2;

struct Range {
    float lo, hi;
};

// Keys of the free samples of [begin, end): lo is -inf if one is NaN (its potential takes the
// floor), hi is -inf if none is a number.
Range key_range(const float* key, const unsigned char* taken, std::size_t begin, std::size_t end) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    Range r{inf, -inf};
    for (std::size_t i = begin; i < end; ++i) {
        if (taken[i]) continue;
        const float k = key[i];
        if (k < r.lo) r.lo = k;
        if (k > r.hi) r.hi = k;
        if (k != k) r.lo = -inf;
    }
    return r;
}

// Minima are never NaN and never below 0 (distances are clamped), so only the top is searched,
// in independent lanes the compiler can keep in vector registers.
Range minimum_range(const float* key, const unsigned char* taken, std::size_t begin,
                    std::size_t end) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr std::size_t kLanes = 8;
    float top[kLanes];
    std::fill(top, top + kLanes, -inf);
    std::size_t i = begin;
    for (; i + kLanes <= end; i += kLanes) {
        for (std::size_t u = 0; u < kLanes; ++u) {
            const float k = taken[i + u] ? -inf : key[i + u];
            top[u] = k > top[u] ? k : top[u];
        }
    }
    for (; i < end; ++i) {
        const float k = taken[i] ? -inf : key[i];
        top[0] = k > top[0] ? k : top[0];
    }
    float hi = top[0];
    for (std::size_t u = 1; u < kLanes; ++u) hi = top[u] > hi ? top[u] : hi;
    return {0.0f, hi};
}

Range contribution_range(Range key, float offset, float strength) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    auto ln = [&](float k) { return std::log(floored(k + offset)); };
    const float up = std::nextafter(ln(key.hi), inf), down = std::nextafter(ln(key.lo), -inf);
    if (strength >= 0.0f) return {strength * down, strength * up};
    if (strength < 0.0f) return {strength * up, strength * down};
    return {strength, strength};  // NaN: nothing is proven
}

// The largest potential of a block's samples under a subpart strategy with fixed object scores,
// given the block's span and the accumulated sum A. Every object value fl(s_o + A) is at most
// Y = fl(top + A), as rounding is monotone; so is a maximum of them. A mean of c of them, summed
// in order from -0 and divided by c, is monotone in each value, and c copies of Y give at most
// Y + |Y| (c + 1.01) 2^-24 plus c 2^-149 for subnormal sums (c 2^-24 <= 0.01, else no bound).
// Empty samples have potential 0; NaN potentials take the floor, which no bound is below.
inline float subpart_top(const ObjectScoreSpan& span, float accumulated, bool mean) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const float y = span.top + accumulated;
    float top = y;
    if (mean && std::isfinite(y)) {
        const double c = static_cast<double>(span.most);
        if (c * std::ldexp(1.0, -24) > 0.01) return inf;
        const double bound = static_cast<double>(y) +
                             std::fabs(static_cast<double>(y)) * (c + 1.01) * std::ldexp(1.0, -24) +
                             (c + 1.0) * std::ldexp(1.0, -149);
        top = static_cast<float>(bound);
        if (static_cast<double>(top) < bound) top = std::nextafter(top, inf);
    }
    if (span.most == 0) top = -inf;
    return span.none ? std::max(top, 0.0f) : top;
}

class StepBounds {
public:
    StepBounds(const std::vector<WeightingStrategy>& weighting,
               const std::vector<DiversifyingStrategy>& diversifying,
               const std::vector<BalancingStrategy>& balancing,
               const std::vector<SubpartSimilarityStrategy>& similarity,
               const std::vector<SubpartTypicalityStrategy>& typicality, std::size_t n)
        : weighting_(weighting),
          diversifying_(diversifying),
          balancing_(balancing),
          similarity_(similarity),
          typicality_(typicality),
          n_(n),
          blocks_((n + kStepBlock - 1) / kStepBlock),
          weights_(weighting.size() * blocks_),
          distances_(diversifying.size() * blocks_),
          masks_(balancing.size() * blocks_),
          similar_spans_(similarity.size() * blocks_),
          typical_spans_(typicality.size() * blocks_),
          free_(blocks_),
          upper_(blocks_),
          proven_(blocks_) {
        // Object scores never change, so their spans are found once.
        pool::run_tasks(blocks_, [&](std::size_t b, std::size_t) {
            const std::size_t begin = b * kStepBlock, end = std::min(n_, begin + kStepBlock);
            for (std::size_t s = 0; s < similarity_.size(); ++s) {
                similar_spans_[s * blocks_ + b] = similarity_[s].score_span(begin, end);
            }
            for (std::size_t s = 0; s < typicality_.size(); ++s) {
                typical_spans_[s * blocks_ + b] = typicality_[s].score_span(begin, end);
            }
        });
    }

    // Every structure of one block, after its free samples changed.
    void refresh_block(std::size_t b, const unsigned char* taken) {
        const std::size_t begin = b * kStepBlock, end = std::min(n_, begin + kStepBlock);
        std::size_t free = 0;
        for (std::size_t i = begin; i < end; ++i) free += taken[i] ? 0 : 1;
        free_[b] = free;
        for (std::size_t s = 0; s < weighting_.size(); ++s) {
            const float* weights = weighting_[s].weights().data();
            weights_[s * blocks_ + b] = key_range(weights, taken, begin, end);
        }
        for (std::size_t s = 0; s < balancing_.size(); ++s) {
            std::uint64_t mask = 0;
            for (std::size_t i = begin; i < end; ++i) {
                if (!taken[i]) mask |= std::uint64_t{1} << balancing_[s].row_of(i);
            }
            masks_[s * blocks_ + b] = mask;
        }
        refresh_distances(b, taken);
    }

    void refresh_distances(std::size_t b, const unsigned char* taken) {
        const std::size_t begin = b * kStepBlock, end = std::min(n_, begin + kStepBlock);
        for (std::size_t s = 0; s < diversifying_.size(); ++s) {
            distances_[s * blocks_ + b] =
                minimum_range(diversifying_[s].min_distances().data(), taken, begin, end);
        }
    }

    // The minima fall wherever a pick lands, so their ranges are renewed after every step.
    void refresh_all_distances(const unsigned char* taken) {
        if (diversifying_.empty()) return;
        pool::run_tasks(blocks_, [&](std::size_t b, std::size_t) { refresh_distances(b, taken); });
    }

    // Bounds of this step's scores; `order` lists the blocks to compute, those that must be
    // computed first, then the rest by falling upper bound (ties by position). Returns how many
    // must be computed.
    template <class Steps>
    std::size_t plan(const Steps& steps, std::vector<std::size_t>& order) {
        const auto& diversity = std::get<1>(steps);
        const auto& shares = std::get<2>(steps);
        order.clear();
        for (std::size_t b = 0; b < blocks_; ++b) {
            if (free_[b] == 0) {
                upper_[b] = kExcluded;
                proven_[b] = 1;
                continue;
            }
            float hi = 0.0f, lo = 0.0f;
            auto chain = [&](Range r) { hi = hi + r.hi, lo = lo + r.lo; };
            for (std::size_t s = 0; s < weighting_.size(); ++s) {
                chain(contribution_range(weights_[s * blocks_ + b], weighting_[s].accumulated(),
                                         weighting_[s].strength()));
            }
            for (std::size_t s = 0; s < diversifying_.size(); ++s) {
                chain(contribution_range(distances_[s * blocks_ + b], diversity[s].s,
                                         diversifying_[s].strength()));
            }
            for (std::size_t s = 0; s < balancing_.size(); ++s) {
                chain(shared_range(masks_[s * blocks_ + b], shares[s].contributions));
            }
            constexpr float inf = std::numeric_limits<float>::infinity();
            for (std::size_t s = 0; s < similarity_.size(); ++s) {
                const float top = subpart_top(similar_spans_[s * blocks_ + b],
                                              similarity_[s].accumulated(), false);
                chain(contribution_range({-inf, top}, 0.0f, similarity_[s].strength()));
            }
            for (std::size_t s = 0; s < typicality_.size(); ++s) {
                const float top = subpart_top(typical_spans_[s * blocks_ + b],
                                              typicality_[s].accumulated(), true);
                chain(contribution_range({-inf, top}, 0.0f, typicality_[s].strength()));
            }
            upper_[b] = hi;
            proven_[b] = std::isfinite(hi) && std::isfinite(lo);
            if (!proven_[b]) order.push_back(b);
        }
        const std::size_t must = order.size();
        for (std::size_t b = 0; b < blocks_; ++b) {
            if (proven_[b]) order.push_back(b);
        }
        std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(must), order.end(),
                         [&](std::size_t a, std::size_t b) { return upper_[a] > upper_[b]; });
        return must;
    }

    // Whether block b may hold a score that beats `best` (ties go to the lower index).
    bool may_beat(std::size_t b, const BlockBest& best) const {
        return upper_[b] > best.score || (upper_[b] == best.score && b * kStepBlock < best.index);
    }

private:
    static Range shared_range(std::uint64_t mask, const std::vector<float>& contributions) {
        constexpr float inf = std::numeric_limits<float>::infinity();
        Range r{inf, -inf};
        for (std::size_t u = 0; mask != 0; ++u, mask >>= 1) {
            if (!(mask & 1)) continue;
            const float c = contributions[u];
            if (!std::isfinite(c)) return {c, c};
            if (c < r.lo) r.lo = c;
            if (c > r.hi) r.hi = c;
        }
        return r;
    }

    const std::vector<WeightingStrategy>& weighting_;
    const std::vector<DiversifyingStrategy>& diversifying_;
    const std::vector<BalancingStrategy>& balancing_;
    const std::vector<SubpartSimilarityStrategy>& similarity_;
    const std::vector<SubpartTypicalityStrategy>& typicality_;
    std::size_t n_, blocks_;
    std::vector<Range> weights_, distances_;
    std::vector<std::uint64_t> masks_;
    std::vector<ObjectScoreSpan> similar_spans_, typical_spans_;
    std::vector<std::size_t> free_;
    std::vector<float> upper_;
    std::vector<unsigned char> proven_;
};

}  // namespace orvane::step
