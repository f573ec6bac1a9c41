#include "src/selection/weighting_selection.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "src/selection/selection_checks.hpp"

namespace orvane {

namespace {

// Terms are taken relative to S once S is this many times the largest weight: below, ln(S + w)
// in f32 still orders weights to about 2e-5 of the largest, and the terms keep the bits of the
// plain potentials' logs. S is then also far above the floor, so S + w >= S never floors.
constexpr float kRelativeFrom = 64.0f;
constexpr float kRelativeFloor = 1e-6f;
// w / S up to this is screened by bounds on log1p (below), above it computed exactly.
constexpr float kScreenedRatio = 1.0f / 64.0f;

}  // namespace

WeightingStrategy::WeightingStrategy(std::vector<float> weights, float strength)
    : weights_(std::move(weights)),
      strength_(strength),
      nonnegative_(std::none_of(weights_.begin(), weights_.end(), [](float w) { return w < 0; })) {
    for (float w : weights_) {
        if (w <= FLT_MAX && w > largest_) largest_ = w;
    }
}

WeightingStrategy::Step WeightingStrategy::prepare_step() const {
    const float s = accumulated_;
    const bool relative = nonnegative_ && s >= kRelativeFloor && s <= FLT_MAX &&
                          static_cast<double>(s) >= kRelativeFrom * static_cast<double>(largest_);
    if (!relative) return {false, s, 0.0f, 0.0f};
    const float ln_s = std::log(s);
    return {true, s, ln_s, std::log(step::kPotentialFloor) - ln_s};
}

float WeightingStrategy::relative_log(const Step& step, float w) {
    if (!(w >= 0.0f)) return step.floor_log;  // NaN
    const float x = w / step.s;
    if (x <= FLT_MAX) return std::log1p(x);
    return std::log(step.s + w) - step.ln_s;  // w / S overflowed: S + w is w, or infinite
}

void WeightingStrategy::add_terms(const Step& step, std::size_t begin, std::span<float> score,
                                  std::span<float> potential) const {
    if (!step.relative) return StrategyTerms::add_terms(step, begin, score, potential);
    for (std::size_t i = 0; i < score.size(); ++i) {
        score[i] = score[i] + strength_ * relative_log(step, weights_[begin + i]);
    }
}

float WeightingStrategy::exact_term(const Step& step, std::size_t i, float score) const {
    if (!step.relative) return StrategyTerms::exact_term(step, i, score);
    return score + strength_ * relative_log(step, weights_[i]);
}

// For x = w / S in [0, 1/64]: x - x^2/2 <= log1p(x) <= x, so the screen takes the midpoint
// x - x^2/4 with width x^2/4 (times |strength|), and magnitude |strength| x, which bounds both
// ends. log1pf is faithful (within 2^-23 x) and x, its square and the products round within a
// few 2^-24 x: all inside the margin's 2^-20.8 of the magnitude (screen_margin.hpp). Larger
// ratios, and NaN weights, are computed exactly here.
void WeightingStrategy::screen_terms(const Step& step, std::size_t begin, std::span<float> score,
                                     std::span<float> magnitude, std::span<float> width,
                                     std::span<float> work, const SelectionKernels& kernels) const {
    if (!step.relative) {
        return StrategyTerms::screen_terms(step, begin, score, magnitude, width, work, kernels);
    }
    const float size = std::fabs(strength_);
    for (std::size_t i = 0; i < score.size(); ++i) {
        const float w = weights_[begin + i];
        const float x = w / step.s;
        float term;
        if (x >= 0.0f && x <= kScreenedRatio) {
            const float quarter = (x * x) * 0.25f;
            term = strength_ * (x - quarter);
            magnitude[i] = magnitude[i] + size * x;
            width[i] = width[i] + size * quarter;
        } else {
            term = strength_ * relative_log(step, w);
            magnitude[i] = magnitude[i] + std::fabs(term);
        }
        score[i] = score[i] + term;
    }
}

step::Range WeightingStrategy::key_contributions(step::Range key, const Step& step) const {
    if (!step.relative) return step::contribution_range(key, accumulated_, strength_);
    // relative_log is monotone in w up to one ulp (a faithful log of a monotone ratio); NaN
    // weights and blocks without a number take the floor's log, below every other.
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float lo = key.lo == -kInf ? step.floor_log : relative_log(step, key.lo);
    const float hi = key.hi == -kInf ? step.floor_log : relative_log(step, key.hi);
    const float down = std::nextafter(lo, -kInf), up = std::nextafter(hi, kInf);
    const float strength = strength_;
    if (strength >= 0.0f) return {strength * down, strength * up};
    if (strength < 0.0f) return {strength * up, strength * down};
    return {strength, strength};  // NaN: nothing is proven
}

WeightingStrategy::Pick WeightingStrategy::pick(std::size_t sample) const {
    check_selected_sample(sample, weights_.size());
    return {weights_[sample]};
}

void WeightingStrategy::inform(std::size_t selected_sample, const Pick& pick) {
    if (selected_sample != kElsewhere) check_selected_sample(selected_sample, weights_.size());
    accumulated_ = accumulated_ + pick.weight;
}

}  // namespace orvane
