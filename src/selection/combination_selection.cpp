#include "src/selection/combination_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"
#include "src/scores/kernels.hpp"
#include "src/selection/selection_checks.hpp"
#include "src/selection/step_bounds.hpp"
#include "src/selection/step_scorer.hpp"

namespace orvane {

namespace {

using namespace step;

constexpr const char* kKindNames[] = {"weighting",          "diversifying",
                                      "balancing",          "subpart diversifying",
                                      "subpart similarity", "subpart typicality"};

template <class Strategies>
void check_sample_counts(const Strategies& strategies, const char* kind, std::size_t n_total) {
    for (const auto& s : strategies) {
        if (s.sample_count() != n_total) {
            throw InvalidArgument("The " + std::string(kind) + " strategy has " +
                                  std::to_string(s.sample_count()) +
                                  " samples but n_total_samples is " + std::to_string(n_total));
        }
    }
}

template <class Strategies>
void inform_each(Strategies& strategies, std::size_t sample) {
    for (auto& s : strategies) s.inform(sample);
}

// Kinds without a stopping condition never stop the run.
template <class Strategies>
bool any_stops(const Strategies& strategies, std::size_t candidate) {
    for (const auto& s : strategies) {
        if constexpr (requires { s.should_stop(candidate); }) {
            if (s.should_stop(candidate)) return true;
        }
    }
    return false;
}

// What a strategy needs on every worker during one step, computed once on the calling thread
// beforehand (checks included, so a failure is the same as in a sequential pass).
struct WeightingStep {};
struct DiversityStep {
    float s;
};
struct BalancingStep {
    bool shared;
    std::vector<float> contributions;  // per distinct row
};
struct NoStep {};

DiversityStep prepare(const DiversifyingStrategy& d) { return {d.selected_set_diversity()}; }
DiversityStep prepare(const SubpartDiversifyingStrategy& d) { return {d.prepare_step()}; }
NoStep prepare(const WeightingStrategy&) { return {}; }
NoStep prepare(const SubpartSimilarityStrategy& d) {
    d.prepare_step();
    return {};
}
NoStep prepare(const SubpartTypicalityStrategy& d) {
    d.prepare_step();
    return {};
}
BalancingStep prepare(const BalancingStrategy& b) {
    BalancingStep step{b.prepare_step(), {}};
    if (step.shared) {
        for (float p : b.step_potentials())
            step.contributions.push_back(contribution(p, b.strength()));
    }
    return step;
}

template <class Strategy, class Step>
void add_block(const Strategy& s, const Step& step, std::size_t begin, std::span<float> score,
               std::span<float> potential) {
    if constexpr (std::is_same_v<Step, BalancingStep>) {
        if (step.shared) {
            for (std::size_t i = 0; i < score.size(); ++i) {
                score[i] = score[i] + step.contributions[s.row_of(begin + i)];
            }
            return;
        }
    }
    if constexpr (std::is_same_v<Step, DiversityStep>) {
        s.potentials_range(begin, potential, step.s);
    } else {
        s.potentials_range(begin, potential);
    }
    const float strength = s.strength();
    for (std::size_t i = 0; i < score.size(); ++i) {
        score[i] = score[i] + contribution(potential[i], strength);
    }
}

// The screen's terms of a block (src/selection/step_scorer.hpp): shared values as they are, the
// others through the vector logarithm; a balancing potential taken from bounds on it, which cost
// no libm call, where the classes are few enough for them.
template <class Strategy, class Step>
void screen_block(const Strategy& s, const Step& step, std::size_t begin, std::span<float> score,
                  std::span<float> magnitude, std::span<float> width, std::span<float> work,
                  const ScoreKernels& kernels) {
    const std::size_t n = score.size();
    const std::span<float> potential = work.first(n);
    if constexpr (std::is_same_v<Step, BalancingStep>) {
        if (step.shared) {
            for (std::size_t i = 0; i < n; ++i) {
                const float c = step.contributions[s.row_of(begin + i)];
                score[i] = score[i] + c;
                magnitude[i] = magnitude[i] + std::fabs(c);
            }
            return;
        }
        if (s.class_count() <= kMaxScreenTerms) {
            float* buffers = work.data() + kStepBlock;  // four more buffers of a block
            const std::span<float> hi(buffers, n), l_lo(buffers + kStepBlock, n),
                l_hi(buffers + 2 * kStepBlock, n), unused(buffers + 3 * kStepBlock, n);
            s.potential_bounds(begin, potential, hi, kernels);
            std::fill(l_lo.begin(), l_lo.end(), 0.0f);
            std::fill(l_hi.begin(), l_hi.end(), 0.0f);
            kernels.log_terms(potential.data(), n, 1.0f, l_lo.data(), unused.data());
            kernels.log_terms(hi.data(), n, 1.0f, l_hi.data(), unused.data());
            const float strength = s.strength(), size = std::fabs(strength);
            for (std::size_t i = 0; i < n; ++i) {
                const float mid = (l_lo[i] + l_hi[i]) * 0.5f;
                const float top = std::max(std::fabs(l_lo[i]), std::fabs(l_hi[i]));
                score[i] = score[i] + strength * mid;
                magnitude[i] = magnitude[i] + size * top;
                width[i] = width[i] + size * (std::fabs(l_hi[i] - l_lo[i]) * 0.5f);
            }
            return;
        }
    }
    if constexpr (std::is_same_v<Step, DiversityStep>) {
        s.potentials_range(begin, potential, step.s);
    } else {
        s.potentials_range(begin, potential);
    }
    kernels.log_terms(potential.data(), n, s.strength(), score.data(), magnitude.data());
}

// One sample's term of the exact chain, as add_block adds it.
template <class Strategy, class Step>
float exact_term(const Strategy& s, const Step& step, std::size_t i, float score) {
    if constexpr (std::is_same_v<Step, BalancingStep>) {
        if (step.shared) return score + step.contributions[s.row_of(i)];
    }
    float potential;
    if constexpr (std::is_same_v<Step, DiversityStep>) {
        s.potentials_range(i, std::span(&potential, 1), step.s);
    } else {
        s.potentials_range(i, std::span(&potential, 1));
    }
    return score + contribution(potential, s.strength());
}

template <class Step>
bool exact_in_screen(const Step& step) {
    if constexpr (std::is_same_v<Step, BalancingStep>) return step.shared;
    return false;
}

// A step's chain over the strategy lists and their prepared steps, in kind order (see StepScorer).
template <class Lists, class Steps>
struct StepTerms {
    const Lists& lists;
    const Steps& steps;
    const ScoreKernels& kernels;

    template <class F>
    void each(F&& f) const {
        std::apply(
            [&](const auto&... list) {
                std::apply(
                    [&](const auto&... step) {
                        auto one = [&](const auto& l, const auto& s) {
                            for (std::size_t k = 0; k < l.size(); ++k) f(l[k], s[k]);
                        };
                        (one(list, step), ...);
                    },
                    steps);
            },
            lists);
    }
    void exact(std::size_t begin, std::span<float> score, std::span<float> potential) const {
        each([&](const auto& s, const auto& step) { add_block(s, step, begin, score, potential); });
    }
    void screen(std::size_t begin, std::span<float> score, std::span<float> magnitude,
                std::span<float> width, std::span<float> work) const {
        each([&](const auto& s, const auto& step) {
            screen_block(s, step, begin, score, magnitude, width, work, kernels);
        });
    }
    float exact_one(std::size_t i) const {
        float score = 0.0f;
        each([&](const auto& s, const auto& step) { score = exact_term(s, step, i, score); });
        return score;
    }
    // Whether two or more terms go through a logarithm: the screen saves their libm calls, and
    // costs a second round of the pool per set of blocks.
    bool worth_screening() const {
        std::size_t logs = 0;
        each([&](const auto&, const auto& step) { logs += exact_in_screen(step) ? 0 : 1; });
        return logs >= 2;
    }
};

template <class Strategies>
auto save_each(const Strategies& strategies) {
    std::vector<typename Strategies::value_type::Saved> saved;
    saved.reserve(strategies.size());
    for (const auto& s : strategies) saved.push_back(s.save());
    return saved;
}

template <class Strategies, class Saved>
void restore_each(Strategies& strategies, Saved& saved) noexcept {
    for (std::size_t i = 0; i < saved.size(); ++i) strategies[i].restore(std::move(saved[i]));
}

// Steps taken without the bounds after a step they did not shorten.
constexpr std::size_t kPlainSteps = 8;

[[noreturn]] void fail_no_candidate() { fail("called `Option::unwrap()` on a `None` value"); }

}  // namespace

template <class F>
void CombinationSelection::for_each_kind(F&& f) {
    std::size_t kind = 0;
    std::apply([&](auto&... lists) { (f(lists, kKindNames[kind++]), ...); }, strategies_);
}

void CombinationSelection::set_full_pass(bool on) {
    full_pass_ = on;
    for_each_kind([&](auto& list, const char*) {
        for (auto& s : list) shortcuts(s, !on);
    });
}

bool CombinationSelection::bounds_apply() const {
    if (full_pass_) return false;
    if (!std::get<3>(strategies_).empty()) return false;
    for (const auto& b : std::get<2>(strategies_)) {
        if (!b.sharing() || b.distinct_count() > kMaxMaskRows) return false;
    }
    return true;
}

void CombinationSelection::inform_all(std::size_t sample) {
    for_each_kind([&](auto& list, const char*) { inform_each(list, sample); });
}

std::vector<std::size_t> CombinationSelection::run_selection(
    std::span<const std::size_t> preselected, std::size_t n_total_samples,
    std::size_t n_samples_to_select) {
    const std::size_t n = n_total_samples;
    // Everything is validated before the first strategy changes.
    for_each_kind([&](const auto& list, const char* kind) { check_sample_counts(list, kind, n); });
    for (std::size_t index : preselected) check_selected_sample(index, n);

    // A run either completes or leaves every strategy as it found it: only what inform changes
    // is saved (at most one copy of the per-sample minima per diversifying strategy).
    auto saved = std::apply(
        [](const auto&... lists) { return std::make_tuple(save_each(lists)...); }, strategies_);
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
        std::apply(
            [&](auto&... lists) {
                std::apply([&](auto&... states) { (restore_each(lists, states), ...); }, saved);
            },
            strategies_);
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
    for_each_kind([&](const auto& list, const char*) { n_terms += list.size(); });
    StepScorer scorer(n, taken.data(), n_terms);
    const ScoreKernels& kernels = score_kernels();

    std::optional<StepBounds> bounds;
    std::size_t plain_steps = 0;
    if (n_blocks >= 2 && bounds_apply()) {
        bounds.emplace(std::get<0>(strategies_), std::get<1>(strategies_), std::get<2>(strategies_),
                       std::get<4>(strategies_), std::get<5>(strategies_), n);
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

        const auto steps = std::apply(
            [](const auto&... lists) {
                auto prepare_list = [](const auto& list) {
                    std::vector<decltype(prepare(list.front()))> out;
                    for (const auto& s : list) out.push_back(prepare(s));
                    return out;
                };
                return std::make_tuple(prepare_list(lists)...);
            },
            strategies_);
        const StepTerms<decltype(strategies_), decltype(steps)> terms{strategies_, steps, kernels};
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
        for_each_kind(
            [&](const auto& list, const char*) { stop = stop || any_stops(list, candidate); });
        if (stop) return selected;
        inform_all(candidate);
        selected.push_back(candidate);
        mark(candidate);
        if (bounds) {
            bounds->refresh_block(candidate / kStepBlock, taken.data());
            if (plain_steps == 0) bounds->refresh_all_distances(taken.data());
        }
        progress.advance(1);
        if (selected.size() >= n_samples_to_select) return selected;
    }
}

}  // namespace orvane
