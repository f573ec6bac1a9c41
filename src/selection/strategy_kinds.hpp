#pragma once
// The strategy kinds the selection combines, and values kept per kind. A score's terms are
// summed in the order the kinds are listed here, then in the order strategies were added.
#include <cstddef>
#include <vector>

#include "src/selection/balancing_selection.hpp"
#include "src/selection/diversifying_strategy.hpp"
#include "src/selection/strategy.hpp"
#include "src/selection/subpart_strategy.hpp"
#include "src/selection/weighting_selection.hpp"

namespace orvane {

template <class Kind>
struct KindTag {
    using type = Kind;
};

template <class Kind, class Value>
struct KindSlot {
    Value value;
};

// One Of<Kind> per kind, reached by its kind, visited in the kinds' order.
template <template <class> class Of, class... Kinds>
class PerKind : private KindSlot<Kinds, Of<Kinds>>... {
public:
    template <class Kind>
    Of<Kind>& of() {
        return static_cast<KindSlot<Kind, Of<Kind>>&>(*this).value;
    }
    template <class Kind>
    const Of<Kind>& of() const {
        return static_cast<const KindSlot<Kind, Of<Kind>>&>(*this).value;
    }
    // f(KindTag<Kind>{}, value) for every kind in order.
    template <class F>
    void each(F&& f) {
        (f(KindTag<Kinds>{}, of<Kinds>()), ...);
    }
    template <class F>
    void each(F&& f) const {
        (f(KindTag<Kinds>{}, of<Kinds>()), ...);
    }
};

template <class... Kinds>
struct KindList {
    static_assert((SelectionStrategy<Kinds> && ...));
    template <template <class> class Of>
    using Each = PerKind<Of, Kinds...>;
};

using StrategyKinds =
    KindList<WeightingStrategy, DiversifyingStrategy, BalancingStrategy,
             SubpartDiversifyingStrategy, SubpartSimilarityStrategy, SubpartTypicalityStrategy>;

template <class Kind>
using ListOf = std::vector<Kind>;
template <class Kind>
using StepsOf = std::vector<typename Kind::Step>;
template <class Kind>
using SavedOf = std::vector<typename Kind::Saved>;

// Every strategy of a selection, one list per kind, and a step's prepared values for each.
using Strategies = StrategyKinds::Each<ListOf>;
using Steps = StrategyKinds::Each<StepsOf>;

}  // namespace orvane
