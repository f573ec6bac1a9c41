#include "src/layout/wave_graph.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "src/common/total_order.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane::pacmap {

namespace {

// A base list is two cache lines of links; its unused places hold the node itself, which no walk
// takes as new (a node is marked seen before it is expanded), so walks read no count. An upper
// list is a count, then the links.
constexpr std::size_t kBaseStride = WaveGraph::kBaseLinks;
constexpr std::size_t kUpperStride = 1 + WaveGraph::kLinks;
constexpr unsigned kMaxLevel = 15;

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// P(level >= L) = 16^-L, the usual 1 / ln(connectivity) scale, drawn from the row index alone
// and without floating point: every leading zero nibble of a hash is one level up.
unsigned level_of(std::size_t row) {
    const std::uint64_t h = splitmix64(row ^ 0x5851f42d4c957f2dULL);
    return std::min<unsigned>(static_cast<unsigned>(std::countl_zero(h)) / 4, kMaxLevel);
}

std::uint32_t slot_of(std::uint64_t key) { return static_cast<std::uint32_t>(key); }
float distance_of(std::uint64_t key) {
    return from_total_order_key(static_cast<std::uint32_t>(key >> 32));
}

}  // namespace

WaveGraph::WaveGraph(const Bf16Rows& rows, std::size_t n, Bf16Distances distances)
    : rows_(rows), n_(n), distances_(distances), level_(n), upper_at_(n, 0) {
    std::size_t upper = 0;
    for (std::size_t i = 0; i < n; ++i) {
        level_[i] = static_cast<std::uint8_t>(level_of(i));
        upper_at_[i] = upper;
        upper += level_[i] * kUpperStride;
    }
    upper_.assign(upper, 0);
    // Fresh mappings read as zeros: every upper list starts empty, and so does node 0's base
    // list; every other node's base list is stored before any walk can reach the node.
    if (n > 0) base_ = pages::Block(n * kBaseStride * sizeof(std::uint32_t));
}

[[gnu::always_inline]] inline std::uint32_t* WaveGraph::links(std::uint32_t slot,
                                                              unsigned level) const {
    if (level == 0)
        return static_cast<std::uint32_t*>(base_.data()) + std::size_t{slot} * kBaseStride;
    return const_cast<std::uint32_t*>(upper_.data()) + upper_at_[slot] +
           (level - 1) * kUpperStride + 1;
}

std::uint32_t WaveGraph::link_count(std::uint32_t slot, unsigned level) const {
    const std::uint32_t* list = links(slot, level);
    if (level > 0) return list[-1];
    return static_cast<std::uint32_t>(std::find(list, list + kBaseLinks, slot) - list);
}

// Stores the slots in the low halves of items[0, count) as the node's list.
void WaveGraph::store_links(std::uint32_t slot, unsigned level, const std::uint64_t* items,
                            std::size_t count) {
    std::uint32_t* list = links(slot, level);
    for (std::size_t e = 0; e < count; ++e) list[e] = slot_of(items[e]);
    if (level > 0)
        list[-1] = static_cast<std::uint32_t>(count);
    else
        std::fill(list + count, list + kBaseLinks, slot);
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

WaveGraph::Scratch WaveGraph::scratch() const {
    Scratch s;
    for (auto& lane : s.lanes) lane.seen.assign(n_, 0);
    return s;
}

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

// The HNSW neighbor heuristic: walking candidates nearest first, keep one only if it is closer
// to the node than to every candidate already kept, so that links spread over directions.
void WaveGraph::pick(const std::vector<std::uint64_t>& sorted, std::size_t needed, Scratch& s,
                     std::vector<std::uint64_t>& out) const {
    out.clear();
    if (sorted.size() <= needed) {
        out = sorted;
        return;
    }
    auto& kept = s.slots;
    kept.clear();
    for (const std::uint64_t c : sorted) {
        if (out.size() == needed) break;
        const float dc = distance_of(c);
        const std::uint16_t* row = rows_.at(slot_of(c));
        bool spread = true;
        // Four at a time: one step of the kernel's tree, and most candidates are turned away by
        // one of the first few kept.
        for (std::size_t e = 0; spread && e < kept.size(); e += 4) {
            float d[4];
            const std::size_t part = std::min<std::size_t>(4, kept.size() - e);
            distances_(row, rows_.at(0), rows_.stride(), kept.data() + e, part, d);
            for (std::size_t j = 0; j < part; ++j) spread = spread && !(d[j] < dc);
        }
        if (spread) out.push_back(c), kept.push_back(slot_of(c));
    }
}

// Writes the links of new node v on level l: the heuristic's pick among `found` (the graph's
// candidates, from a walk of the graph as it stood at the start of the wave) and every other
// member of the wave on that level (the graph cannot know them yet, and neighboring rows often
// arrive together).
void WaveGraph::link_level(std::uint32_t v, unsigned l, const std::vector<std::uint64_t>* found,
                           std::uint32_t wave_begin, std::uint32_t wave_end, Scratch& s) {
    const std::uint16_t* q = rows_.at(v);
    auto& pool = s.pool;
    pool.clear();
    if (found) pool.assign(found->begin(), found->end());
    auto& members = s.slots;
    members.clear();
    for (std::uint32_t u = wave_begin; u < wave_end; ++u)
        if (u != v && level_[u] >= l) members.push_back(u);
    const std::size_t from_walk = pool.size();
    pool.resize(from_walk + members.size());
    keys(q, members.data(), members.size(), pool.data() + from_walk);
    std::sort(pool.begin(), pool.end());
    pick(pool, kLinks, s, s.picked);
    store_links(v, l, s.picked.data(), s.picked.size());
}

// Chooses the links of `count` (at most kLanes) new nodes: each walks down the levels above the
// base alone, and their base walks run in turns.
void WaveGraph::link_new(const std::uint32_t* v, std::size_t count, std::uint32_t wave_begin,
                         std::uint32_t wave_end, Scratch& s) {
    Walk w[kLanes];
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t* q = rows_.at(v[i]);
        const unsigned level = level_[v[i]];
        auto& lane = s.lanes[i];
        std::uint64_t best = key(q, entry_);
        if (top_level_ > level) descend(q, entry_, best, top_level_, level);
        for (unsigned l = level; l > 0; --l) {
            const bool reached = l <= top_level_;
            if (reached) best = walk_one(lane, q, best, l, kExpansionAdd);
            link_level(v[i], l, reached ? &lane.top : nullptr, wave_begin, wave_end, s);
        }
        start(w[i], lane, q, best, 0, kExpansionAdd, ~std::uint32_t{0});
    }
    walk(w, count);
    for (std::size_t i = 0; i < count; ++i)
        link_level(v[i], 0, &s.lanes[i].top, wave_begin, wave_end, s);
}

// Adds reverse links to `target` from the new nodes that picked it, in ascending source order;
// a list that overflows is re-picked by the heuristic from its old and new members.
void WaveGraph::merge_reverse(std::uint32_t target, unsigned level, const std::uint32_t* sources,
                              std::size_t count, Scratch& s) {
    const std::uint32_t* list = links(target, level);
    const std::size_t cap = level == 0 ? kBaseLinks : kLinks;
    auto& pool = s.pool;
    pool.assign(list, list + link_count(target, level));  // slots for now
    const std::size_t old = pool.size();
    for (std::size_t e = 0; e < count; ++e)
        if (std::find(pool.begin(), pool.begin() + old, sources[e]) == pool.begin() + old)
            pool.push_back(sources[e]);
    if (pool.size() <= cap) {
        store_links(target, level, pool.data(), pool.size());
        return;
    }
    const std::uint16_t* q = rows_.at(target);
    auto& slots = s.slots;
    slots.assign(pool.begin(), pool.end());
    keys(q, slots.data(), slots.size(), pool.data());
    std::sort(pool.begin(), pool.end());
    pick(pool, cap, s, s.picked);
    store_links(target, level, s.picked.data(), s.picked.size());
}

void WaveGraph::build() {
    if (n_ == 0) return;
    std::vector<Scratch> scratch(pool::worker_count());
    for (auto& s : scratch) s = this->scratch();
    struct Request {
        std::uint64_t target;  // level << 32 | slot
        std::uint32_t source;
        bool operator<(const Request& o) const {
            return target != o.target ? target < o.target : source < o.source;
        }
    };
    std::vector<Request> requests;
    std::vector<std::size_t> groups;
    entry_ = 0;
    top_level_ = level_[0];
    std::size_t built = 1;
    while (built < n_) {
        const std::size_t size = std::min({kWave, built, n_ - built});
        const auto begin = static_cast<std::uint32_t>(built);
        const auto end = static_cast<std::uint32_t>(built + size);
        pool::run_tasks((size + kLanes - 1) / kLanes, [&](std::size_t t, std::size_t worker) {
            std::uint32_t v[kLanes];
            std::size_t count = 0;
            for (std::size_t i = t * kLanes; i < std::min(size, (t + 1) * kLanes); ++i)
                v[count++] = begin + static_cast<std::uint32_t>(i);
            link_new(v, count, begin, end, scratch[worker]);
        });
        requests.clear();
        for (std::uint32_t v = begin; v < end; ++v)
            for (unsigned l = 0; l <= level_[v]; ++l) {
                const std::uint32_t* list = links(v, l);
                for (std::uint32_t e = 0, count = link_count(v, l); e < count; ++e)
                    requests.push_back({(std::uint64_t{l} << 32) | list[e], v});
            }
        std::sort(requests.begin(), requests.end());
        groups.clear();
        for (std::size_t r = 0; r < requests.size(); ++r)
            if (r == 0 || requests[r].target != requests[r - 1].target) groups.push_back(r);
        groups.push_back(requests.size());
        constexpr std::size_t kGroupsPerTask = 64;
        const std::size_t n_groups = groups.size() - 1;
        pool::run_tasks((n_groups + kGroupsPerTask - 1) / kGroupsPerTask,
                        [&](std::size_t t, std::size_t worker) {
                            std::vector<std::uint32_t> sources;
                            const std::size_t last = std::min(n_groups, (t + 1) * kGroupsPerTask);
                            for (std::size_t g = t * kGroupsPerTask; g < last; ++g) {
                                sources.clear();
                                for (std::size_t r = groups[g]; r < groups[g + 1]; ++r)
                                    sources.push_back(requests[r].source);
                                const std::uint64_t target = requests[groups[g]].target;
                                merge_reverse(static_cast<std::uint32_t>(target),
                                              static_cast<unsigned>(target >> 32), sources.data(),
                                              sources.size(), scratch[worker]);
                            }
                        });
        for (std::uint32_t v = begin; v < end; ++v)
            if (level_[v] > top_level_) entry_ = v, top_level_ = level_[v];
        built += size;
    }
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

std::uint64_t WaveGraph::digest() const {
    std::uint64_t h = 14695981039346656037ULL;
    const auto mix = [&h](std::uint32_t v) { h = (h ^ v) * 1099511628211ULL; };
    for (std::uint32_t i = 0; i < n_; ++i) {
        mix(level_[i]);
        for (unsigned l = 0; l <= level_[i]; ++l) {
            const std::uint32_t* list = links(i, l);
            const std::uint32_t count = link_count(i, l);
            mix(count);
            for (std::uint32_t e = 0; e < count; ++e) mix(list[e]);
        }
    }
    return h;
}

}  // namespace orvane::pacmap
