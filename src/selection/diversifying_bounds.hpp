#pragma once
// The bounds by which the diversifying strategy's inform leaves a row's minimum as it is without
// computing its distance, with the rounding arguments that make them safe. Used by its grouping
// (diversifying_groups.cpp) and its bounded pass (diversifying_strategy.cpp) only.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace orvane::diversifying {

constexpr float kUnreached = 1e8f;
constexpr std::size_t kRowBlock = 2048;
// Rows of a group bounded, then computed, together: their high halves stay in cache between.
constexpr std::uint32_t kChunkRows = 64;
// Rows a task collects before computing them: each is fetched when found, and computed a few
// chunks later, by when it has arrived even with the bound pass holding the memory busy.
constexpr std::size_t kHeldRows = 4 * kChunkRows;
// Half norms above this could overflow inside a dot product; such rows are always computed.
constexpr double kNormLimit = 1e36;

// Whether a row, with half norm h, can join a group (and a pick of it prove anything): finite,
// and its norm far from overflow.
inline bool groupable_row(const float* x, std::size_t d, float h) {
    for (std::size_t k = 0; k < d; ++k) {
        if (!std::isfinite(x[k])) return false;
    }
    return h <= kNormLimit;
}

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

inline bool keeps_minimum(double lb, double half_norms, float min_distance, const Margin& margin) {
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

// The Euclidean distance in double, for the triangle inequality through a centre.
inline double distance_to(const float* a, const float* b, std::size_t d) {
    double s = 0.0;
    for (std::size_t k = 0; k < d; ++k) {
        const double t = static_cast<double>(a[k]) - static_cast<double>(b[k]);
        s += t * t;
    }
    return std::sqrt(s);
}

}  // namespace orvane::diversifying
