#pragma once
// Skipping blocks that cannot hold the best sample. Each kind's contributions over a block lie in
// a range (block_ranges.hpp); the chain of the ranges in the step's order bounds every score of the
// block from both sides. A block whose bounds are not both finite may hold a NaN or an infinity
// and is always computed; the others are computed only while their upper bound can still beat the
// best score found. The pick is the full pass's pick.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "src/common/worker_pool.hpp"
#include "src/selection/strategy_kinds.hpp"

namespace orvane::step {

// Blocks computed together once the bounds are sorted; fixed, like every block size.
constexpr std::size_t kBoundedBatch = 2;

// Whether every strategy of `lists` (a PerKind of strategy lists) can bound its blocks.
template <class Lists>
bool bounds_apply(const Lists& lists) {
    bool apply = true;
    lists.each([&](auto tag, const auto& list) {
        using Kind = typename decltype(tag)::type;
        if (list.empty()) return;
        if constexpr (BoundedStrategy<Kind>) {
            for (const auto& s : list) apply = apply && bounds_hold(s);
        } else {
            apply = false;
        }
    });
    return apply;
}

template <class Kind>
struct BoundsOf {
    std::vector<typename Kind::Bounds> value;
};
template <class Kind>
    requires(!BoundedStrategy<Kind>)
struct BoundsOf<Kind> {
    std::vector<int> value;  // never filled: bounds apply only without such a strategy
};
template <class Kind>
using BoundsListOf = decltype(BoundsOf<Kind>::value);

// The bounds of strategies `Lists` (a PerKind of lists, for which bounds_apply holds), over n
// samples. `Steps` is the PerKind of their prepared steps.
template <class Lists, class Steps, class Bounds>
class StepBounds {
public:
    StepBounds(const Lists& lists, std::size_t n)
        : n_(n),
          blocks_((n + kStepBlock - 1) / kStepBlock),
          free_(blocks_),
          upper_(blocks_),
          proven_(blocks_) {
        lists.each([&](auto tag, const auto& list) {
            using Kind = typename decltype(tag)::type;
            if constexpr (BoundedStrategy<Kind>) {
                auto& bounds = bounds_.template of<Kind>();
                for (const auto& s : list) bounds.emplace_back(s, n_, blocks_);
                moves_ = moves_ || (Kind::Bounds::kMoves && !list.empty());
            }
        });
    }

    // Every structure of one block, after its free samples changed.
    void refresh_block(std::size_t b, const unsigned char* taken) {
        const std::size_t begin = b * kStepBlock, end = std::min(n_, begin + kStepBlock);
        std::size_t free = 0;
        for (std::size_t i = begin; i < end; ++i) free += taken[i] ? 0 : 1;
        free_[b] = free;
        bounds_.each([&](auto tag, auto& list) {
            using Kind = typename decltype(tag)::type;
            if constexpr (BoundedStrategy<Kind>) {
                for (auto& bound : list) bound.refresh(b, begin, end, taken);
            }
        });
    }

    // The ranges that move with every pick, renewed after every step.
    void refresh_moving(const unsigned char* taken) {
        if (!moves_) return;
        pool::run_tasks(blocks_, [&](std::size_t b, std::size_t) {
            const std::size_t begin = b * kStepBlock, end = std::min(n_, begin + kStepBlock);
            bounds_.each([&](auto tag, auto& list) {
                using Kind = typename decltype(tag)::type;
                if constexpr (BoundedStrategy<Kind>) {
                    if constexpr (Kind::Bounds::kMoves) {
                        for (auto& bound : list) bound.refresh(b, begin, end, taken);
                    }
                }
            });
        });
    }

    // Bounds of this step's scores; `order` lists the blocks to compute, those that must be
    // computed first, then the rest by falling upper bound (ties by position). Returns how many
    // must be computed.
    std::size_t plan(const Steps& steps, std::vector<std::size_t>& order) {
        order.clear();
        for (std::size_t b = 0; b < blocks_; ++b) {
            if (free_[b] == 0) {
                upper_[b] = kExcluded;
                proven_[b] = 1;
                continue;
            }
            float hi = 0.0f, lo = 0.0f;
            bounds_.each([&](auto tag, const auto& list) {
                using Kind = typename decltype(tag)::type;
                if constexpr (BoundedStrategy<Kind>) {
                    const auto& kind_steps = steps.template of<Kind>();
                    for (std::size_t s = 0; s < list.size(); ++s) {
                        const Range r = list[s].range(b, kind_steps[s]);
                        hi = hi + r.hi, lo = lo + r.lo;
                    }
                }
            });
            upper_[b] = hi;
            proven_[b] = std::isfinite(hi) && std::isfinite(lo);
            if (!proven_[b]) order.push_back(b);
        }
        const std::size_t must = order.size();
        for (std::size_t b = 0; b < blocks_; ++b) {
            if (proven_[b]) order.push_back(b);
        }
        std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(must), order.end(),
                         [&](std::size_t a, std::size_t b) { return upper_[a] > upper_[b]; });
        return must;
    }

    // Whether block b may hold a score that beats `best` (ties go to the lower index).
    bool may_beat(std::size_t b, const BlockBest& best) const {
        return upper_[b] > best.score || (upper_[b] == best.score && b * kStepBlock < best.index);
    }

private:
    std::size_t n_, blocks_;
    Bounds bounds_;
    bool moves_ = false;
    std::vector<std::size_t> free_;
    std::vector<float> upper_;
    std::vector<unsigned char> proven_;
};

}  // namespace orvane::step
