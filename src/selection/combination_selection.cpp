#include "src/selection/combination_selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>

#include "src/common/failure.hpp"
#include "src/selection/selection_checks.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane {

namespace {

constexpr float kPotentialFloor = 1e-8f;
constexpr float kExcluded = std::numeric_limits<float>::lowest();

constexpr const char* kKindNames[] = {"weighting",            "diversifying",
                                      "balancing",            "subpart diversifying",
                                      "subpart similarity",   "subpart typicality"};

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

// strength * ln(maxNum(p, 1e-8)); fmax returns the floor for a NaN potential.
inline float contribution(float potential, float strength) {
    return strength * std::log(std::fmax(potential, kPotentialFloor));
}

// Samples per task of a step. Fixed, so no result depends on the number of workers.
constexpr std::size_t kStepBlock = 4096;

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
NoStep prepare(const SubpartSimilarityStrategy& d) { d.prepare_step(); return {}; }
NoStep prepare(const SubpartTypicalityStrategy& d) { d.prepare_step(); return {}; }
BalancingStep prepare(const BalancingStrategy& b) {
    BalancingStep step{b.prepare_step(), {}};
    if (step.shared) {
        for (float p : b.step_potentials()) step.contributions.push_back(contribution(p, b.strength()));
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

[[noreturn]] void fail_no_candidate() { fail("called `Option::unwrap()` on a `None` value"); }

// The best of one block: highest score, ties to the lowest index, and whether a NaN was seen.
struct BlockBest {
    std::size_t index;
    float score;
    bool nan;
};

BlockBest best_in(std::span<const float> score, std::size_t begin) {
    BlockBest best{begin, score[0], std::isnan(score[0])};
    for (std::size_t i = 1; i < score.size(); ++i) {
        if (std::isnan(score[i])) best.nan = true;
        if (score[i] > best.score) best = {begin + i, score[i], best.nan};
    }
    return best;
}

// Index of the highest score, ties to the lowest index; with two or more samples a NaN
// anywhere fails, as a scan comparing every pair (best, i) would.
std::size_t best_of_blocks(const std::vector<BlockBest>& blocks, std::size_t n) {
    if (n == 0) fail_no_candidate();
    BlockBest best = blocks[0];
    for (std::size_t b = 1; b < blocks.size(); ++b) {
        if (blocks[b].nan) best.nan = true;
        if (blocks[b].score > best.score) best.index = blocks[b].index, best.score = blocks[b].score;
    }
    if (n > 1 && best.nan) fail_no_candidate();
    return best.index;
}

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

void CombinationSelection::inform_all(std::size_t sample) {
    for_each_kind([&](auto& list, const char*) { inform_each(list, sample); });
}

std::vector<std::size_t> CombinationSelection::run_selection(std::span<const std::size_t> preselected,
                                                             std::size_t n_total_samples,
                                                             std::size_t n_samples_to_select) {
    const std::size_t n = n_total_samples;
    // Everything is validated before the first strategy changes.
    for_each_kind([&](const auto& list, const char* kind) { check_sample_counts(list, kind, n); });
    for (std::size_t index : preselected) check_selected_sample(index, n);

    // A run either completes or leaves every strategy as it found it: only what inform changes
    // is saved (at most one copy of the per-sample minima per diversifying strategy).
    auto saved = std::apply(
        [](const auto&... lists) {
            return std::make_tuple(save_each(lists)...);
        },
        strategies_);
    try {
        // The run cannot choose more than the samples there are.
        const std::size_t reachable = preselected.size() + n;
        stop::Progress progress("selection", "samples",
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
                                                      std::size_t n, std::size_t n_samples_to_select,
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
    std::vector<BlockBest> block_best(n_blocks);
    std::vector<float> scratch(pool::worker_count() * 2 * kStepBlock);
    while (true) {
        stop::poll();
        // Nothing left to choose: never repeat an index to fill the count.
        if (n > 0 && distinct == n) return selected;
        for (std::size_t index : selected) {
            if (index >= n) fail_index(index, n);
        }

        auto steps = std::apply(
            [](const auto&... lists) {
                auto prepare_list = [](const auto& list) {
                    std::vector<decltype(prepare(list.front()))> out;
                    for (const auto& s : list) out.push_back(prepare(s));
                    return out;
                };
                return std::make_tuple(prepare_list(lists)...);
            },
            strategies_);
        // One pass per block: every contribution in kind order, the exclusion, the block's best.
        pool::for_blocks(n, kStepBlock, [&](std::size_t begin, std::size_t end, std::size_t w) {
            const std::span<float> score(scratch.data() + w * 2 * kStepBlock, end - begin);
            const std::span<float> potential(scratch.data() + (w * 2 + 1) * kStepBlock, end - begin);
            std::fill(score.begin(), score.end(), 0.0f);
            std::apply(
                [&](const auto&... lists) {
                    std::apply(
                        [&](const auto&... step_lists) {
                            auto add_list = [&](const auto& list, const auto& step_list) {
                                for (std::size_t k = 0; k < list.size(); ++k) {
                                    add_block(list[k], step_list[k], begin, score, potential);
                                }
                            };
                            (add_list(lists, step_lists), ...);
                        },
                        steps);
                },
                strategies_);
            for (std::size_t i = begin; i < end; ++i) {
                if (taken[i]) score[i - begin] = kExcluded;
            }
            block_best[begin / kStepBlock] = best_in(score, begin);
        });

        const std::size_t candidate = best_of_blocks(block_best, n);
        // Every remaining candidate scores below the exclusion value (minus infinity): the
        // result stands as it is rather than repeating an index.
        if (taken[candidate]) return selected;
        bool stop = false;
        for_each_kind([&](const auto& list, const char*) { stop = stop || any_stops(list, candidate); });
        if (stop) return selected;
        inform_all(candidate);
        selected.push_back(candidate);
        mark(candidate);
        progress.advance(1);
        if (selected.size() >= n_samples_to_select) return selected;
    }
}

}  // namespace orvane
