// The graph's walks: the descent through the upper levels and the best-first walk of one level,
// two walks in turns, and the search of rows against the finished graph.
#include <algorithm>
#include <cstring>

#include "src/layout/wave_graph_walk.hpp"

namespace orvane::pacmap {

// Greedy descent through the upper levels (from, to], keeping only the closest node.
std::uint32_t WaveGraph::descend(const std::uint16_t* q, std::uint32_t slot, std::uint64_t& best,
                                 unsigned from, unsigned to) const {
    for (unsigned level = from; level > to; --level) {
        for (bool moved = true; moved;) {
            moved = false;
            const std::uint32_t* list = links(slot, level);
            const std::uint32_t count = list[-1];
            std::uint64_t k[kLinks];
            keys(q, list, count, k);
            for (std::uint32_t e = 0; e < count; ++e)
                if (k[e] < best) best = k[e], slot = slot_of(k[e]), moved = true;
        }
    }
    return slot;
}

void WaveGraph::start(Walk& w, Scratch::Lane& lane, const std::uint16_t* q, std::uint64_t entry,
                      unsigned level, std::size_t ef, std::uint32_t excluded) const {
    if (++lane.stamp == 0) {
        std::fill(lane.seen.begin(), lane.seen.end(), 0);
        lane.stamp = 1;
    }
    lane.top.resize(ef);
    lane.expanded.resize(ef);
    w.q = q;
    w.excluded = excluded;
    w.level = level;
    w.ef = ef;
    w.lane = &lane;
    w.keys_of = lane.top.data();
    w.done = lane.expanded.data();
    w.size = w.cursor = w.m = 0;
    w.pending = Walk::kNone;
    lane.seen[slot_of(entry)] = lane.stamp;
    if (slot_of(entry) == excluded) {
        w.pending = entry;
    } else {
        w.keys_of[0] = entry;
        w.done[0] = 0;
        w.size = 1;
    }
}

// Picks the next node to expand and asks for the rows of its unseen links; false when the walk
// is over.
bool WaveGraph::advance(Walk& w) const {
    while (w.cursor < w.size && w.done[w.cursor]) ++w.cursor;
    std::uint64_t c;
    if (w.pending != Walk::kNone && (w.cursor == w.size || w.pending < w.keys_of[w.cursor])) {
        if (w.size == w.ef && w.pending > w.keys_of[w.size - 1]) return false;
        c = w.pending;
        w.pending = Walk::kNone;
    } else if (w.cursor < w.size) {
        c = w.keys_of[w.cursor];
        w.done[w.cursor] = 1;
    } else {
        return false;
    }
    const std::uint32_t* list = links(slot_of(c), w.level);
    const std::uint32_t count = w.level == 0 ? kBaseLinks : list[-1];
    std::uint8_t* const seen = w.lane->seen.data();
    const std::uint8_t stamp = w.lane->stamp;
    // Whether a linked node was seen is a coin toss to the branch predictor: gather the unseen
    // ones without a branch, then visit them in list order.
    std::size_t m = 0;
    for (std::uint32_t e = 0; e < count; ++e) {
        const std::uint32_t slot = list[e];
        w.fresh[m] = slot;
        m += seen[slot] != stamp;
        seen[slot] = stamp;
    }
    w.m = m;
    for (std::size_t j = 0; j < m; ++j) rows_.prefetch(w.fresh[j]);
    return true;
}

// Takes the distances to the rows asked for and lists the nodes near enough.
void WaveGraph::settle(Walk& w) const {
    std::uint64_t fresh_keys[kBaseLinks];
    keys(w.q, w.fresh, w.m, fresh_keys);
    std::uint64_t* const keys_of = w.keys_of;
    for (std::size_t j = 0; j < w.m; ++j) {
        const std::uint64_t k = fresh_keys[j];
        const std::size_t size = w.size;
        if (size == w.ef && k > keys_of[size - 1]) continue;
        // Most listed nodes get expanded: fetch their links while the walk goes on.
        prefetch_links(w.fresh[j], w.level);
        if (w.fresh[j] == w.excluded) {
            w.pending = k;
            continue;
        }
        // Where k goes: a search whose steps depend on the size alone.
        const std::uint64_t* low = keys_of;
        for (std::size_t len = size; len > 1;) {
            const std::size_t half = len / 2;
            low = low[half] < k ? low + half : low;
            len -= half;
        }
        const std::size_t at = static_cast<std::size_t>(low - keys_of) + (size > 0 && *low < k);
        const std::size_t moved = size - at - (size == w.ef);
        std::memmove(keys_of + at + 1, keys_of + at, moved * sizeof *keys_of);
        std::memmove(w.done + at + 1, w.done + at, moved);
        keys_of[at] = k;
        w.done[at] = 0;
        w.size = size + (size < w.ef);
        w.cursor = std::min(w.cursor, at);
    }
}

// Runs `count` walks to their ends, in turns: one walk's rows arrive while the next one computes.
// Each walk does the same steps in the same order as alone.
void WaveGraph::walk(Walk* w, std::size_t count) const {
    bool live[kLanes];
    for (std::size_t i = 0; i < count; ++i) live[i] = advance(w[i]);
    for (bool any = true; any;) {
        any = false;
        for (std::size_t i = 0; i < count; ++i)
            if (live[i]) {
                settle(w[i]);
                live[i] = advance(w[i]);
                any = true;
            }
    }
    for (std::size_t i = 0; i < count; ++i) w[i].lane->top.resize(w[i].size);
}

// One walk of `level` from `entry` that excludes nothing; returns the nearest node found.
std::uint64_t WaveGraph::walk_one(Scratch::Lane& lane, const std::uint16_t* q, std::uint64_t entry,
                                  unsigned level, std::size_t ef) const {
    Walk w;
    start(w, lane, q, entry, level, ef, ~std::uint32_t{0});
    walk(&w, 1);
    return lane.top.front();
}

void WaveGraph::search(const std::uint16_t* const* queries, const std::uint32_t* excluded,
                       std::size_t count, std::size_t k, Scratch& s,
                       std::vector<std::uint64_t>* out) const {
    for (std::size_t i = 0; i < count; ++i) out[i].clear();
    if (n_ == 0 || k == 0) return;
    Walk w[kLanes];
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t best = key(queries[i], entry_);
        descend(queries[i], entry_, best, top_level_, 0);
        start(w[i], s.lanes[i], queries[i], best, 0, std::max(kExpansionSearch, k), excluded[i]);
    }
    walk(w, count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& top = s.lanes[i].top;
        out[i].assign(top.begin(),
                      top.begin() + static_cast<std::ptrdiff_t>(std::min(k, top.size())));
    }
}

}  // namespace orvane::pacmap
