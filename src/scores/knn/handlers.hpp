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

namespace orvane::knn {

// Whole rows of half squared distances from products, `width` stored rows wide, in a buffer of
// the worker's current block of query rows; done(r0, rows, distances) receives the block once it
// is complete.
template <class Done>
class WholeRows {
public:
    WholeRows(const float* hq, const float* hs, std::size_t width, Done done)
        : hq_(hq), hs_(hs), width_(width), done_(done), blocks_(pool::worker_count()) {}

    void start(std::size_t r0, std::size_t rows, std::size_t worker) {
        blocks_[worker].first = r0;
        blocks_[worker].rows.resize(rows * width_);
    }
    void keep(std::size_t r, std::size_t c0, const float* p, std::size_t cols, std::size_t worker) {
        float* out = blocks_[worker].rows.data() + (r - blocks_[worker].first) * width_ + c0;
        const float h = hq_[r];
        for (std::size_t j = 0; j < cols; ++j) out[j] = block_distance(hs_[c0 + j], p[j], h);
    }
    void finish(std::size_t r0, std::size_t rows, std::size_t worker) {
        done_(r0, rows, blocks_[worker].rows.data());
    }

private:
    struct Block {
        std::size_t first = 0;
        std::vector<float> rows;
    };
    const float *hq_, *hs_;
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

// Each query row's smallest half squared distance so far (start at +inf).
struct Nearest {
    const float* hq;
    const float* hs;
    float* nearest;

    void start(std::size_t, std::size_t, std::size_t) {}
    void keep(std::size_t r, std::size_t c0, const float* p, std::size_t cols, std::size_t) {
        float m = nearest[r];
        const float h = hq[r];
        for (std::size_t j = 0; j < cols; ++j) m = std::min(m, block_distance(hs[c0 + j], p[j], h));
        nearest[r] = m;
    }
    void finish(std::size_t, std::size_t, std::size_t) {}
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
