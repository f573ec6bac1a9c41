#include "src/typicality.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "src/failure.hpp"
#include "src/row_blocks.hpp"
#include "src/worker_pool.hpp"

namespace orvane {

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
    const float* data = calc.matrix().data.data();
    const float* h = calc.half_norms().data();
    const std::size_t d = calc.dim();

    // Per row only its k smallest distances are kept: memory is N x (block + k).
    std::vector<float> t(n * k);
    const std::size_t block = rows_per_block(n);
    const std::size_t n_blocks = (n + block - 1) / block;
    std::vector<std::vector<float>> scratch(pool::worker_count());
    pool::run_tasks(n_blocks, [&](std::size_t b, std::size_t worker) {
        const std::size_t first = b * block, count = std::min(block, n - first);
        std::vector<float>& buf = scratch[worker];
        buf.resize(count * n);
        block_distances(calc, data + first * d, h + first, count, buf.data());
        for (std::size_t r = 0; r < count; ++r) {
            float* row = buf.data() + r * n;
            row[first + r] = std::numeric_limits<float>::max();  // never its own neighbour
            std::nth_element(row, row + (k - 1), row + n);
            float* out = t.data() + (first + r) * k;
            for (std::size_t j = 0; j < k; ++j) out[j] = std::sqrt(row[j]);
        }
    });

    float sum = 0.0f;
    for (float v : t) sum += v;
    const float mean = sum / static_cast<float>(n * k);
    std::vector<float> scores(n);
    for (std::size_t i = 0; i < n; ++i) {
        float s = 0.0f;
        for (std::size_t j = 0; j < k; ++j) s += std::exp(((t[i * k + j] / mean) * -1.0f));
        scores[i] = s / static_cast<float>(k);
    }
    return scores;
}

}  // namespace orvane
