#pragma once
// The greedy selection loop over six homogeneous strategy lists, combined in a fixed kind order.
#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <vector>

#include "src/common/stop.hpp"
#include "src/selection/balancing_selection.hpp"
#include "src/selection/diversifying_strategy.hpp"
#include "src/selection/subpart_strategy.hpp"
#include "src/selection/weighting_selection.hpp"

namespace orvane {

class CombinationSelection {
public:
    template <class Strategy>
    void add(Strategy s) {
        shortcuts(s, !full_pass_);
        std::get<std::vector<Strategy>>(strategies_).push_back(std::move(s));
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

private:
    template <class Strategy>
    static void shortcuts(Strategy& s, bool on) {
        if constexpr (std::is_same_v<Strategy, DiversifyingStrategy>) s.set_pruning(on);
        if constexpr (std::is_same_v<Strategy, SubpartDiversifyingStrategy>)
            s.objects().set_pruning(on);
        if constexpr (std::is_same_v<Strategy, BalancingStrategy>) s.set_sharing(on);
    }

    // Calls f(list, kind name) for each kind's list, in kind order.
    template <class F>
    void for_each_kind(F&& f);

    // Whether a step may skip blocks by bounds: only kinds whose scores have monotone keys.
    bool bounds_apply() const;

    // Every strategy, in kind order then insertion order.
    void inform_all(std::size_t sample);

    std::vector<std::size_t> select(std::span<const std::size_t> preselected,
                                    std::size_t n_total_samples, std::size_t n_samples_to_select,
                                    stop::Progress& progress);

    // One homogeneous list per kind, in the order their contributions are summed: no virtual
    // calls in the loop, and each kind's code is written once.
    std::tuple<std::vector<WeightingStrategy>, std::vector<DiversifyingStrategy>,
               std::vector<BalancingStrategy>, std::vector<SubpartDiversifyingStrategy>,
               std::vector<SubpartSimilarityStrategy>, std::vector<SubpartTypicalityStrategy>>
        strategies_;
    bool full_pass_ = false;
};

}  // namespace orvane
