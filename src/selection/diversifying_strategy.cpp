#include "src/selection/diversifying_strategy.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "src/common/blas.hpp"
#include "src/common/worker_pool.hpp"
#include "src/scores/kernels.hpp"
#include "src/selection/selection_checks.hpp"

namespace orvane {

namespace {

constexpr float kUnreached = 1e8f;
constexpr std::size_t kRowBlock = 2048;
// Rows of a group bounded, then computed, together: their high halves stay in cache between.
constexpr std::uint32_t kChunkRows = 64;
// Rows a task collects before computing them: each is fetched when found, and computed a few
// chunks later, by when it has arrived even with the bound pass holding the memory busy.
constexpr std::size_t kHeldRows = 4 * kChunkRows;
// Half norms above this could overflow inside a dot product; such rows are always computed.
constexpr double kNormLimit = 1e36;

// Bounds are evaluated in double: these cover its own rounding (relative errors below 1e-10
// for any dimension we prune) with room to spare.
constexpr double kShrink = 1.0 - 1e-9;
constexpr double kGrow = 1.0 + 2e-7;

// Why a bound may skip a row.
//
// The distance of row x_j from the pick v is computed as t = clamp((h_j - p) + h_v) with
// h = fl(x . x) * 0.5 and p = fl(x_j . v), dot products of D terms in whatever order BLAS uses.
// With u = 2^-24 and g = D u / (1 - D u), any order (with or without fused multiply-add) gives
// |fl(a . b) - a . b| <= g sum |a_i b_i|. Let H = h_j* + h_v*, the exact half norms. Then
//   |h_j - h_j*| <= g h_j*,  |h_v - h_v*| <= g h_v*,
//   |p - p*| <= g |x_j| |v| <= g H               (|a||b| <= (|a|^2 + |b|^2) / 2),
// and the two f32 operations add at most u (|h_j - p| + |h_j - p + h_v|) + u^2 (...) <= 5.01 u
// (1 + g) H, as |h_j|, |p|, |h_v| <= (1 + g) H. So the unclamped t is within
//   E = (2 g + 5.01 u (1 + g)) H <= (2 g + 5.01 u (1 + g)) (h_j + h_v) / (1 - g)
// of the exact half squared distance d*. For D u <= 0.05 that factor is below c = 4 g + 12 u.
// Underflow adds at most 2^-150 per product, covered by eta. The triangle inequality through a
// centre c_b gives |x_j - v| >= |v - c_b| - |x_j - c_b| = lb, so t >= lb^2 / 2 - c (h_j + h_v)
// - eta = L, and the clamp only raises t. A row whose minimum m_j satisfies L >= m_j would not
// pass the strict test t < m_j, so it keeps m_j; with m_j = 0 nothing can pass either. The
// norms stay below kNormLimit, so no partial sum overflows.
struct Margin {
    double c;
    double eta;
    explicit Margin(std::size_t d) {
        const double u = std::ldexp(1.0, -24);
        const double du = static_cast<double>(d) * u;
        const double g = du / (1.0 - du);
        c = 4.0 * g + 12.0 * u;
        eta = static_cast<double>(d + 4) * 1e-40;
    }
    // Lower bound of the computed distance, from a lower bound of the Euclidean one.
    double lower(double lb, double half_norms) const {
        return 0.5 * lb * lb * kShrink - (c * half_norms + eta);
    }
};

bool keeps_minimum(double lb, double half_norms, float min_distance, const Margin& margin) {
    if (min_distance <= 0.0f) return true;
    return lb > 0.0 && margin.lower(lb, half_norms) >= static_cast<double>(min_distance);
}

// Why the high halves bound a distance.
//
// The high half t_k of x_k is x_k cut towards zero to its top eight significant bits, so
// |x_k - t_k| < 2^-7 |x_k| for a normal x_k and < 2^-133 for a subnormal one; hence
// |x_j - t| <= r + a with r = 2^-7 |x_j| and a = sqrt(D) 2^-133, where r^2 <= 2^-14 (2 h_j +
// D 2^-149) / (1 - g) as h_j = fl(x_j . x_j) * 0.5. The kernel's sum s of the D terms
// fl(fl(t_k - v_k)^2), in any order, is at most (1 + u)^3 (1 + g) |t - v|^2 plus D 2^-149 for
// squares that underflow, so |x_j - v| >= T - (r + a) with T^2 = (s - D 2^-149) / ((1 + u)^3
// (1 + g)). The margin above keeps m_j when |x_j - v| >= sqrt(A), A = 2 (m_j + c (h_j + h_v) +
// eta) / (1 - 1e-9), and T >= sqrt(A) + r + a follows, for any e > 0, from T^2 >= (1 + e) A +
// (1 + 1/e) (r + a)^2, which needs no square root per row; e near (r + a) / sqrt(A) is the
// tightest choice, but any e is sound. (r + a)^2 <= (1 + 1e-6) r^2 + (1 + 1e6) a^2. Multiplied
// out, the test is s * square >= beta m_j + gamma h_j + delta; its double rounding, a few 2^-53
// of its terms, is far inside the slack of kShrink and kGrow. Rows and pick are finite and their
// norms below kNormLimit, so s cannot overflow.
struct HighHalfBound {
    // The row keeps its minimum m_j when s * square >= (beta m_j + gamma h_j) + delta.
    double square, beta, gamma, delta;
    // The test for rows of half norm up to `h` and minima up to about `m`.
    static HighHalfBound make(std::size_t d, double h, double m, float h_v, const Margin& margin) {
        const double u = std::ldexp(1.0, -24);
        const double du = static_cast<double>(d) * u;
        const double g = du / (1.0 - du);
        const double square = kShrink * kShrink / ((1.0 + u) * (1.0 + u) * (1.0 + u) * (1.0 + g));
        const double tiny = static_cast<double>(d) * std::ldexp(1.0, -149);
        const double spread = std::ldexp(1.0, -14) * (1.0 + 1e-6) / (1.0 - g) * kGrow;
        const double absolute =
            static_cast<double>(d) * std::ldexp(1.0, -266) * (1.0 + 1e6) * kGrow;
        const double r = std::sqrt(spread * (2.0 * h + tiny) + absolute);
        const double e = m > 0.0 && m < kUnreached ? std::max(r / std::sqrt(2.0 * m), 1e-6) : 1e-3;
        const double f = 1.0 + 1.0 / e;
        const double beta = (1.0 + e) * 2.0 / kShrink;
        return {square, beta, beta * margin.c + f * 2.0 * spread,
                tiny * square + beta * (margin.c * static_cast<double>(h_v) + margin.eta) +
                    f * (spread * tiny + absolute)};
    }
};

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

double distance_to(const float* a, const float* b, std::size_t d) {
    double s = 0.0;
    for (std::size_t k = 0; k < d; ++k) {
        const double t = static_cast<double>(a[k]) - static_cast<double>(b[k]);
        s += t * t;
    }
    return std::sqrt(s);
}

bool finite_row(const float* x, std::size_t d) {
    for (std::size_t k = 0; k < d; ++k) {
        if (!std::isfinite(x[k])) return false;
    }
    return true;
}

}  // namespace

void DiversifyingStrategy::Buckets::build(DistanceCalculator& calc) {
    const std::size_t n = calc.size(), d = calc.dim();
    // Small sets are cheaper in full; few dimensions would make the index too large beside them.
    if (n < 1024 || d < 32 || static_cast<double>(d) * std::ldexp(1.0, -24) > 0.05 ||
        n >= std::numeric_limits<std::uint32_t>::max()) {
        return;
    }
    const auto& h = calc.half_norms();
    std::vector<unsigned char> valid(n);
    pool::for_blocks(n, kRowBlock, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t j = begin; j < end; ++j) {
            valid[j] = finite_row(calc.matrix().row(j), d) && h[j] <= kNormLimit;
        }
    });
    std::vector<std::uint32_t> rows;
    for (std::size_t j = 0; j < n; ++j) {
        if (valid[j]) rows.push_back(static_cast<std::uint32_t>(j));
    }
    if (rows.empty()) return;
    std::size_t k = static_cast<std::size_t>(std::sqrt(static_cast<double>(rows.size())) / 2.0);
    k = std::clamp<std::size_t>(k, 1, 1024);
    // Per row: its sample, its stored row, its gap and its minimum; under a tenth of the rows.
    const double extra = 16.0 * static_cast<double>(n) + static_cast<double>(k) * (4.0 * d + 16.0);
    if (extra > 0.1 * 4.0 * static_cast<double>(n) * static_cast<double>(d)) return;

    // Centres start at evenly spaced rows; the grouping only affects how much is skipped.
    count = k;
    centres.resize(k * d);
    for (std::size_t b = 0; b < k; ++b) {
        const float* x = calc.matrix().row(rows[b * rows.size() / k]);
        std::copy(x, x + d, centres.begin() + static_cast<std::ptrdiff_t>(b * d));
    }
    // Rows are assigned by their leading coordinates only, so that the assignment costs the same
    // at any dimension. The gaps below are exact, so this only affects how much is skipped.
    const std::size_t lead = std::min<std::size_t>(d, 128);
    std::vector<float> lead_centres(k * lead), centre_half(k);
    for (std::size_t b = 0; b < k; ++b) {
        const float* c = centres.data() + b * d;
        std::copy(c, c + lead, lead_centres.begin() + static_cast<std::ptrdiff_t>(b * lead));
        centre_half[b] = blas::dot(lead, c, c) * 0.5f;
    }
    std::vector<std::uint32_t> group_of(n, static_cast<std::uint32_t>(k));
    const std::size_t chunk = 256;
    std::vector<float> products(pool::worker_count() * chunk * k);
    pool::for_blocks(rows.size(), chunk, [&](std::size_t begin, std::size_t end, std::size_t w) {
        // Rows of one chunk are gathered into one GEMM against all centres.
        std::vector<float> block((end - begin) * lead);
        for (std::size_t r = begin; r < end; ++r) {
            const float* x = calc.matrix().row(rows[r]);
            std::copy(x, x + lead, block.begin() + static_cast<std::ptrdiff_t>((r - begin) * lead));
        }
        float* p = products.data() + w * chunk * k;
        blas::gemm_abt(end - begin, k, lead, block.data(), lead_centres.data(), p);
        for (std::size_t r = begin; r < end; ++r) {
            const float* pr = p + (r - begin) * k;
            std::size_t best = 0;
            float best_value = centre_half[0] - pr[0];
            for (std::size_t b = 1; b < k; ++b) {
                const float value = centre_half[b] - pr[b];
                if (value < best_value) best_value = value, best = b;
            }
            group_of[rows[r]] = static_cast<std::uint32_t>(best);
        }
    });
    // One mean step: the mean of a group shortens its gaps.
    std::vector<double> sums(k * d, 0.0);
    std::vector<std::size_t> sizes(k + 1, 0);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t b = group_of[j];
        ++sizes[b];
        if (b == k) continue;
        const float* x = calc.matrix().row(j);
        double* s = sums.data() + b * d;
        for (std::size_t c = 0; c < d; ++c) s[c] += x[c];
    }
    for (std::size_t b = 0; b < k; ++b) {
        if (sizes[b] == 0) continue;
        for (std::size_t c = 0; c < d; ++c) {
            centres[b * d + c] =
                static_cast<float>(sums[b * d + c] / static_cast<double>(sizes[b]));
        }
    }
    offsets.assign(k + 2, 0);
    for (std::size_t b = 0; b <= k; ++b) {
        offsets[b + 1] = offsets[b] + static_cast<std::uint32_t>(sizes[b]);
    }
    members.resize(n);
    std::vector<std::uint32_t> fill(offsets.begin(), offsets.end() - 1);
    for (std::size_t j = 0; j < n; ++j)
        members[fill[group_of[j]]++] = static_cast<std::uint32_t>(j);
    // Moving a row changes none of its bits, and its dot products are the same calls on the same
    // values, so every distance stays as it was.
    calc.reorder_rows(members);
    position.resize(n);
    for (std::size_t i = 0; i < n; ++i) position[members[i]] = static_cast<std::uint32_t>(i);
    const std::size_t bounded_rows = offsets[k];
    gap.assign(n, 0.0f);
    pool::for_blocks(bounded_rows, kRowBlock, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) {
            const float* c = centres.data() + group_of[members[i]] * d;
            gap[i] = static_cast<float>(distance_to(calc.matrix().row(i), c, d) * kGrow);
        }
    });
    radius.assign(k, 0.0f);
    top_half_norm.assign(k, 0.0f);
    for (std::size_t b = 0; b < k; ++b) {
        for (std::uint32_t i = offsets[b]; i < offsets[b + 1]; ++i) {
            radius[b] = std::max(radius[b], gap[i]);
            top_half_norm[b] = std::max(top_half_norm[b], h[i]);
        }
    }
    max_min.assign(k, kUnreached);
    stored_min.assign(n, kUnreached);
}

bool DiversifyingStrategy::Buckets::separate_rows() const {
    // The mean distance of a row to its centre against the median distance between centres
    // (a fixed sample of pairs): one blob spreads wider than its centres lie apart.
    const std::size_t d = count == 0 ? 0 : centres.size() / count;
    if (count < 2) return false;
    double spread = 0.0;
    for (std::uint32_t i = 0; i < offsets[count]; ++i) spread += gap[i];
    spread /= std::max<double>(1.0, offsets[count]);
    std::vector<double> apart;
    const std::size_t step = std::max<std::size_t>(1, count / 16);
    for (std::size_t a = 0; a < count; ++a) {
        for (std::size_t b = (a + 1) % count, n = 0; n < 16 && b != a;
             b = (b + step) % count, ++n) {
            apart.push_back(distance_to(centres.data() + a * d, centres.data() + b * d, d));
        }
    }
    std::nth_element(apart.begin(), apart.begin() + apart.size() / 2, apart.end());
    return spread < apart[apart.size() / 2];
}

void DiversifyingStrategy::Buckets::refresh(const std::vector<float>& min_distances) noexcept {
    for (std::size_t i = 0; i < members.size(); ++i) stored_min[i] = min_distances[members[i]];
    for (std::size_t b = 0; b < count; ++b) {
        float m = 0.0f;
        for (std::uint32_t i = offsets[b]; i < offsets[b + 1]; ++i) m = std::max(m, stored_min[i]);
        max_min[b] = m;
    }
}

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

void DiversifyingStrategy::potentials(std::span<float> out) const {
    const float s = selected_set_diversity();
    pool::for_blocks(out.size(), 8192, [&](std::size_t begin, std::size_t end, std::size_t) {
        potentials_range(begin, out.subspan(begin, end - begin), s);
    });
}

std::vector<float> DiversifyingStrategy::potentials() const {
    std::vector<float> out(sample_count());
    potentials(out);
    return out;
}

void DiversifyingStrategy::inform(std::size_t selected_sample) {
    check_selected_sample(selected_sample, sample_count());
    // A stop inside the bounded pass may leave some minima lowered and the pick unrecorded; a run
    // restores what it saved before its first step.
    if (pruning_) {
        inform_bounded(selected_sample);
    } else {
        inform_all_rows(selected_sample);
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

void DiversifyingStrategy::inform_all_rows(std::size_t selected_sample) {
    const std::size_t at = stored_row(selected_sample);
    if (split_.empty()) {
        distance_row_ = calculator_.distances_from_row(at);
    } else {
        // The calculator's dot products, on the same floats put back together.
        const std::size_t n = sample_count(), d = calculator_.dim();
        const auto& h = calculator_.half_norms();
        const std::vector<float> v = stored_values(at);
        distance_row_.resize(n);
        pool::for_blocks(n, kRowBlock, [&](std::size_t begin, std::size_t end, std::size_t) {
            std::vector<float> x(d);
            for (std::size_t j = begin; j < end; ++j) {
                split_.row(j, x.data());
                distance_row_[j] =
                    clamp_distance((h[j] - blas::dot(d, x.data(), v.data())) + h[at]);
            }
        });
    }
    selected_.push_back(selected_sample);
    computed_rows_ += distance_row_.size();
    // A sample's own selection must not lower its own entry to zero.
    const float old = min_distances_[selected_sample];
    for (std::size_t i = 0; i < distance_row_.size(); ++i) {
        const std::size_t j = sample_at(i);
        if (distance_row_[i] < min_distances_[j]) min_distances_[j] = distance_row_[i];
    }
    min_distances_[selected_sample] = old;
    if (buckets_.built()) buckets_.refresh(min_distances_);
}

void DiversifyingStrategy::inform_bounded(std::size_t selected_sample) {
    const std::size_t d = calculator_.dim(), k = buckets_.count;
    const auto& h = calculator_.half_norms();
    const auto& members = buckets_.members;
    auto& stored_min = buckets_.stored_min;
    const std::size_t at = buckets_.position[selected_sample];
    const std::vector<float> pick = stored_values(at);
    const float* v = pick.data();
    const float h_v = h[at];
    const Margin margin(d);
    const ScoreKernels& kernels = score_kernels();
    // A pick that is not finite, or near overflow, proves nothing: every row is computed.
    const bool bounded = at < buckets_.offsets[k];
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
    selected_.push_back(selected_sample);
    for (std::size_t c : computed) computed_rows_ += c;
}

bool DiversifyingStrategy::should_stop(std::size_t candidate_index) const {
    check_candidate_index(candidate_index, sample_count());
    if (!stop_enabled_) return false;
    const float s = selected_set_diversity();
    return (min_distances_[candidate_index] + s) < (stop_threshold_ + s);
}

}  // namespace orvane
