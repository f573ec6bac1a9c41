#include "src/scores/block_neighbors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "src/common/blas.hpp"
#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"
#include "src/scores/distance_calculator.hpp"
#include "src/scores/row_blocks.hpp"
#include "src/scores/blocked_scan.hpp"
#include "src/scores/typicality.hpp"

namespace orvane {

namespace {

// As the distance calculator computes them, so distances match the one-matrix path.
std::vector<float> half_norms(RowBlock block, std::size_t dim) {
    std::vector<float> h(block.rows);
    for (std::size_t i = 0; i < block.rows; ++i) {
        const float* x = block.data + i * dim;
        h[i] = blas::dot(dim, x, x) * 0.5f;
    }
    return h;
}

// Replaces the largest of the k values when v is smaller; one comparison for most candidates.
inline void push_bounded(float* heap, std::size_t k, float v) {
    if (!(v < heap[0])) return;
    std::size_t i = 0;
    for (;;) {
        std::size_t c = 2 * i + 1;
        if (c >= k) break;
        if (c + 1 < k && heap[c + 1] > heap[c]) ++c;
        if (!(heap[c] > v)) break;
        heap[i] = heap[c];
        i = c;
    }
    heap[i] = v;
}

}  // namespace

std::size_t neighbor_count(std::size_t K, std::size_t n) {
    require_two_embeddings(n);
    if (K == 0) {
        fail(
            "assertion `left != right` failed: num_nearest_neighbors (K) has to be positive\n"
            "  left: 0\n right: 0");
    }
    return std::min(K, n - 1);
}

void merge_smallest(RowBlock queries, RowBlock stored, std::size_t dim, std::size_t k,
                    std::span<float> heaps) {
    if (k == 0 || heaps.size() != queries.rows * k) {
        fail("assertion failed: one heap of k > 0 distances per query row");
    }
    const std::vector<float> hq = half_norms(queries, dim), hs = half_norms(stored, dim);
    scan_blocks(queries, stored, dim,
                [&](std::size_t r, std::size_t c0, const float* p, std::size_t cols) {
                    float* heap = heaps.data() + r * k;
                    const float h = hq[r];
                    // Column of this row itself within the tile, if it is there.
                    const std::size_t self = queries.first + r - stored.first - c0;
                    for (std::size_t j = 0; j < cols; ++j) {
                        float v = block_distance(hs[c0 + j], p[j], h);
                        if (j == self) v = std::numeric_limits<float>::max();
                        push_bounded(heap, k, v);
                    }
                });
}

std::size_t tile_pair_rows(std::size_t k) { return k <= kInsertionLimit ? kTriangleTile : 0; }

void smallest_by_tile_pairs(RowBlock a, RowBlock b, std::size_t dim, std::size_t k,
                            std::span<float> best) {
    const bool same = a.first == b.first;
    if (k == 0 || k > kInsertionLimit || a.first % kTriangleTile != 0 ||
        b.first % kTriangleTile != 0 || (same && a.rows != b.rows) ||
        best.size() != (a.rows + (same ? 0 : b.rows)) * k) {
        fail("assertion failed: tile-aligned blocks and one k-buffer per row");
    }
    const std::vector<float> ha = half_norms(a, dim), hb = same ? ha : half_norms(b, dim);
    float* best_b = same ? best.data() : best.data() + a.rows * k;
    feed_tile_pairs({a.data, ha.data(), best.data(), a.rows}, {b.data, hb.data(), best_b, b.rows},
                    same, dim, k, nullptr, 0);
}

void merge_sorted_smallest(std::span<float> into, std::span<const float> from, std::size_t k) {
    if (k == 0 || into.size() != from.size() || into.size() % k != 0) {
        fail("assertion failed: rows of k distances");
    }
    std::vector<float> merged(k);
    for (std::size_t i = 0; i < into.size(); i += k) {
        const float *x = into.data() + i, *y = from.data() + i;
        // Nothing of `from` gets in: the common case once a row has met its near tiles.
        if (!(y[0] < x[k - 1])) continue;
        std::size_t p = 0, q = 0;
        for (float& m : merged) m = (q == k || (p < k && !(y[q] < x[p]))) ? x[p++] : y[q++];
        std::copy(merged.begin(), merged.end(), into.data() + i);
    }
}

void finish_smallest(std::span<float> heaps, std::size_t k) {
    if (k == 0 || heaps.size() % k != 0) fail("assertion failed: rows of k distances");
    for (std::size_t i = 0; i < heaps.size(); i += k) {
        float* row = heaps.data() + i;
        std::sort(row, row + k);
        for (std::size_t j = 0; j < k; ++j) row[j] = std::sqrt(row[j]);
    }
}

void merge_nearest(RowBlock queries, RowBlock stored, std::size_t dim, std::span<float> nearest,
                   stop::Progress* progress) {
    if (nearest.size() != queries.rows) fail("assertion failed: one distance per query row");
    const std::vector<float> hq = half_norms(queries, dim), hs = half_norms(stored, dim);
    scan_blocks(
        queries, stored, dim,
        [&](std::size_t r, std::size_t c0, const float* p, std::size_t cols) {
            float m = nearest[r];
            const float h = hq[r];
            for (std::size_t j = 0; j < cols; ++j)
                m = std::min(m, block_distance(hs[c0 + j], p[j], h));
            nearest[r] = m;
        },
        progress);
}

void finish_nearest(std::span<float> nearest) {
    for (float& m : nearest) m = std::sqrt(m + m);
}

}  // namespace orvane
