#pragma once
// The greedy selection loop over the strategies added, combined in the kinds' order
// (strategy_kinds.hpp).
#include <cstddef>
#include <span>
#include <vector>

#include "src/common/stop.hpp"
#include "src/selection/strategy_kinds.hpp"

namespace orvane {

class CombinationSelection {
public:
    template <SelectionStrategy Strategy>
    void add(Strategy s) {
        s.set_shortcuts(!full_pass_);
        strategies_.of<Strategy>().push_back(std::move(s));
    }

    // For tests: with `on`, every step computes every distance and every sample's balancing
    // potential, as the plain algorithm does, here and in strategies added later.
    void set_full_pass(bool on);

    // Preselected indices first (as given), then the greedily chosen ones. The run ends early
    // when a stopping check fires or the best candidate is already selected (nothing left that
    // scores above the exclusion value). Throws InvalidArgument for a strategy whose sample
    // count differs from n_total_samples, InternalFailure for the loop's internal errors,
    // Stopped when the caller's stop check fires; whatever it throws, every strategy is left
    // as it was before the call.
    std::vector<std::size_t> run_selection(std::span<const std::size_t> preselected,
                                           std::size_t n_total_samples,
                                           std::size_t n_samples_to_select);

    using Strategies = orvane::Strategies;

private:
    // Every strategy, in kind order then insertion order.
    void inform_all(std::size_t sample);

    std::vector<std::size_t> select(std::span<const std::size_t> preselected,
                                    std::size_t n_total_samples, std::size_t n_samples_to_select,
                                    stop::Progress& progress);

    // One homogeneous list per kind: no virtual calls in the loop.
    Strategies strategies_;
    bool full_pass_ = false;
};

}  // namespace orvane
