#pragma once
// How far a screened score may lie from the exact one (src/selection/step_scorer.hpp).
//
// The margin. A step's score is a chain of K f32 additions from 0 of terms e_k = fl(s_k L_k),
// L_k = ln of a floored potential f_k as libm gives it (faithful: within 2^-23 |ln f_k|), or of a
// shared value taken as it is. The screen adds a_k = fl(s_k l_k) instead, l_k within 2^-22.5
// |ln f_k|, or the same shared value. So |L_k - l_k| <= 2^-21.7 |l_k| and, with the two products'
// roundings and underflow, |e_k - a_k| <= 2^-21 n_k + 2^-147 with n_k = |a_k|. Where only bounds
// [p, q] on the potential are known, l_k is the midpoint of l(p) and l(q) and the term's width
// w_k = |s_k| |l(q) - l(p)| / 2 is added: with the roundings of the midpoint and the width,
// |e_k - a_k| <= 2^-20.8 n_k + w_k + 2^-147 with n_k = |s_k| max(|l(p)|, |l(q)|), which also
// bounds |e_k| and |a_k| to within 2^-20. A recursive sum of K terms is within
// g = K 2^-24 / (1 - K 2^-24) of their absolute sum; with M = sum n_k and W = sum w_k,
//   |E - A| <= M (2^-20.8 + 2 g (1 + 2^-20)) + W + K 2^-146.
// The computed magnitude m is at least M (1 - g), the computed width at least W (1 - g) less its
// products' roundings, and A +- d in f32 moves by at most 2^-24 (|A| + d). d = m (2^-20 + K 2^-22)
// + W (1 + 2^-12) + K 2^-120 covers all of it for K up to kMaxScreenTerms, and m <= 2^100 keeps
// every term of both chains finite. A sample beyond that (an infinite or NaN term) is always
// scored exactly.
#include <cstddef>

namespace orvane::step {

constexpr std::size_t kMaxScreenTerms = 1024;
constexpr float kScreenLimit = 0x1p100f;

// d for a chain of `terms` terms, from the computed magnitude m <= kScreenLimit and width.
class ScreenMargin {
public:
    explicit ScreenMargin(std::size_t terms)
        : scale_(0x1p-20f + static_cast<float>(terms) * 0x1p-22f),
          floor_(static_cast<float>(terms) * 0x1p-120f) {}
    float operator()(float magnitude, float width) const {
        return magnitude * scale_ + width * (1.0f + 0x1p-12f) + floor_;
    }

private:
    float scale_, floor_;
};

}  // namespace orvane::step
