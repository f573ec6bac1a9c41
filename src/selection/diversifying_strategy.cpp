#include "src/selection/diversifying_strategy.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "src/common/blas.hpp"
#include "src/common/worker_pool.hpp"
#include "src/selection/diversifying_bounds.hpp"
#include "src/selection/kernels.hpp"
#include "src/selection/selection_checks.hpp"

namespace orvane {

using namespace diversifying;

namespace {

// The largest of 0 and minima (never NaN), in lanes the compiler keeps in vector registers.
float largest(const float* v, std::size_t n) {
    constexpr std::size_t kLanes = 8;
    float top[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t u = 0; u < kLanes; ++u) top[u] = v[i + u] > top[u] ? v[i + u] : top[u];
    }
    for (; i < n; ++i) top[0] = v[i] > top[0] ? v[i] : top[0];
    float t = top[0];
    for (std::size_t u = 1; u < kLanes; ++u) t = top[u] > t ? top[u] : t;
    return t;
}

}  // namespace

DiversifyingStrategy::DiversifyingStrategy(EmbeddingRows embeddings,
                                           std::optional<float> stopping_distance, float strength)
    : calculator_(std::move(embeddings)),
      min_distances_(calculator_.size(), kUnreached),
      stop_enabled_(stopping_distance.has_value()),
      stop_threshold_(stopping_distance ? *stopping_distance * (*stopping_distance * 0.5f) : 0.0f),
      strength_(strength) {
    buckets_.build(calculator_);
    pruning_ = buckets_.built();
    // Where the groups cannot separate the rows from a pick, the bound on the high halves is
    // what proves most rows keep their minimum; where they can, it would cost a second read of
    // the rows the groups leave, which are mostly computed anyway.
    if (buckets_.built() && !buckets_.separate_rows()) {
        const std::size_t n = calculator_.size(), d = calculator_.dim();
        split_ = SplitRows(calculator_.release_values(), n, d);
    }
}

float DiversifyingStrategy::selected_set_diversity() const {
    if (selected_.size() < 2) return 0.0f;
    // Entries of earlier selections keep falling, so the sum is recomputed rather than kept.
    float s = -0.0f;
    for (std::size_t index : selected_) s = s + min_distances_[index];
    return s;
}

DiversifyingStrategy::Pick DiversifyingStrategy::pick(std::size_t sample) const {
    check_selected_sample(sample, sample_count());
    const std::size_t at = stored_row(sample);
    return {stored_values(at), calculator_.half_norms()[at]};
}

void DiversifyingStrategy::inform(std::size_t selected_sample, const Pick& pick) {
    if (selected_sample != kElsewhere) check_selected_sample(selected_sample, sample_count());
    // A shard may hold no rows at all: a pick from elsewhere has nothing to lower.
    if (sample_count() == 0) return;
    if (pick.values.size() != calculator_.dim()) calculator_.fail_shape(pick.values.size());
    // A stop inside the bounded pass may leave some minima lowered and the pick unrecorded; a run
    // restores what it saved before its first step.
    if (pruning_) {
        inform_bounded(selected_sample, pick);
    } else {
        inform_all_rows(selected_sample, pick);
    }
}

std::vector<float> DiversifyingStrategy::stored_values(std::size_t i) const {
    const std::size_t d = calculator_.dim();
    std::vector<float> out(d);
    if (split_.empty()) {
        std::copy(calculator_.matrix().row(i), calculator_.matrix().row(i) + d, out.begin());
    } else {
        split_.row(i, out.data());
    }
    return out;
}

void DiversifyingStrategy::inform_all_rows(std::size_t selected_sample, const Pick& pick) {
    const std::size_t n = sample_count(), d = calculator_.dim();
    const auto& h = calculator_.half_norms();
    const float* v = pick.values.data();
    const float h_v = pick.half_norm;
    distance_row_.resize(n);
    pool::for_blocks(n, kRowBlock, [&](std::size_t begin, std::size_t end, std::size_t) {
        // Rows kept in halves are put back together first: the same floats, the same products.
        std::vector<float> x(split_.empty() ? 0 : d);
        for (std::size_t j = begin; j < end; ++j) {
            const float* row = split_.empty() ? calculator_.matrix().row(j) : x.data();
            if (!split_.empty()) split_.row(j, x.data());
            distance_row_[j] = clamp_distance((h[j] - blas::dot(d, row, v)) + h_v);
        }
    });
    const bool own = selected_sample != kElsewhere;
    if (own) selected_.push_back(selected_sample);
    computed_rows_ += n;
    // A sample's own selection must not lower its own entry to zero.
    const float old = own ? min_distances_[selected_sample] : 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = sample_at(i);
        if (distance_row_[i] < min_distances_[j]) min_distances_[j] = distance_row_[i];
    }
    if (own) min_distances_[selected_sample] = old;
    if (buckets_.built()) buckets_.refresh(min_distances_);
}

void DiversifyingStrategy::inform_bounded(std::size_t selected_sample, const Pick& pick) {
    const std::size_t d = calculator_.dim(), k = buckets_.count;
    const auto& h = calculator_.half_norms();
    const auto& members = buckets_.members;
    auto& stored_min = buckets_.stored_min;
    const bool own = selected_sample != kElsewhere;
    // The pick's stored row, or none (past every row) for a pick from elsewhere.
    const std::size_t at = own ? buckets_.position[selected_sample] : kElsewhere;
    const float* v = pick.values.data();
    const float h_v = pick.half_norm;
    const Margin margin(d);
    const SelectionKernels& kernels = selection_kernels();
    // A pick that is not finite, or near overflow, proves nothing: every row is computed. This
    // is the test that keeps such rows out of the groups.
    const bool bounded = groupable_row(v, d, h_v);
    std::vector<float> even((d + 1) / 2), odd(d / 2 + 1);
    for (std::size_t c = 0; c < d; ++c) (c % 2 == 0 ? even : odd)[c / 2] = v[c];

    std::vector<double> to_centre(k, 0.0);
    std::vector<unsigned char> active(k + 1, 1);
    if (bounded) {
        pool::for_blocks(k, 64, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t b = begin; b < end; ++b) {
                to_centre[b] = distance_to(v, buckets_.centres.data() + b * d, d) * kShrink;
                const double lb = to_centre[b] - buckets_.radius[b];
                const double norms = static_cast<double>(buckets_.top_half_norm[b]) + h_v;
                active[b] = !keeps_minimum(lb, norms, buckets_.max_min[b], margin);
            }
        });
    }
    std::vector<std::uint32_t> live;
    for (std::size_t b = 0; b <= k; ++b) {
        if (active[b]) live.push_back(static_cast<std::uint32_t>(b));
    }

    // `i` is a stored row throughout.
    auto fetch = [&](const void* row, std::size_t bytes) {
        const char* p = static_cast<const char*>(row);
        const std::size_t lines = std::min<std::size_t>((bytes + 63) / 64, 16);
        for (std::size_t l = 0; l < lines; ++l) __builtin_prefetch(p + 64 * l);
    };
    const bool halves = !split_.empty();
    std::vector<float> rebuilt(halves ? pool::worker_count() * d : 0);
    std::vector<std::size_t> computed(live.size(), 0);
    // A live group goes by chunks of rows: the group's bound first, then the bound on the high
    // halves; the rows left are fetched as they are found (gaps in the sequence would stop the
    // hardware from doing it), then rebuilt and computed a few chunks later.
    // Groups hold disjoint samples, so each task lowers its own minima; a stop part way leaves
    // some lowered, which the run undoes (restore), and the pick is recorded only at the end.
    pool::run_tasks(live.size(), [&](std::size_t t, std::size_t worker) {
        const std::size_t b = live[t];
        const bool by_row = bounded && b != k;
        const std::uint32_t first = buckets_.offsets[b], last = buckets_.offsets[b + 1];
        float* x = rebuilt.data() + worker * d;
        const HighHalfBound high_test = by_row && halves
                                            ? HighHalfBound::make(d, buckets_.top_half_norm[b],
                                                                  buckets_.max_min[b], h_v, margin)
                                            : HighHalfBound{};
        const double test[4] = {high_test.square, high_test.beta, high_test.gamma, high_test.delta};
        std::uint32_t held[kHeldRows];
        std::size_t n_held = 0;
        const std::uint16_t* highs[kChunkRows];
        float sums[kChunkRows];
        // Both halves: a row that skipped the bound on its high half has not been read yet.
        auto ask = [&](std::uint32_t i) {
            if (!halves) return fetch(calculator_.matrix().row(i), d * sizeof(float));
            fetch(split_.low(i), d * 2);
            fetch(split_.high(i), d * 2);
        };
        std::size_t n_computed = 0;
        auto compute = [&](const std::uint32_t* list, std::size_t count) {
            for (std::size_t q = 0; q < count; ++q) {
                const std::uint32_t i = list[q];
                const float* row = calculator_.matrix().row(i);
                if (halves) split_.row(i, x), row = x;
                const float dist = clamp_distance((h[i] - blas::dot(d, row, v)) + h_v);
                if (dist < stored_min[i]) {
                    stored_min[i] = dist;
                    min_distances_[members[i]] = dist;
                }
            }
            n_computed += count;
        };
        for (std::uint32_t c0 = first; c0 < last; c0 += kChunkRows) {
            const std::uint32_t c1 = std::min<std::uint32_t>(last, c0 + kChunkRows);
            const std::uint32_t rows = c1 - c0;
            // The group's bound first, without branches, so that it runs in vectors. Rows kept in
            // halves are those the groups do not separate: there it is left out.
            unsigned char pass[kChunkRows] = {};
            if (by_row && !halves) {
                const double to_b = to_centre[b];
                for (std::uint32_t r = 0; r < rows; ++r) {
                    const std::uint32_t i = c0 + r;
                    const double lb = to_b - buckets_.gap[i];
                    const double norms = static_cast<double>(h[i]) + h_v;
                    const float m = stored_min[i];
                    pass[r] = (m <= 0.0f) | ((lb > 0.0) & (margin.lower(lb, norms) >= m));
                }
            }
            if (n_held + rows > kHeldRows) {
                compute(held, n_held);
                n_held = 0;
            }
            std::uint32_t* exact = held + n_held;
            std::size_t n_exact = 0;
            if (by_row && halves) {
                // Every row of the chunk through the high-half bound, then the test in vectors;
                // rows no pick has reached yet cannot be proved to stay, and the pick stays.
                split_.highs(c0, rows, highs);
                kernels.high_half_distances(highs, rows, even.data(), odd.data(), d, sums);
                const float* hr = h.data() + c0;
                const float* mr = stored_min.data() + c0;
                static_assert(kChunkRows <= 64);
                std::uint64_t need = kernels.unproved_rows(sums, hr, mr, rows, test, kUnreached);
                if (at >= c0 && at < c1) need &= ~(std::uint64_t{1} << (at - c0));
                // Few rows need computing once the picks cover the data.
                for (; need != 0; need &= need - 1) {
                    exact[n_exact++] = c0 + static_cast<std::uint32_t>(std::countr_zero(need));
                }
            } else {
                if (at >= c0 && at < c1) pass[at - c0] = 1;
                for (std::uint32_t r = 0; r < rows; ++r) {
                    if (!pass[r]) exact[n_exact++] = c0 + r;
                }
            }
            for (std::size_t q = 0; q < n_exact; ++q) ask(exact[q]);
            n_held += n_exact;
        }
        compute(held, n_held);
        // Written once: neighbouring entries belong to other workers' tasks.
        computed[t] = n_computed;
        if (b != k) buckets_.max_min[b] = largest(stored_min.data() + first, last - first);
    });
    if (own) selected_.push_back(selected_sample);
    for (std::size_t c : computed) computed_rows_ += c;
}

bool DiversifyingStrategy::should_stop(std::size_t candidate_index, const Step& step) const {
    check_candidate_index(candidate_index, sample_count());
    if (!stop_enabled_) return false;
    const float s = step.s;
    return (min_distances_[candidate_index] + s) < (stop_threshold_ + s);
}

}  // namespace orvane
