#pragma once
// An HNSW graph over bf16 rows whose links are a function of the rows alone. Rows join in waves
// of index order: every member of a wave searches the graph as it stood when the wave began (in
// parallel, read-only) and picks its own links; the reverse links are then merged per target
// node in source order. Neither scheduling nor the worker count can reach the graph.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "src/common/large_pages.hpp"
#include "src/common/stop.hpp"

namespace orvane::pacmap {

// One zero-padded bf16 row per sample, in one block of large pages.
class Bf16Rows {
public:
    Bf16Rows(std::size_t n, std::size_t d) : stride_((d + 15) / 16 * 16), block_(n * stride_ * 2) {}
    explicit operator bool() const { return static_cast<bool>(block_); }
    std::size_t stride() const { return stride_; }
    std::uint16_t* at(std::size_t slot) const {
        return static_cast<std::uint16_t*>(block_.data()) + slot * stride_;
    }
    void prefetch(std::size_t slot) const {
        const char* p = reinterpret_cast<const char*>(at(slot));
        for (std::size_t b = 0; b < stride_ * 2; b += 64) __builtin_prefetch(p + b);
    }

private:
    std::size_t stride_;
    pages::Block block_;
};

// Squared L2 from a query row to the rows of a list of slots (see LayoutKernels).
using Bf16Distances = void (*)(const std::uint16_t* q, const std::uint16_t* rows,
                               std::size_t stride, const std::uint32_t* slots, std::size_t m,
                               float* out);

class WaveGraph {
public:
    static constexpr std::size_t kLinks = 16;      // per upper level; also what a new node picks
    static constexpr std::size_t kBaseLinks = 32;  // on the base level
    static constexpr std::size_t kExpansionAdd = 128;
    static constexpr std::size_t kExpansionSearch = 64;
    static constexpr std::size_t kWave = 128;

    // Walks a worker takes in turns: while one waits for its rows, the other computes.
    static constexpr std::size_t kLanes = 2;

    // Per-worker scratch of the walks.
    struct Scratch {
        struct Lane {
            // One byte a node, so the marks of a walk stay in the core's cache at a million
            // nodes; cleared once every 255 walks.
            std::vector<std::uint8_t> seen;
            std::uint8_t stamp = 0;
            std::vector<std::uint64_t> top;  // the nodes found, ascending
            std::vector<std::uint8_t> expanded;
        };
        Lane lanes[kLanes];
        std::vector<std::uint64_t> pool, picked;
        std::vector<std::uint32_t> slots;
    };

    // Row i lives in slot i. False from ok() when the graph's memory could not be had.
    WaveGraph(const Bf16Rows& rows, std::size_t n, Bf16Distances distances);
    bool ok() const { return static_cast<bool>(base_) || n_ == 0; }

    // Links every row, on the worker pool.
    // Links every row; `progress`, when given, advances by each wave's rows.
    void build(stop::Progress* progress = nullptr);

    // For each of `count` (at most kLanes) queries, up to k rows nearest to it, never its
    // `excluded` row, as (total-order key of the squared distance << 32 | slot), ascending.
    void search(const std::uint16_t* const* queries, const std::uint32_t* excluded,
                std::size_t count, std::size_t k, Scratch& s,
                std::vector<std::uint64_t>* out) const;

    Scratch scratch() const;
    // FNV-1a over every node's level and link lists, for tests.
    std::uint64_t digest() const;

private:
    // The first of the node's links on `level`.
    std::uint32_t* links(std::uint32_t slot, unsigned level) const;
    std::uint32_t link_count(std::uint32_t slot, unsigned level) const;
    void store_links(std::uint32_t slot, unsigned level, const std::uint64_t* items,
                     std::size_t count);
    void prefetch_links(std::uint32_t slot, unsigned level) const;
    std::uint64_t key(const std::uint16_t* q, std::uint32_t slot) const;
    // Keys of q to each of `slots` into `out`.
    void keys(const std::uint16_t* q, const std::uint32_t* slots, std::size_t m,
              std::uint64_t* out) const;
    std::uint32_t descend(const std::uint16_t* q, std::uint32_t slot, std::uint64_t& best,
                          unsigned from, unsigned to) const;
    struct Walk;
    void start(Walk& w, Scratch::Lane& lane, const std::uint16_t* q, std::uint64_t entry,
               unsigned level, std::size_t ef, std::uint32_t excluded) const;
    bool advance(Walk& w) const;
    void settle(Walk& w) const;
    void walk(Walk* w, std::size_t count) const;
    std::uint64_t walk_one(Scratch::Lane& lane, const std::uint16_t* q, std::uint64_t entry,
                           unsigned level, std::size_t ef) const;
    void link_level(std::uint32_t v, unsigned l, const std::vector<std::uint64_t>* found,
                    std::uint32_t wave_begin, std::uint32_t wave_end, Scratch& s);
    void pick(const std::vector<std::uint64_t>& sorted, std::size_t needed, Scratch& s,
              std::vector<std::uint64_t>& out) const;
    void link_new(const std::uint32_t* v, std::size_t count, std::uint32_t wave_begin,
                  std::uint32_t wave_end, Scratch& s);
    void merge_reverse(std::uint32_t target, unsigned level, const std::uint32_t* sources,
                       std::size_t count, Scratch& s);

    const Bf16Rows& rows_;
    std::size_t n_;
    Bf16Distances distances_;
    std::vector<std::uint8_t> level_;
    std::vector<std::size_t> upper_at_;  // offset of a node's level-1 list in upper_
    std::vector<std::uint32_t> upper_;
    pages::Block base_;
    std::uint32_t entry_ = 0;
    unsigned top_level_ = 0;
};

}  // namespace orvane::pacmap
