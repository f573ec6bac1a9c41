#pragma once
// Steers the class mix of the selected set towards a target: the potential of a sample is the
// reciprocal of the cross-entropy between the target and the mix with that sample added.
#include <cstddef>
#include <span>
#include <vector>

#include "src/common/embedding.hpp"

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
    // N x M logarithms of the would-be mixes; kept to avoid reallocating at every step.
    mutable std::vector<float> log_mix_;
};

}  // namespace orvane
