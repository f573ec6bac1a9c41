#pragma once
// The greedy selection loop over six homogeneous strategy lists, combined in a fixed kind order.
#include <cstddef>
#include <span>
#include <vector>

#include "src/selection/balancing_selection.hpp"
#include "src/selection/diversifying_strategy.hpp"
#include "src/selection/subpart_strategy.hpp"
#include "src/selection/weighting_selection.hpp"

namespace orvane {

class CombinationSelection {
public:
    void add(WeightingStrategy s) { weighting_.push_back(std::move(s)); }
    void add(DiversifyingStrategy s) { diversifying_.push_back(std::move(s)); }
    void add(BalancingStrategy s) { balancing_.push_back(std::move(s)); }
    void add(SubpartDiversifyingStrategy s) { subpart_diversifying_.push_back(std::move(s)); }
    void add(SubpartSimilarityStrategy s) { subpart_similarity_.push_back(std::move(s)); }
    void add(SubpartTypicalityStrategy s) { subpart_typicality_.push_back(std::move(s)); }

    // Preselected indices first (as given), then the greedily chosen ones.
    // Throws InvalidArgument for a strategy whose sample count differs from n_total_samples,
    // InternalFailure for the loop's internal errors.
    std::vector<std::size_t> run_selection(std::span<const std::size_t> preselected,
                                           std::size_t n_total_samples,
                                           std::size_t n_samples_to_select);

private:
    // Every strategy, in kind order then insertion order.
    void inform_all(std::size_t sample);

    std::vector<WeightingStrategy> weighting_;
    std::vector<DiversifyingStrategy> diversifying_;
    std::vector<BalancingStrategy> balancing_;
    std::vector<SubpartDiversifyingStrategy> subpart_diversifying_;
    std::vector<SubpartSimilarityStrategy> subpart_similarity_;
    std::vector<SubpartTypicalityStrategy> subpart_typicality_;
};

}  // namespace orvane
