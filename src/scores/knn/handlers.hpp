#pragma once
// The result handlers of the query-block driver (query_blocks.hpp). The sorted k-buffers of the
// tile-pair driver are vector kernels of the scores (sorted_buffers.inc).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "src/common/worker_pool.hpp"
#include "src/scores/distance_calculator.hpp"
#include "src/scores/knn/recompute.hpp"

namespace orvane::knn {

// The rows of a scan with their half norms: enough to recompute a distance the expansion cannot
// resolve (recompute.hpp).
struct ScanRows {
    const float* x;
    const float* h;
};

// The distance of query row q to stored row s from their product p: the expansion, or the
// distance from the coordinates where the expansion is below its rounding bound.
inline float scan_distance(ScanRows queries, std::size_t q, ScanRows stored, std::size_t s, float p,
                           std::size_t dim, float slack) {
    const float v = block_distance(stored.h[s], p, queries.h[q]);
    if (!(v < expansion_bound(slack, queries.h[q], stored.h[s]))) return v;
    return clamp_distance(
        exact_half_squared_distance(queries.x + q * dim, stored.x + s * dim, dim));
}

// Whole rows of half squared distances from products, `width` stored rows wide, in a buffer of
// the worker's current block of query rows; done(r0, rows, distances) receives the block once it
// is complete.
template <class Done>
class WholeRows {
public:
    WholeRows(ScanRows queries, ScanRows stored, std::size_t dim, std::size_t width, Done done)
        : queries_(queries),
          stored_(stored),
          dim_(dim),
          slack_(expansion_slack(dim)),
          width_(width),
          done_(done),
          blocks_(pool::worker_count()) {}

    void start(std::size_t r0, std::size_t rows, std::size_t worker) {
        blocks_[worker].first = r0;
        blocks_[worker].rows.resize(rows * width_);
    }
    void keep(std::size_t r, std::size_t c0, const float* p, std::size_t cols, std::size_t worker) {
        float* out = blocks_[worker].rows.data() + (r - blocks_[worker].first) * width_ + c0;
        const float h = queries_.h[r];
        const float* hs = stored_.h + c0;
        bool unresolved = false;
        for (std::size_t j = 0; j < cols; ++j) {
            out[j] = block_distance(hs[j], p[j], h);
            unresolved |= out[j] < expansion_bound(slack_, h, hs[j]);
        }
        if (!unresolved) return;
        for (std::size_t j = 0; j < cols; ++j)
            out[j] = scan_distance(queries_, r, stored_, c0 + j, p[j], dim_, slack_);
    }
    void finish(std::size_t r0, std::size_t rows, std::size_t worker) {
        done_(r0, rows, blocks_[worker].rows.data());
    }

private:
    struct Block {
        std::size_t first = 0;
        std::vector<float> rows;
    };
    ScanRows queries_, stored_;
    std::size_t dim_;
    float slack_;
    std::size_t width_;
    Done done_;
    std::vector<Block> blocks_;
};

// The k smallest of a whole row into `out`, in the order nth_element leaves them; entry `self` is
// the row itself and becomes the largest float first, so it is never its own neighbor.
inline void select_smallest(float* row, std::size_t n, std::size_t self, std::size_t k,
                            float* out) {
    row[self] = std::numeric_limits<float>::max();
    std::nth_element(row, row + (k - 1), row + n);
    std::copy(row, row + k, out);
}

// Each query row's smallest half squared distance so far (start at +inf). A tile row whose
// smallest expansion is not below the bound with the tile's largest finite half norm has no
// distance to recompute, and costs one comparison more than the plain minimum.
class Nearest {
public:
    Nearest(ScanRows queries, ScanRows stored, std::size_t n_stored, std::size_t dim,
            std::size_t tile, float* nearest)
        : queries_(queries),
          stored_(stored),
          dim_(dim),
          tile_(tile),
          slack_(expansion_slack(dim)),
          nearest_(nearest),
          tile_norms_((n_stored + tile - 1) / tile, 0.0f) {
        for (std::size_t j = 0; j < n_stored; ++j) {
            float& m = tile_norms_[j / tile];
            if (stored.h[j] > m && stored.h[j] <= std::numeric_limits<float>::max())
                m = stored.h[j];
        }
    }

    void start(std::size_t, std::size_t, std::size_t) {}
    void keep(std::size_t r, std::size_t c0, const float* p, std::size_t cols, std::size_t) {
        const float h = queries_.h[r];
        const float* hs = stored_.h + c0;
        float m = std::numeric_limits<float>::infinity();
        for (std::size_t j = 0; j < cols; ++j) m = std::min(m, block_distance(hs[j], p[j], h));
        if (m < expansion_bound(slack_, h, tile_norms_[c0 / tile_])) {
            m = std::numeric_limits<float>::infinity();
            for (std::size_t j = 0; j < cols; ++j)
                m = std::min(m, scan_distance(queries_, r, stored_, c0 + j, p[j], dim_, slack_));
        }
        nearest_[r] = std::min(nearest_[r], m);
    }
    void finish(std::size_t, std::size_t, std::size_t) {}

private:
    ScanRows queries_, stored_;
    std::size_t dim_, tile_;
    float slack_;
    float* nearest_;
    std::vector<float> tile_norms_;
};

// Bounded max-heaps of the k smallest keys per query row, keys built from (value, stored row) by
// key(v, c); queries are the stored rows, and row r skips itself. Keys are
// distinct, so the k kept are the k smallest whatever the order of the offers; finish sorts each
// block's heaps ascending and hands them to done(r, keys).
template <class Key, class Done>
class BoundedHeaps {
public:
    BoundedHeaps(std::size_t k, Key key, Done done)
        : k_(k), key_(key), done_(done), heaps_(pool::worker_count()) {}

    void start(std::size_t r0, std::size_t rows, std::size_t worker) {
        heaps_[worker].first = r0;
        heaps_[worker].keys.assign(rows * k_, std::numeric_limits<std::uint64_t>::max());
    }
    void keep(std::size_t r, std::size_t c0, const float* v, std::size_t cols, std::size_t worker) {
        std::uint64_t* heap = heaps_[worker].keys.data() + (r - heaps_[worker].first) * k_;
        for (std::size_t j = 0; j < cols; ++j) {
            if (c0 + j != r) push(heap, key_(v[j], c0 + j));
        }
    }
    void finish(std::size_t r0, std::size_t rows, std::size_t worker) {
        for (std::size_t r = 0; r < rows; ++r) {
            std::uint64_t* heap = heaps_[worker].keys.data() + r * k_;
            std::sort_heap(heap, heap + k_);
            done_(r0 + r, std::span<const std::uint64_t>(heap, k_));
        }
    }

private:
    // Replaces the largest key when v is smaller; one comparison for most offers.
    void push(std::uint64_t* heap, std::uint64_t v) const {
        if (!(v < heap[0])) return;
        std::size_t i = 0;
        for (;;) {
            std::size_t c = 2 * i + 1;
            if (c >= k_) break;
            if (c + 1 < k_ && heap[c + 1] > heap[c]) ++c;
            if (!(heap[c] > v)) break;
            heap[i] = heap[c];
            i = c;
        }
        heap[i] = v;
    }

    struct Heaps {
        std::size_t first = 0;
        std::vector<std::uint64_t> keys;
    };
    std::size_t k_;
    Key key_;
    Done done_;
    std::vector<Heaps> heaps_;
};

}  // namespace orvane::knn
