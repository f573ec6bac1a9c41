#include "src/similarity.hpp"

#include <algorithm>
#include <cmath>

#include "src/blas.hpp"
#include "src/distance_calculator.hpp"
#include "src/failure.hpp"
#include "src/row_blocks.hpp"
#include "src/worker_pool.hpp"

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
    const std::size_t block = rows_per_block(nq);
    const std::size_t n_blocks = (nk + block - 1) / block;
    std::vector<std::vector<float>> scratch(pool::worker_count());
    pool::run_tasks(n_blocks, [&](std::size_t b, std::size_t worker) {
        const std::size_t first = b * block, count = std::min(block, nk - first);
        std::vector<float>& buf = scratch[worker];
        buf.resize(count * nq + count);
        float* hk = buf.data() + count * nq;
        for (std::size_t r = 0; r < count; ++r) {
            const float* k = key_data + (first + r) * d;
            hk[r] = blas::dot(d, k, k) * 0.5f;
        }
        block_products(calc, key_data + first * d, count, buf.data());
        const float* h = calc.half_norms().data();
        for (std::size_t r = 0; r < count; ++r) {
            const float* row = buf.data() + r * nq;
            float m = block_distance(h[0], row[0], hk[r]);
            for (std::size_t j = 1; j < nq; ++j) m = std::min(m, block_distance(h[j], row[j], hk[r]));
            dist[first + r] = std::sqrt(m + m);
        }
    });

    float sum = 0.0f;
    for (float v : dist) sum += v;
    const float mean = sum / static_cast<float>(nk);
    std::vector<float> scores(nk);
    for (std::size_t k = 0; k < nk; ++k) scores[k] = mean != 0.0f ? (-dist[k]) / mean : -dist[k];
    return scores;
}

}  // namespace orvane
