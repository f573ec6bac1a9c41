#include "src/layout/wave_graph.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "src/common/total_order.hpp"
#include "src/common/worker_pool.hpp"
#include "src/layout/wave_graph_walk.hpp"

namespace orvane::pacmap {

namespace {

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

WaveGraph::Scratch WaveGraph::scratch() const {
    Scratch s;
    for (auto& lane : s.lanes) lane.seen.assign(n_, 0);
    return s;
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

void WaveGraph::build(stop::Progress* progress) {
    if (n_ == 0) return;
    if (progress) progress->advance(1);
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
        if (progress) progress->advance(size);
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
