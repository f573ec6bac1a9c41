#include "src/selection/combination_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "src/common/failure.hpp"
#include "src/selection/selection_checks.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane {

namespace {

constexpr float kPotentialFloor = 1e-8f;
constexpr float kExcluded = std::numeric_limits<float>::lowest();

constexpr const char* kKindNames[] = {"weighting",          "diversifying",
                                      "balancing",          "subpart diversifying",
                                      "subpart similarity", "subpart typicality"};

template <class Strategies>
void check_sample_counts(const Strategies& strategies, const char* kind, std::size_t n_total) {
    for (const auto& s : strategies) {
        if (s.sample_count() != n_total) {
            throw InvalidArgument("The " + std::string(kind) + " strategy has " +
                                  std::to_string(s.sample_count()) +
                                  " samples but n_total_samples is " + std::to_string(n_total));
        }
    }
}

template <class Strategies>
void inform_each(Strategies& strategies, std::size_t sample) {
    for (auto& s : strategies) s.inform(sample);
}

// Kinds without a stopping condition never stop the run.
template <class Strategies>
bool any_stops(const Strategies& strategies, std::size_t candidate) {
    for (const auto& s : strategies) {
        if constexpr (requires { s.should_stop(candidate); }) {
            if (s.should_stop(candidate)) return true;
        }
    }
    return false;
}

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

// What a strategy needs on every worker during one step, computed once on the calling thread
// beforehand (checks included, so a failure is the same as in a sequential pass).
struct WeightingStep {};
struct DiversityStep {
    float s;
};
struct BalancingStep {
    bool shared;
    std::vector<float> contributions;  // per distinct row
};
struct NoStep {};

DiversityStep prepare(const DiversifyingStrategy& d) { return {d.selected_set_diversity()}; }
DiversityStep prepare(const SubpartDiversifyingStrategy& d) { return {d.prepare_step()}; }
NoStep prepare(const WeightingStrategy&) { return {}; }
NoStep prepare(const SubpartSimilarityStrategy& d) {
    d.prepare_step();
    return {};
}
NoStep prepare(const SubpartTypicalityStrategy& d) {
    d.prepare_step();
    return {};
}
BalancingStep prepare(const BalancingStrategy& b) {
    BalancingStep step{b.prepare_step(), {}};
    if (step.shared) {
        for (float p : b.step_potentials())
            step.contributions.push_back(contribution(p, b.strength()));
    }
    return step;
}

template <class Strategy, class Step>
void add_block(const Strategy& s, const Step& step, std::size_t begin, std::span<float> score,
               std::span<float> potential) {
    if constexpr (std::is_same_v<Step, BalancingStep>) {
        if (step.shared) {
            for (std::size_t i = 0; i < score.size(); ++i) {
                score[i] = score[i] + step.contributions[s.row_of(begin + i)];
            }
            return;
        }
    }
    if constexpr (std::is_same_v<Step, DiversityStep>) {
        s.potentials_range(begin, potential, step.s);
    } else {
        s.potentials_range(begin, potential);
    }
    const float strength = s.strength();
    for (std::size_t i = 0; i < score.size(); ++i) {
        score[i] = score[i] + contribution(potential[i], strength);
    }
}

template <class Strategies>
auto save_each(const Strategies& strategies) {
    std::vector<typename Strategies::value_type::Saved> saved;
    saved.reserve(strategies.size());
    for (const auto& s : strategies) saved.push_back(s.save());
    return saved;
}

template <class Strategies, class Saved>
void restore_each(Strategies& strategies, Saved& saved) noexcept {
    for (std::size_t i = 0; i < saved.size(); ++i) strategies[i].restore(std::move(saved[i]));
}

[[noreturn]] void fail_no_candidate() { fail("called `Option::unwrap()` on a `None` value"); }

// The best of one block: highest score, ties to the lowest index, and whether a NaN was seen.
struct BlockBest {
    std::size_t index;
    float score;
    bool nan;
};

BlockBest best_in(std::span<const float> score, std::size_t begin) {
    BlockBest best{begin, score[0], std::isnan(score[0])};
    for (std::size_t i = 1; i < score.size(); ++i) {
        if (std::isnan(score[i])) best.nan = true;
        if (score[i] > best.score) best = {begin + i, score[i], best.nan};
    }
    return best;
}

// Index of the highest score, ties to the lowest index; with two or more samples a NaN
// anywhere fails, as a scan comparing every pair (best, i) would.
std::size_t best_of_blocks(const std::vector<BlockBest>& blocks, std::size_t n) {
    if (n == 0) fail_no_candidate();
    BlockBest best = blocks[0];
    for (std::size_t b = 1; b < blocks.size(); ++b) {
        if (blocks[b].nan) best.nan = true;
        if (blocks[b].score > best.score)
            best.index = blocks[b].index, best.score = blocks[b].score;
    }
    if (n > 1 && best.nan) fail_no_candidate();
    return best.index;
}

// Skipping blocks that cannot hold the best sample.
//
// With weighting, diversifying and shared balancing strategies only, a score is a chain of f32
// additions of contributions strength * ln(maxNum(key + offset, 1e-8)), each monotone in one
// per-sample key (a weight, a minimum distance) or taken from a few shared values (one per
// distinct class row). Rounded addition, maxNum and multiplication are monotone; a faithfully
// rounded log (error below one ulp, as in every libm we build with) is monotone up to one ulp.
// So chaining each strategy's extremes over a block's free samples, with the log moved one ulp
// outwards, bounds every score of the block from both sides. A block whose bounds are not both
// finite may hold a NaN or an infinity and is always computed; the others are computed only while
// their upper bound can still beat the best score found. The pick is the full pass's pick.
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

class StepBounds {
public:
    StepBounds(const std::vector<WeightingStrategy>& weighting,
               const std::vector<DiversifyingStrategy>& diversifying,
               const std::vector<BalancingStrategy>& balancing, std::size_t n)
        : weighting_(weighting),
          diversifying_(diversifying),
          balancing_(balancing),
          n_(n),
          blocks_((n + kStepBlock - 1) / kStepBlock),
          weights_(weighting.size() * blocks_),
          distances_(diversifying.size() * blocks_),
          masks_(balancing.size() * blocks_),
          free_(blocks_),
          upper_(blocks_),
          proven_(blocks_) {}

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
    std::size_t n_, blocks_;
    std::vector<Range> weights_, distances_;
    std::vector<std::uint64_t> masks_;
    std::vector<std::size_t> free_;
    std::vector<float> upper_;
    std::vector<unsigned char> proven_;
};

}  // namespace

template <class F>
void CombinationSelection::for_each_kind(F&& f) {
    std::size_t kind = 0;
    std::apply([&](auto&... lists) { (f(lists, kKindNames[kind++]), ...); }, strategies_);
}

void CombinationSelection::set_full_pass(bool on) {
    full_pass_ = on;
    for_each_kind([&](auto& list, const char*) {
        for (auto& s : list) shortcuts(s, !on);
    });
}

bool CombinationSelection::bounds_apply() const {
    if (full_pass_) return false;
    if (!std::get<3>(strategies_).empty() || !std::get<4>(strategies_).empty() ||
        !std::get<5>(strategies_).empty()) {
        return false;
    }
    for (const auto& b : std::get<2>(strategies_)) {
        if (!b.sharing() || b.distinct_count() > kMaxMaskRows) return false;
    }
    return true;
}

void CombinationSelection::inform_all(std::size_t sample) {
    for_each_kind([&](auto& list, const char*) { inform_each(list, sample); });
}

std::vector<std::size_t> CombinationSelection::run_selection(
    std::span<const std::size_t> preselected, std::size_t n_total_samples,
    std::size_t n_samples_to_select) {
    const std::size_t n = n_total_samples;
    // Everything is validated before the first strategy changes.
    for_each_kind([&](const auto& list, const char* kind) { check_sample_counts(list, kind, n); });
    for (std::size_t index : preselected) check_selected_sample(index, n);

    // A run either completes or leaves every strategy as it found it: only what inform changes
    // is saved (at most one copy of the per-sample minima per diversifying strategy).
    auto saved = std::apply(
        [](const auto&... lists) { return std::make_tuple(save_each(lists)...); }, strategies_);
    try {
        // The run cannot choose more than the samples there are.
        const std::size_t reachable = preselected.size() + n;
        stop::Progress progress(
            "selection", "samples",
            std::max(preselected.size(), std::min(n_samples_to_select, reachable)));
        std::vector<std::size_t> selected = select(preselected, n, n_samples_to_select, progress);
        progress.finish();
        return selected;
    } catch (...) {
        std::apply(
            [&](auto&... lists) {
                std::apply([&](auto&... states) { (restore_each(lists, states), ...); }, saved);
            },
            strategies_);
        throw;
    }
}

std::vector<std::size_t> CombinationSelection::select(std::span<const std::size_t> preselected,
                                                      std::size_t n,
                                                      std::size_t n_samples_to_select,
                                                      stop::Progress& progress) {
    std::vector<std::size_t> selected(preselected.begin(), preselected.end());
    for (std::size_t index : preselected) {
        stop::poll();
        inform_all(index);
        progress.advance(1);
    }
    if (selected.size() >= n_samples_to_select) return selected;

    std::vector<unsigned char> taken(n, 0);
    std::size_t distinct = 0;
    auto mark = [&](std::size_t index) {
        if (!taken[index]) {
            taken[index] = 1;
            ++distinct;
        }
    };
    for (std::size_t index : selected) mark(index);

    const std::size_t n_blocks = (n + kStepBlock - 1) / kStepBlock;
    std::vector<BlockBest> block_best(n_blocks);
    std::vector<float> scratch(pool::worker_count() * 2 * kStepBlock);
    std::vector<std::size_t> all_blocks(n_blocks), order;
    for (std::size_t b = 0; b < n_blocks; ++b) all_blocks[b] = b;

    std::optional<StepBounds> bounds;
    if (n_blocks >= 2 && bounds_apply()) {
        bounds.emplace(std::get<0>(strategies_), std::get<1>(strategies_), std::get<2>(strategies_),
                       n);
        pool::run_tasks(
            n_blocks, [&](std::size_t b, std::size_t) { bounds->refresh_block(b, taken.data()); });
    }
    while (true) {
        stop::poll();
        // Nothing left to choose: never repeat an index to fill the count.
        if (n > 0 && distinct == n) return selected;
        for (std::size_t index : selected) {
            if (index >= n) fail_index(index, n);
        }

        auto steps = std::apply(
            [](const auto&... lists) {
                auto prepare_list = [](const auto& list) {
                    std::vector<decltype(prepare(list.front()))> out;
                    for (const auto& s : list) out.push_back(prepare(s));
                    return out;
                };
                return std::make_tuple(prepare_list(lists)...);
            },
            strategies_);
        // One pass per block: every contribution in kind order, the exclusion, the block's best.
        auto score_blocks = [&](std::span<const std::size_t> blocks) {
            pool::run_tasks(blocks.size(), [&](std::size_t t, std::size_t w) {
                const std::size_t begin = blocks[t] * kStepBlock;
                const std::size_t end = std::min(n, begin + kStepBlock);
                const std::span<float> score(scratch.data() + w * 2 * kStepBlock, end - begin);
                const std::span<float> potential(scratch.data() + (w * 2 + 1) * kStepBlock,
                                                 end - begin);
                std::fill(score.begin(), score.end(), 0.0f);
                std::apply(
                    [&](const auto&... lists) {
                        std::apply(
                            [&](const auto&... step_lists) {
                                auto add_list = [&](const auto& list, const auto& step_list) {
                                    for (std::size_t k = 0; k < list.size(); ++k) {
                                        add_block(list[k], step_list[k], begin, score, potential);
                                    }
                                };
                                (add_list(lists, step_lists), ...);
                            },
                            steps);
                    },
                    strategies_);
                for (std::size_t i = begin; i < end; ++i) {
                    if (taken[i]) score[i - begin] = kExcluded;
                }
                block_best[blocks[t]] = best_in(score, begin);
            });
        };

        std::size_t candidate;
        if (bounds) {
            const std::size_t must = bounds->plan(steps, order);
            std::size_t done = std::min(order.size(), must + kBoundedBatch);
            score_blocks(std::span(order).first(done));
            BlockBest best = block_best[order[0]];
            auto merge = [&](std::size_t from, std::size_t to) {
                for (std::size_t t = from; t < to; ++t) {
                    const BlockBest& b = block_best[order[t]];
                    if (b.nan) best.nan = true;
                    if (b.score > best.score || (b.score == best.score && b.index < best.index)) {
                        best.index = b.index, best.score = b.score;
                    }
                }
            };
            merge(0, done);
            while (done < order.size() && !best.nan && bounds->may_beat(order[done], best)) {
                std::size_t next = done;
                while (next < order.size() && next - done < kBoundedBatch &&
                       bounds->may_beat(order[next], best)) {
                    ++next;
                }
                score_blocks(std::span(order).subspan(done, next - done));
                merge(done, next);
                done = next;
            }
            if (best.nan) fail_no_candidate();
            candidate = best.index;
        } else {
            score_blocks(all_blocks);
            candidate = best_of_blocks(block_best, n);
        }
        // Every remaining candidate scores below the exclusion value (minus infinity): the
        // result stands as it is rather than repeating an index.
        if (taken[candidate]) return selected;
        bool stop = false;
        for_each_kind(
            [&](const auto& list, const char*) { stop = stop || any_stops(list, candidate); });
        if (stop) return selected;
        inform_all(candidate);
        selected.push_back(candidate);
        mark(candidate);
        if (bounds) {
            bounds->refresh_block(candidate / kStepBlock, taken.data());
            bounds->refresh_all_distances(taken.data());
        }
        progress.advance(1);
        if (selected.size() >= n_samples_to_select) return selected;
    }
}

}  // namespace orvane
