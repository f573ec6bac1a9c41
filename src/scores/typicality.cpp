#include "src/scores/typicality.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "src/common/blas.hpp"
#include "src/common/failure.hpp"
#include "src/common/pairwise_sum.hpp"
#include "src/common/stop.hpp"
#include "src/scores/row_blocks.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane {

namespace {

// Largest k served by the sorted insertion buffer; beyond it whole rows go through nth_element.
constexpr std::size_t kInsertionLimit = 64;

// Adds one distance to the ascending k-buffer `best` holding `count` entries.
inline void keep_smallest(float v, float* best, std::size_t& count, std::size_t k) {
    if (count == k && !(v < best[k - 1])) return;
    std::size_t pos = count < k ? count++ : k - 1;
    while (pos > 0 && best[pos - 1] > v) {
        best[pos] = best[pos - 1];
        --pos;
    }
    best[pos] = v;
}

// Small k: rows are scanned tile by tile while the tile's products are still in cache; most
// candidates fail to enter the buffer after one comparison.
void smallest_by_tiles(const DistanceCalculator& calc, std::size_t first, std::size_t count,
                       std::size_t k, std::vector<float>& buf, float* t) {
    const std::size_t n = calc.size(), d = calc.dim();
    const float* data = calc.matrix().data.data();
    const float* h = calc.half_norms().data();
    buf.resize(count * kTileColumns);
    std::vector<std::size_t> filled(count, 0);
    for (std::size_t c0 = 0; c0 < n; c0 += kTileColumns) {
        stop::poll();
        const std::size_t cols = std::min(kTileColumns, n - c0);
        blas::gemm_abt(count, cols, d, data + first * d, data + c0 * d, buf.data());
        for (std::size_t r = 0; r < count; ++r) {
            const std::size_t i = first + r;
            const float* p = buf.data() + r * cols;
            float* best = t + i * k;
            for (std::size_t j = 0; j < cols; ++j) {
                float v = block_distance(h[c0 + j], p[j], h[i]);
                if (c0 + j == i) v = std::numeric_limits<float>::max();  // never its own neighbour
                keep_smallest(v, best, filled[r], k);
            }
        }
    }
}

// Large k: the whole row of distances, then a linear-time selection.
void smallest_by_rows(const DistanceCalculator& calc, std::size_t first, std::size_t count,
                      std::size_t k, std::vector<float>& buf, float* t) {
    const std::size_t n = calc.size(), d = calc.dim();
    const float* h = calc.half_norms().data();
    buf.resize(count * n);
    block_products(calc, calc.matrix().data.data() + first * d, count, buf.data());
    for (std::size_t r = 0; r < count; ++r) {
        stop::poll();
        const std::size_t i = first + r;
        float* row = buf.data() + r * n;
        for (std::size_t j = 0; j < n; ++j) row[j] = block_distance(h[j], row[j], h[i]);
        row[i] = std::numeric_limits<float>::max();
        std::nth_element(row, row + (k - 1), row + n);
        std::copy(row, row + k, t + i * k);
    }
}

}  // namespace

void require_two_embeddings(std::size_t n) {
    if (n < 2) fail("At least 2 embeddings are required");
}

std::vector<float> typicality_scores(const DistanceCalculator& calc, std::size_t n, std::size_t K) {
    if (K == 0) {
        fail("assertion `left != right` failed: num_nearest_neighbors (K) has to be positive\n"
             "  left: 0\n right: 0");
    }
    if (n != calc.size()) fail("assertion failed: the embedding count matches the calculator");
    require_two_embeddings(n);
    const std::size_t k = std::min(K, n - 1);

    // Per row only its k smallest distances are kept: memory is N x k plus a tile per worker.
    std::vector<float> t(n * k);
    const bool by_tiles = k <= kInsertionLimit;
    const std::size_t block = by_tiles ? kTileRows : rows_per_block(n);
    const std::size_t n_blocks = (n + block - 1) / block;
    std::vector<std::vector<float>> scratch(pool::worker_count());
    stop::Progress progress("typicality", "rows", n);
    pool::run_tasks(n_blocks, [&](std::size_t b, std::size_t worker) {
        const std::size_t first = b * block, count = std::min(block, n - first);
        if (by_tiles) {
            smallest_by_tiles(calc, first, count, k, scratch[worker], t.data());
        } else {
            smallest_by_rows(calc, first, count, k, scratch[worker], t.data());
        }
        for (std::size_t i = first; i < first + count; ++i) {
            for (std::size_t j = 0; j < k; ++j) t[i * k + j] = std::sqrt(t[i * k + j]);
        }
        progress.advance(count);
    });
    progress.finish();

    return typicality_from_distances(t, n, k);
}

std::vector<float> typicality_from_distances(std::span<const float> t, std::size_t n, std::size_t k) {
    const float mean = pairwise_sum(t) / static_cast<float>(n * k);
    std::vector<float> scores(n);
    for (std::size_t i = 0; i < n; ++i) {
        float s = 0.0f;
        for (std::size_t j = 0; j < k; ++j) s += std::exp(((t[i * k + j] / mean) * -1.0f));
        scores[i] = s / static_cast<float>(k);
    }
    return scores;
}

}  // namespace orvane
