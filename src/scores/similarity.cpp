#include "src/scores/similarity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "src/common/blas.hpp"
#include "src/scores/distance_calculator.hpp"
#include "src/common/failure.hpp"
#include "src/common/pairwise_sum.hpp"
#include "src/common/stop.hpp"
#include "src/scores/row_blocks.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane {

std::vector<float> similarity_scores(const EmbeddingRows& keys, EmbeddingRows queries) {
    if (queries.empty()) fail("Empty list of query_embeddings is not supported");
    const DistanceCalculator calc(std::move(queries));
    const std::size_t nk = keys.size(), nq = calc.size(), d = calc.dim();
    for (std::size_t k = 0; k < nk; ++k) {
        if (keys.row_length(k) != d) calc.fail_shape(keys.row_length(k));
    }
    if (nk == 0) fail("called `Option::unwrap()` on a `None` value");

    // Keys of equal length D are one contiguous nk x D block.
    const float* key_data = keys.values().data();
    std::vector<float> dist(nk);
    // Nearest query per key, scanned tile by tile while the products are in cache.
    const float* query_data = calc.matrix().data.data();
    const float* h = calc.half_norms().data();
    const std::size_t n_blocks = (nk + kTileRows - 1) / kTileRows;
    std::vector<std::vector<float>> scratch(pool::worker_count());
    stop::Progress progress("similarity", "keys", nk);
    pool::run_tasks(n_blocks, [&](std::size_t b, std::size_t worker) {
        const std::size_t first = b * kTileRows, count = std::min(kTileRows, nk - first);
        std::vector<float>& buf = scratch[worker];
        buf.resize(count * kTileColumns + 2 * count);
        float* hk = buf.data() + count * kTileColumns;
        float* best = hk + count;
        for (std::size_t r = 0; r < count; ++r) {
            const float* k = key_data + (first + r) * d;
            hk[r] = blas::dot(d, k, k) * 0.5f;
            best[r] = std::numeric_limits<float>::infinity();
        }
        for (std::size_t c0 = 0; c0 < nq; c0 += kTileColumns) {
            stop::poll();
            const std::size_t cols = std::min(kTileColumns, nq - c0);
            blas::gemm_abt(count, cols, d, key_data + first * d, query_data + c0 * d, buf.data());
            for (std::size_t r = 0; r < count; ++r) {
                const float* p = buf.data() + r * cols;
                float m = best[r];
                for (std::size_t j = 0; j < cols; ++j) m = std::min(m, block_distance(h[c0 + j], p[j], hk[r]));
                best[r] = m;
            }
        }
        for (std::size_t r = 0; r < count; ++r) dist[first + r] = std::sqrt(best[r] + best[r]);
        progress.advance(count);
    });
    progress.finish();

    return similarity_from_distances(dist);
}

std::vector<float> similarity_from_distances(std::span<const float> dist) {
    const std::size_t nk = dist.size();
    const float mean = pairwise_sum(dist) / static_cast<float>(nk);
    std::vector<float> scores(nk);
    for (std::size_t k = 0; k < nk; ++k) scores[k] = mean != 0.0f ? (-dist[k]) / mean : -dist[k];
    return scores;
}

}  // namespace orvane
