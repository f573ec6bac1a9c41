#include "src/scores/knn/recompute.hpp"

#include <cmath>
#include <limits>

namespace orvane::knn {

float exact_half_squared_distance(const float* a, const float* b, std::size_t d) {
    float s[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= d; i += 8) {
        for (std::size_t l = 0; l < 8; ++l) {
            const float e = a[i + l] - b[i + l];
            s[l] += e * e;
        }
    }
    for (std::size_t l = 0; i < d; ++i, ++l) {
        const float e = a[i] - b[i];
        s[l] += e * e;
    }
    return (((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]))) * 0.5f;
}

// With u = 2^-24 and g = D u / (1 - D u) (the bound on a dot product of length D in any order
// of summation, with or without fused multiply-adds), H = |a|^2/2 + |b|^2/2, P = a.b and
// t = H - P:
//   computed half norms  h_a' = h_a (1 + e), |e| <= g (the factor 1/2 is exact), same for h_b;
//   computed product     p' = P + e_p, |e_p| <= g sum |a_i b_i| <= g H, as |a_i b_i| is at most
//                        (a_i^2 + b_i^2) / 2;
//   v = ((h_b' - p') (1 + d1) + h_a') (1 + d2), |d1|, |d2| <= u.
// |h_b' - p'| and |h_b' - p' + h_a'| are both at most 2 (1 + g) H, so
//   |v - t| <= g H + g H + 2u (1 + u)(1 + g) H + 2u (1 + g) H <= (2g + (4u + 2u^2)(1 + g)) H,
// and H <= (h_a' + h_b') / (1 - g). Underflow adds at most 2^-150 per product and per halving,
// (3D + 2) 2^-150 in all, below FLT_MIN = 2^-126 for D up to five million. The factor below is
// rounded up with room for the four f32 roundings of the bound itself, so a pair with t = 0
// always has v strictly below it.
float expansion_slack(std::size_t d) {
    const double u = std::ldexp(1.0, -24), du = static_cast<double>(d) * u;
    if (du >= 0.01) return std::numeric_limits<float>::max();
    const double g = du / (1.0 - du);
    const double c = (2.0 * g + (4.0 * u + 2.0 * u * u) * (1.0 + g)) / (1.0 - g);
    return std::nextafter(static_cast<float>(c * (1.0 + 16.0 * u)),
                          std::numeric_limits<float>::infinity());
}

}  // namespace orvane::knn
