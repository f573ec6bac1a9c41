#include "src/selection/combination_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "src/common/failure.hpp"
#include "src/selection/selection_checks.hpp"
#include "src/selection/step_bounds.hpp"
#include "src/common/worker_pool.hpp"

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
        if (blocks[b].score > best.score)
            best.index = blocks[b].index, best.score = blocks[b].score;
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
    std::vector<BlockBest> block_best(n_blocks);
    std::vector<float> scratch(pool::worker_count() * 2 * kStepBlock);
    std::vector<std::size_t> all_blocks(n_blocks), order;
    for (std::size_t b = 0; b < n_blocks; ++b) all_blocks[b] = b;

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
        auto score_blocks = [&](std::span<const std::size_t> blocks) {
            pool::run_tasks(blocks.size(), [&](std::size_t t, std::size_t w) {
                const std::size_t begin = blocks[t] * kStepBlock;
                const std::size_t end = std::min(n, begin + kStepBlock);
                const std::span<float> score(scratch.data() + w * 2 * kStepBlock, end - begin);
                const std::span<float> potential(scratch.data() + (w * 2 + 1) * kStepBlock,
                                                 end - begin);
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
                block_best[blocks[t]] = best_in(score, begin);
            });
        };

        std::size_t candidate;
        if (bounds && plain_steps == 0) {
            const std::size_t must = bounds->plan(steps, order);
            std::size_t done = std::min(order.size(), must + kBoundedBatch);
            score_blocks(std::span(order).first(done));
            BlockBest best = block_best[order[0]];
            auto merge = [&](std::size_t from, std::size_t to) {
                for (std::size_t t = from; t < to; ++t) {
                    const BlockBest& b = block_best[order[t]];
                    if (b.nan) best.nan = true;
                    if (b.score > best.score || (b.score == best.score && b.index < best.index)) {
                        best.index = b.index, best.score = b.score;
                    }
                }
            };
            merge(0, done);
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
                score_blocks(std::span(order).subspan(done, next - done));
                merge(done, next);
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
            score_blocks(all_blocks);
            candidate = best_of_blocks(block_best, n);
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
