#include "src/selection/weighting_selection.hpp"

#include "src/selection/selection_checks.hpp"

namespace orvane {

WeightingStrategy::WeightingStrategy(std::vector<float> weights, float strength)
    : weights_(std::move(weights)), strength_(strength) {}

void WeightingStrategy::inform(std::size_t selected_sample) {
    check_selected_sample(selected_sample, weights_.size());
    accumulated_ = accumulated_ + weights_[selected_sample];
}

}  // namespace orvane
