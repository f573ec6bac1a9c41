#pragma once
// The best free sample of a greedy step over a set of strategies, found as the full pass finds
// it (highest combined score, ties to the lowest index), with the shortcuts that save work: the
// screen (step_scorer.hpp) and the block bounds (step_bounds.hpp). One selection runs it over all
// of its samples; a shard runs it over its own.
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "src/selection/step_terms.hpp"
#include "src/selection/strategy_kinds.hpp"

namespace orvane {

// What every strategy needs on every worker during one step, computed once on the calling
// thread beforehand (checks included, so a failure is the same as in a sequential pass).
Steps prepare_steps(const Strategies& strategies);

// Whether any stopping check fires for `candidate`, in kind order then insertion order.
bool any_stop(const Strategies& strategies, const Steps& steps, std::size_t candidate);

class GreedySteps {
public:
    // Over the strategies' n samples, of which `taken` are selected already; with `full_pass`,
    // every sample is scored exactly at every step.
    GreedySteps(const Strategies& strategies, std::size_t n, std::span<const std::size_t> taken,
                bool full_pass);
    ~GreedySteps();
    GreedySteps(const GreedySteps&) = delete;
    GreedySteps& operator=(const GreedySteps&) = delete;

    // The best sample at `steps` (prepared from the strategies' current state); a selected one
    // scores the exclusion value. `nan` is set where a score was NaN.
    step::BlockBest best(const Steps& steps);
    // Sample i is now selected (after the strategies were informed of it).
    void take(std::size_t i);
    bool taken(std::size_t i) const { return taken_[i] != 0; }
    // Distinct samples selected.
    std::size_t distinct() const { return distinct_; }

private:
    struct Shortcuts;

    const Strategies& strategies_;
    std::size_t n_;
    bool full_pass_;
    std::vector<unsigned char> taken_;
    std::size_t distinct_ = 0;
    std::unique_ptr<Shortcuts> shortcuts_;
};

}  // namespace orvane
