#pragma once
// What the greedy loop asks of a strategy kind. A kind is a class meeting SelectionStrategy; it
// derives from StrategyTerms<Kind> for the usual way of turning potentials into score terms, and
// replaces those members where it has a cheaper way (balancing shares one potential per distinct
// class row). Kinds are listed once, in strategy_kinds.hpp.
#include <concepts>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "src/selection/kernels.hpp"
#include "src/selection/block_ranges.hpp"
#include "src/selection/step_terms.hpp"

namespace orvane {

// inform's sample for a pick outside the strategy's own samples. A strategy may hold one
// contiguous range of a larger set (a shard); it is then told every pick, with what pick() gave
// where the sample lies, and updates its own samples' state by the same arithmetic as one
// strategy over the whole set.
inline constexpr std::size_t kElsewhere = std::numeric_limits<std::size_t>::max();

// A step runs in three phases: prepare_step() once on the calling thread (its checks fail there,
// as in a sequential pass), then the terms of blocks of samples on the workers, each reading the
// step, then inform() of the pick.
template <class S>
concept SelectionStrategy =
    requires(S& s, const S& c, const typename S::Step& step, typename S::Saved saved, std::size_t i,
             std::span<float> v, const SelectionKernels& kernels) {
        { S::kName } -> std::convertible_to<const char*>;
        { c.sample_count() } -> std::same_as<std::size_t>;
        { c.strength() } -> std::same_as<float>;
        { c.prepare_step() } -> std::same_as<typename S::Step>;
        // Potentials of samples [i, i + v.size()).
        c.potentials_range(step, i, v);
        // score[j] += the term of sample i + j, as the full pass adds it (potential: scratch).
        c.add_terms(step, i, v, v);
        // The screen's terms (step_scorer.hpp): score, magnitude, width and five scratch blocks.
        c.screen_terms(step, i, v, v, v, v, kernels);
        // Sample i's term added to a score.
        { c.exact_term(step, i, 0.0f) } -> std::same_as<float>;
        // Whether the screen's term is the exact one (no logarithm to save).
        { c.exact_in_screen(step) } -> std::same_as<bool>;
        // Whether choosing sample i would break the strategy's stopping condition, at `step`.
        { c.should_stop(i, step) } -> std::same_as<bool>;
        // What inform needs of sample i (its row, its class row, its objects' rows or scores),
        // read from the strategy's own storage; inform takes it rather than reading it itself.
        { c.pick(i) } -> std::same_as<typename S::Pick>;
        s.inform(i, c.pick(i));
        s.inform(kElsewhere, c.pick(i));
        // What inform changes, to undo a run that failed.
        { c.save() } -> std::same_as<typename S::Saved>;
        { s.restore(static_cast<typename S::Saved&&>(saved)) } noexcept;
        // Off: the kind computes what the plain algorithm computes (for comparing against its
        // shortcuts).
        s.set_shortcuts(true);
    };

// A kind whose contributions over a block can be bounded has a nested Bounds, made as
// Bounds(strategy, n, blocks) and kept beside it for a run:
//   refresh(b, begin, end, taken): block b's free samples changed;
//   range(b, step): the range of the block's contributions this step;
//   kMoves: whether the ranges of every block move with each pick (they are then refreshed all).
// A kind may also say whether its bounds hold for this instance (bounds_hold()).
template <class S>
concept BoundedStrategy =
    SelectionStrategy<S> &&
    requires(typename S::Bounds& b, const typename S::Bounds& cb, const typename S::Step& step,
             std::size_t i, const unsigned char* taken) {
        { S::Bounds::kMoves } -> std::convertible_to<bool>;
        b.refresh(i, i, i, taken);
        { cb.range(i, step) } -> std::same_as<step::Range>;
    };

// Bounds of a kind whose contributions are monotone in one per-sample key (a weight, a minimum
// distance): each block keeps the range of its free samples' keys, kept by
// Kind::block_keys(begin, end, taken), and the kind turns it into a range of contributions with
// Kind::key_contributions(keys, step).
template <class Kind, bool kMovesWithPicks>
class KeyRangeBounds {
public:
    static constexpr bool kMoves = kMovesWithPicks;
    KeyRangeBounds(const Kind& s, std::size_t, std::size_t blocks) : s_(s), keys_(blocks) {}
    void refresh(std::size_t b, std::size_t begin, std::size_t end, const unsigned char* taken) {
        keys_[b] = s_.block_keys(begin, end, taken);
    }
    step::Range range(std::size_t b, const typename Kind::Step& step) const {
        return s_.key_contributions(keys_[b], step);
    }

private:
    const Kind& s_;
    std::vector<step::Range> keys_;
};

template <class S>
bool bounds_hold(const S& s) {
    if constexpr (requires { s.bounds_hold(); }) return s.bounds_hold();
    return true;
}

// The usual terms: strength * ln(maxNum(potential, 1e-8)) through the kind's potentials.
template <class Kind>
class StrategyTerms {
public:
    template <class Step>
    void add_terms(const Step& step, std::size_t begin, std::span<float> score,
                   std::span<float> potential) const {
        self().potentials_range(step, begin, potential);
        const float strength = self().strength();
        for (std::size_t i = 0; i < score.size(); ++i) {
            score[i] = score[i] + step::contribution(potential[i], strength);
        }
    }
    template <class Step>
    void screen_terms(const Step& step, std::size_t begin, std::span<float> score,
                      std::span<float> magnitude, std::span<float>, std::span<float> work,
                      const SelectionKernels& kernels) const {
        const std::span<float> potential = work.first(score.size());
        self().potentials_range(step, begin, potential);
        kernels.log_terms(potential.data(), score.size(), self().strength(), score.data(),
                          magnitude.data());
    }
    template <class Step>
    float exact_term(const Step& step, std::size_t i, float score) const {
        float potential;
        self().potentials_range(step, i, std::span(&potential, 1));
        return score + step::contribution(potential, self().strength());
    }
    template <class Step>
    bool exact_in_screen(const Step&) const {
        return false;
    }
    template <class Step>
    bool should_stop(std::size_t, const Step&) const {
        return false;
    }
    void set_shortcuts(bool) {}
    // Sample i of this strategy's own samples is selected.
    void inform(std::size_t i) { static_cast<Kind&>(*this).inform(i, self().pick(i)); }

private:
    const Kind& self() const { return static_cast<const Kind&>(*this); }
};

// The state of a kind whose informs only add to one running sum (weighting; fixed object scores).
class RunningSum {
public:
    float accumulated() const { return accumulated_; }
    struct Saved {
        float accumulated;
    };
    Saved save() const { return {accumulated_}; }
    void restore(Saved saved) noexcept { accumulated_ = saved.accumulated; }

protected:
    float accumulated_ = 0.0f;
};

}  // namespace orvane
