#include "src/selection/combination_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"
#include "src/selection/kernels.hpp"
#include "src/selection/selection_checks.hpp"
#include "src/selection/step_bounds.hpp"
#include "src/selection/step_scorer.hpp"

namespace orvane {

namespace {

using namespace step;
using Strategies = CombinationSelection::Strategies;
using Steps = StrategyKinds::Each<StepsOf>;
using Bounds = StepBounds<Strategies, Steps, StrategyKinds::Each<BoundsListOf>>;

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

// What every strategy needs on every worker during one step, computed once on the calling
// thread beforehand (checks included, so a failure is the same as in a sequential pass).
Steps prepare_steps(const Strategies& strategies) {
    Steps steps;
    strategies.each([&](auto tag, const auto& list) {
        auto& out = steps.template of<typename decltype(tag)::type>();
        out.reserve(list.size());
        for (const auto& s : list) out.push_back(s.prepare_step());
    });
    return steps;
}

// A step's chain over the strategies and their prepared steps, in kind order (see StepScorer).
struct StepTerms {
    const Strategies& strategies;
    const Steps& steps;
    const SelectionKernels& kernels;

    template <class F>
    void each(F&& f) const {
        strategies.each([&](auto tag, const auto& list) {
            const auto& kind_steps = steps.template of<typename decltype(tag)::type>();
            for (std::size_t k = 0; k < list.size(); ++k) f(list[k], kind_steps[k]);
        });
    }
    void exact(std::size_t begin, std::span<float> score, std::span<float> potential) const {
        each([&](const auto& s, const auto& step) { s.add_terms(step, begin, score, potential); });
    }
    void screen(std::size_t begin, std::span<float> score, std::span<float> magnitude,
                std::span<float> width, std::span<float> work) const {
        each([&](const auto& s, const auto& step) {
            s.screen_terms(step, begin, score, magnitude, width, work, kernels);
        });
    }
    float exact_one(std::size_t i) const {
        float score = 0.0f;
        each([&](const auto& s, const auto& step) { score = s.exact_term(step, i, score); });
        return score;
    }
    // Whether two or more terms go through a logarithm: the screen saves their libm calls, and
    // costs a second round of the pool per set of blocks.
    bool worth_screening() const {
        std::size_t logs = 0;
        each([&](const auto& s, const auto& step) { logs += s.exact_in_screen(step) ? 0 : 1; });
        return logs >= 2;
    }
};

// Steps taken without the bounds after a step they did not shorten.
constexpr std::size_t kPlainSteps = 8;

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

    std::vector<unsigned char> taken(n, 0);
    std::size_t distinct = 0;
    auto mark = [&](std::size_t index) {
        if (!taken[index]) {
            taken[index] = 1;
            ++distinct;
        }
    };
    for (std::size_t index : selected) mark(index);

    const std::size_t n_blocks = (n + kStepBlock - 1) / kStepBlock;
    std::vector<std::size_t> all_blocks(n_blocks), order;
    for (std::size_t b = 0; b < n_blocks; ++b) all_blocks[b] = b;
    std::size_t n_terms = 0;
    strategies_.each([&](auto, const auto& list) { n_terms += list.size(); });
    StepScorer scorer(n, taken.data(), n_terms);
    const SelectionKernels& kernels = selection_kernels();

    std::optional<Bounds> bounds;
    std::size_t plain_steps = 0;
    if (n_blocks >= 2 && !full_pass_ && bounds_apply(strategies_)) {
        bounds.emplace(strategies_, n);
        pool::run_tasks(
            n_blocks, [&](std::size_t b, std::size_t) { bounds->refresh_block(b, taken.data()); });
    }
    while (true) {
        stop::poll();
        // Nothing left to choose: never repeat an index to fill the count.
        if (n > 0 && distinct == n) return selected;
        for (std::size_t index : selected) {
            if (index >= n) fail_index(index, n);
        }

        const Steps steps = prepare_steps(strategies_);
        const StepTerms terms{strategies_, steps, kernels};
        const bool screen = !full_pass_ && n > 0 && scorer.screen_step(terms.worth_screening());
        // The exact best of a set of blocks.
        auto best_of = [&](std::span<const std::size_t> blocks) {
            return screen ? scorer.screened(blocks, terms) : scorer.exact(blocks, terms);
        };

        std::size_t candidate;
        if (n == 0) fail_no_candidate();
        if (bounds && plain_steps == 0) {
            const std::size_t must = bounds->plan(steps, order);
            std::size_t done = std::min(order.size(), must + kBoundedBatch);
            BlockBest best = best_of(std::span(order).first(done));
            // Batches double while blocks keep beating the best, so that a step whose bounds
            // prove little costs a few rounds of the pool rather than one per pair of blocks.
            std::size_t batch = kBoundedBatch;
            while (done < order.size() && !best.nan && bounds->may_beat(order[done], best)) {
                std::size_t next = done;
                while (next < order.size() && next - done < batch &&
                       bounds->may_beat(order[next], best)) {
                    ++next;
                }
                batch = std::min<std::size_t>(2 * batch, 64);
                merge(best, best_of(std::span(order).subspan(done, next - done)));
                done = next;
            }
            if (best.nan) fail_no_candidate();
            candidate = best.index;
            // Bounds that left nearly every block to compute are not worth their upkeep (the
            // minima's ranges after every pick) for the next few steps; either way the pick is
            // the full pass's.
            if (done * 10 >= order.size() * 9) plain_steps = kPlainSteps;
        } else {
            if (plain_steps > 0) --plain_steps;
            const BlockBest best = best_of(all_blocks);
            if (n > 1 && best.nan) fail_no_candidate();
            candidate = best.index;
        }
        // Every remaining candidate scores below the exclusion value (minus infinity): the
        // result stands as it is rather than repeating an index.
        if (taken[candidate]) return selected;
        bool stop = false;
        strategies_.each([&](auto, const auto& list) {
            for (const auto& s : list) stop = stop || s.should_stop(candidate);
        });
        if (stop) return selected;
        inform_all(candidate);
        selected.push_back(candidate);
        mark(candidate);
        if (bounds) {
            bounds->refresh_block(candidate / kStepBlock, taken.data());
            if (plain_steps == 0) bounds->refresh_moving(taken.data());
        }
        progress.advance(1);
        if (selected.size() >= n_samples_to_select) return selected;
    }
}

}  // namespace orvane
