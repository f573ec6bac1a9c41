#pragma once
// Favours samples with large weights: the potential of a sample is the total weight the
// selected set would have with it added.
#include <cstddef>
#include <span>
#include <vector>

#include "src/selection/strategy.hpp"

namespace orvane {

class WeightingStrategy : public StrategyTerms<WeightingStrategy>, public RunningSum {
public:
    static constexpr const char* kName = "weighting";
    WeightingStrategy(std::vector<float> weights, float strength);

    std::size_t sample_count() const { return weights_.size(); }
    float strength() const { return strength_; }

    // Once the selected weight S is many times the largest weight (and no weight is negative), a
    // term is strength * ln((S + w) / S) = strength * log1p(w / S): the potential's log less
    // ln S, which every sample shares, so the picks are those of the potentials' logs. In f32,
    // ln(S + w) itself would tie weights closer than about 1e-7 S; log1p(w / S) keeps them apart.
    struct Step {
        bool relative;
        float s;
        float ln_s;
        float floor_log;  // ln(1e-8) - ln S: the log of a NaN weight's floored potential
    };
    Step prepare_step() const;
    // The largest finite weight (at least 0) and whether no weight is negative: what decides
    // when the steps turn relative.
    float largest_weight() const { return largest_; }
    bool nonnegative() const { return nonnegative_; }
    // Steps decided by the scale of a larger set of samples that this strategy holds part of.
    void share_scale(float largest, bool nonnegative) {
        largest_ = largest;
        nonnegative_ = nonnegative;
    }
    void potentials_range(const Step&, std::size_t begin, std::span<float> out) const {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = weights_[begin + i] + accumulated_;
    }
    float exact_term(const Step& step, std::size_t i, float score) const;
    void add_terms(const Step& step, std::size_t begin, std::span<float> score,
                   std::span<float> potential) const;
    void screen_terms(const Step& step, std::size_t begin, std::span<float> score,
                      std::span<float> magnitude, std::span<float> width, std::span<float> work,
                      const SelectionKernels& kernels) const;

    struct Pick {
        float weight;
    };
    Pick pick(std::size_t sample) const;
    using StrategyTerms::inform;
    void inform(std::size_t selected_sample, const Pick& pick);

    // Each block's range of weights; a term is monotone in its weight.
    using Bounds = KeyRangeBounds<WeightingStrategy, false>;
    step::Range block_keys(std::size_t begin, std::size_t end, const unsigned char* taken) const {
        return step::key_range(weights_.data(), taken, begin, end);
    }
    step::Range key_contributions(step::Range weights, const Step& step) const;

private:
    // ln((S + w) / S) in a relative step.
    static float relative_log(const Step& step, float w);

    std::vector<float> weights_;
    float strength_;
    bool nonnegative_;      // no weight below 0 (NaN weights take the floor)
    float largest_ = 0.0f;  // the largest finite weight
};

}  // namespace orvane
