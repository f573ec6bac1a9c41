#pragma once
// Steers the class mix of the selected set towards a target: the potential of a sample is the
// reciprocal of the cross-entropy between the target and the mix with that sample added.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "src/common/embedding.hpp"
#include "src/scores/kernels.hpp"

namespace orvane {

class BalancingStrategy {
public:
    // class_distributions is N x M; fails unless M equals target.size().
    BalancingStrategy(EmbeddingMatrix class_distributions, std::vector<float> target,
                      float strength);

    std::size_t sample_count() const { return distributions_.rows; }
    float strength() const { return strength_; }
    const std::vector<float>& class_totals() const { return class_totals_; }

    void potentials(std::span<float> out) const;
    std::vector<float> potentials() const;
    void inform(std::size_t selected_sample);

    // Samples that share a row of class_distributions share their potential, so with few
    // distinct rows a step computes one potential per distinct row. prepare_step() fills them
    // (and returns whether it did); row_of() maps a sample to its distinct row.
    bool prepare_step() const;
    std::span<const float> step_potentials() const { return distinct_potentials_; }
    std::size_t row_of(std::size_t sample) const { return row_of_[sample]; }
    // Potentials of samples [begin, begin + out.size()), without the distinct rows.
    void potentials_range(std::size_t begin, std::span<float> out) const;
    // Bounds lo[i] <= potential <= hi[i] on the same potentials, with the screening logarithm
    // (src/selection/screen_margin.hpp) in place of libm's; -inf and inf where they prove
    // nothing. For at most kMaxScreenTerms classes.
    void potential_bounds(std::size_t begin, std::span<float> lo, std::span<float> hi,
                          const ScoreKernels& kernels) const;
    std::size_t class_count() const { return distributions_.cols; }

    // Off: every sample's potential is computed from its own row.
    void set_sharing(bool on) { sharing_ = on && !distinct_.empty(); }
    bool sharing() const { return sharing_; }
    std::size_t distinct_count() const { return distinct_.size(); }

    // What inform changes, to undo a run that failed.
    struct Saved {
        std::vector<float> class_totals;
    };
    Saved save() const { return {class_totals_}; }
    void restore(Saved saved) noexcept { class_totals_ = std::move(saved.class_totals); }

private:
    EmbeddingMatrix distributions_;
    std::vector<float> target_;
    std::vector<float> class_totals_;
    float strength_;
    float potential_of(const float* p, float* scratch) const;

    std::vector<std::size_t> distinct_;  // first sample of each distinct row
    std::vector<std::uint16_t> row_of_;  // per sample: its distinct row
    bool sharing_ = false;
    mutable std::vector<float> distinct_potentials_;
};

}  // namespace orvane
