#include "src/selection/combination_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"
#include "src/selection/greedy_steps.hpp"
#include "src/selection/selection_checks.hpp"

namespace orvane {

namespace {

template <class Kind>
void check_sample_counts(const std::vector<Kind>& strategies, std::size_t n_total) {
    for (const auto& s : strategies) {
        if (s.sample_count() != n_total) {
            throw InvalidArgument("The " + std::string(Kind::kName) + " strategy has " +
                                  std::to_string(s.sample_count()) +
                                  " samples but n_total_samples is " + std::to_string(n_total));
        }
    }
}

[[noreturn]] void fail_no_candidate() {
    raise_internal_failure("called `Option::unwrap()` on a `None` value");
}

}  // namespace

void CombinationSelection::set_full_pass(bool on) {
    full_pass_ = on;
    strategies_.each([&](auto, auto& list) {
        for (auto& s : list) s.set_shortcuts(!on);
    });
}

void CombinationSelection::inform_all(std::size_t sample) {
    strategies_.each([&](auto, auto& list) {
        for (auto& s : list) s.inform(sample);
    });
}

std::vector<std::size_t> CombinationSelection::run_selection(
    std::span<const std::size_t> preselected, std::size_t n_total_samples,
    std::size_t n_samples_to_select) {
    const std::size_t n = n_total_samples;
    // Everything is validated before the first strategy changes.
    strategies_.each([&](auto, const auto& list) { check_sample_counts(list, n); });
    for (std::size_t index : preselected) check_selected_sample(index, n);

    // A run either completes or leaves every strategy as it found it: only what inform changes
    // is saved (at most one copy of the per-sample minima per diversifying strategy).
    StrategyKinds::Each<SavedOf> saved;
    strategies_.each([&](auto tag, const auto& list) {
        auto& out = saved.template of<typename decltype(tag)::type>();
        out.reserve(list.size());
        for (const auto& s : list) out.push_back(s.save());
    });
    try {
        // The run cannot choose more than the samples there are.
        const std::size_t reachable = preselected.size() + n;
        stop::Progress progress(
            "selection", "samples",
            std::max(preselected.size(), std::min(n_samples_to_select, reachable)));
        std::vector<std::size_t> selected = select(preselected, n, n_samples_to_select, progress);
        progress.finish();
        return selected;
    } catch (...) {
        strategies_.each([&](auto tag, auto& list) {
            auto& states = saved.template of<typename decltype(tag)::type>();
            for (std::size_t i = 0; i < states.size(); ++i) list[i].restore(std::move(states[i]));
        });
        throw;
    }
}

std::vector<std::size_t> CombinationSelection::select(std::span<const std::size_t> preselected,
                                                      std::size_t n,
                                                      std::size_t n_samples_to_select,
                                                      stop::Progress& progress) {
    std::vector<std::size_t> selected(preselected.begin(), preselected.end());
    for (std::size_t index : preselected) {
        stop::poll();
        inform_all(index);
        progress.advance(1);
    }
    if (selected.size() >= n_samples_to_select) return selected;

    GreedySteps steps_of(strategies_, n, selected, full_pass_);
    while (true) {
        stop::poll();
        // Nothing left to choose: never repeat an index to fill the count.
        if (n > 0 && steps_of.distinct() == n) return selected;
        for (std::size_t index : selected) {
            if (index >= n) fail_index(index, n);
        }
        const Steps steps = prepare_steps(strategies_);
        if (n == 0) fail_no_candidate();
        const step::BlockBest best = steps_of.best(steps);
        if (n > 1 && best.nan) fail_no_candidate();
        const std::size_t candidate = best.index;
        // Every remaining candidate scores below the exclusion value (minus infinity): the
        // result stands as it is rather than repeating an index.
        if (steps_of.taken(candidate)) return selected;
        if (any_stop(strategies_, steps, candidate)) return selected;
        inform_all(candidate);
        selected.push_back(candidate);
        steps_of.take(candidate);
        progress.advance(1);
        if (selected.size() >= n_samples_to_select) return selected;
    }
}

}  // namespace orvane
