#include "src/scores/typicality.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "src/common/failure.hpp"
#include "src/common/input_texts.hpp"
#include "src/common/pairwise_sum.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"
#include "src/scores/knn/blocks.hpp"
#include "src/scores/knn/plan.hpp"
#include "src/scores/knn/tile_pairs.hpp"

namespace orvane {

std::size_t neighbor_count(std::size_t K, std::size_t n) {
    require_two_embeddings(n);
    if (K == 0) {
        raise_internal_failure(
            "assertion `left != right` failed: num_nearest_neighbors (K) has to be positive\n"
            "  left: 0\n right: 0");
    }
    return std::min(K, n - 1);
}

void require_two_embeddings(std::size_t n) {
    if (n < 2) raise_internal_failure(kTooFewEmbeddings);
}

std::vector<float> typicality_scores(const DistanceCalculator& calc, std::size_t n, std::size_t K) {
    if (n != calc.size())
        raise_internal_failure("assertion failed: the embedding count matches the calculator");
    const std::size_t k = neighbor_count(K, n);

    // Per row only its k smallest distances are kept: memory is N x k plus a tile or a block of
    // whole rows per worker. Each row ends in an order fixed by its values, so the sums below
    // never depend on timing.
    std::vector<float> t(n * k);
    stop::Progress progress("typicality", "rows", n);
    const knn::RowBlock all{calc.matrix().data.data(), n, 0};
    const float* h = calc.half_norms().data();
    if (knn::typicality_handler(k) == knn::Handler::sorted) {
        std::fill(t.begin(), t.end(), std::numeric_limits<float>::infinity());
        const knn::TileRows rows{all.data, h, t.data(), n};
        knn::feed_tile_pairs(rows, rows, true, calc.dim(), k, &progress, n);
    } else {
        knn::smallest_by_rows(all, all, calc.dim(), k, t, &progress);
    }
    pool::parallel_for(n * k, 1 << 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) t[i] = std::sqrt(t[i]);
    });
    progress.finish();

    return typicality_from_distances(t, n, k);
}

std::vector<float> typicality_from_distances(std::span<const float> t, std::size_t n,
                                             std::size_t k) {
    const float mean = pairwise_sum(t) / static_cast<float>(n * k);
    // A mean of 0 means every row's k nearest neighbors are duplicates of it, which is what
    // scores 1; dividing would turn each 0 / 0 into NaN instead.
    if (mean == 0.0f) return std::vector<float>(n, 1.0f);
    std::vector<float> scores(n);
    for (std::size_t i = 0; i < n; ++i) {
        float s = 0.0f;
        for (std::size_t j = 0; j < k; ++j) s += std::exp(((t[i * k + j] / mean) * -1.0f));
        scores[i] = s / static_cast<float>(k);
    }
    return scores;
}

}  // namespace orvane
