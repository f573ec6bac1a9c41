#pragma once
// Distances the dot-product expansion cannot resolve. The expansion v = (h_b - a.b) + h_a loses
// about D u (h_a + h_b) to rounding, so a duplicate pair comes out as a small positive number,
// different for every pair. Where v is below its own rounding bound, the scan takes the
// distance from the coordinates instead; every other distance keeps the expansion's bits.
#include <cstddef>

namespace orvane::knn {

// 0.5 * sum (a_i - b_i)^2 in a fixed order: eight running sums (lane i mod 8), then added
// pairwise. One copy for every kernel level and thread count, so the bits never vary.
float exact_half_squared_distance(const float* a, const float* b, std::size_t d);

// The factor c of the bound c * h_a + c * h_b + FLT_MIN on |v - |a - b|^2 / 2| (derivation in
// recompute.cpp); the largest float when D is too large for the bound to mean anything.
float expansion_slack(std::size_t d);

// The bound for half norms h_a, h_b. Rows whose half norm is not finite get 0: their expansion
// is NaN or infinite and keeps its value (a NaN distance stays 0). Monotone in each finite
// half norm, which the scans' filters rely on. Internal linkage: the kernel copies of every level
// call it, and no copy may end up calling another level's.
static inline float expansion_bound(float slack, float h_a, float h_b) {
    constexpr float kMax = 3.40282347e38f, kTiny = 1.17549435e-38f;
    if (!(h_a <= kMax && h_b <= kMax)) return 0.0f;
    return (slack * h_a + slack * h_b) + kTiny;
}

}  // namespace orvane::knn
