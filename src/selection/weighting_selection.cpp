#include "src/selection/weighting_selection.hpp"

#include "src/selection/selection_checks.hpp"

namespace orvane {

WeightingStrategy::WeightingStrategy(std::vector<float> weights, float strength)
    : weights_(std::move(weights)), strength_(strength) {}

WeightingStrategy::Pick WeightingStrategy::pick(std::size_t sample) const {
    check_selected_sample(sample, weights_.size());
    return {weights_[sample]};
}

void WeightingStrategy::inform(std::size_t selected_sample, const Pick& pick) {
    if (selected_sample != kElsewhere) check_selected_sample(selected_sample, weights_.size());
    accumulated_ = accumulated_ + pick.weight;
}

}  // namespace orvane
