#pragma once
// What the graph's construction and its searches share: the walk over one level, and the parts of
// a key. Internal to wave_graph*.cpp.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "src/common/total_order.hpp"
#include "src/layout/wave_graph.hpp"

namespace orvane::pacmap {

// A base list is two cache lines of links; its unused places hold the node itself, which no walk
// takes as new (a node is marked seen before it is expanded), so walks read no count. An upper
// list is a count, then the links.
constexpr std::size_t kBaseStride = WaveGraph::kBaseLinks;
constexpr std::size_t kUpperStride = 1 + WaveGraph::kLinks;

inline std::uint32_t slot_of(std::uint64_t key) { return static_cast<std::uint32_t>(key); }
inline float distance_of(std::uint64_t key) {
    return from_total_order_key(static_cast<std::uint32_t>(key >> 32));
}

// A best-first walk of one level, which leaves the ef nearest nodes other than `excluded` in its
// lane's `top`, ascending. Keys order by distance, then slot, so ties never depend on the walk's
// history.
//
// The nodes found so far are one sorted list with a mark per node for whether it was expanded;
// the next to expand is the nearest unexpanded one. That is the order of the usual candidate heap:
// a node pushed off the list's end is farther than all it holds, so the heap would have stopped
// before reaching it. `excluded` (a node's own search) is expanded in its turn but never listed.
// An insertion is a search whose steps depend on the size alone and one move, where the heaps
// took a branch per level that the predictor could not guess.
struct WaveGraph::Walk {
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};
    const std::uint16_t* q;
    std::uint32_t excluded;
    unsigned level;
    std::size_t ef;
    Scratch::Lane* lane;
    std::uint64_t* keys_of;
    std::uint8_t* done;
    std::size_t size, cursor;         // no unexpanded node before the cursor
    std::uint64_t pending;            // the excluded node while it waits for its turn
    std::uint32_t fresh[kBaseLinks];  // the unseen links of the node in expansion
    std::size_t m;
};

[[gnu::always_inline]] inline std::uint32_t* WaveGraph::links(std::uint32_t slot,
                                                              unsigned level) const {
    if (level == 0)
        return static_cast<std::uint32_t*>(base_.data()) + std::size_t{slot} * kBaseStride;
    return const_cast<std::uint32_t*>(upper_.data()) + upper_at_[slot] +
           (level - 1) * kUpperStride + 1;
}

[[gnu::always_inline]] inline void WaveGraph::prefetch_links(std::uint32_t slot,
                                                             unsigned level) const {
    const char* p = reinterpret_cast<const char*>(links(slot, level));
    if (level == 0) {
        __builtin_prefetch(p);
        __builtin_prefetch(p + 64);
        return;
    }
    p -= sizeof(std::uint32_t);
    const std::size_t bytes = kUpperStride * sizeof(std::uint32_t);
    for (std::size_t b = 0; b < bytes; b += 64) __builtin_prefetch(p + b);
    __builtin_prefetch(p + bytes - 1);
}

[[gnu::always_inline]] inline void WaveGraph::keys(const std::uint16_t* q,
                                                   const std::uint32_t* slots, std::size_t m,
                                                   std::uint64_t* out) const {
    float d[kBaseLinks];
    for (std::size_t done = 0; done < m; done += kBaseLinks) {
        const std::size_t part = std::min(kBaseLinks, m - done);
        distances_(q, rows_.at(0), rows_.stride(), slots + done, part, d);
        for (std::size_t j = 0; j < part; ++j)
            out[done + j] = (std::uint64_t{total_order_key(d[j])} << 32) | slots[done + j];
    }
}

[[gnu::always_inline]] inline std::uint64_t WaveGraph::key(const std::uint16_t* q,
                                                           std::uint32_t slot) const {
    std::uint64_t k;
    keys(q, &slot, 1, &k);
    return k;
}

}  // namespace orvane::pacmap
