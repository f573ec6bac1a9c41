#include "src/typicality.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "src/failure.hpp"
#include "src/row_blocks.hpp"
#include "src/worker_pool.hpp"

namespace orvane {

namespace {

// The k smallest distances of one row (self excluded), in ascending order, from its products.
// Small k keeps a sorted buffer that most candidates fail to enter after one comparison;
// large k turns the row into distances and selects with nth_element.
void smallest_distances(float* products, const float* h, float h_self, std::size_t n,
                        std::size_t self, std::size_t k, float* out) {
    if (k <= 64) {
        std::size_t count = 0;
        for (std::size_t j = 0; j < n; ++j) {
            float v = block_distance(h[j], products[j], h_self);
            if (j == self) v = std::numeric_limits<float>::max();
            if (count == k && !(v < out[k - 1])) continue;
            std::size_t pos = count < k ? count++ : k - 1;
            while (pos > 0 && out[pos - 1] > v) {
                out[pos] = out[pos - 1];
                --pos;
            }
            out[pos] = v;
        }
        return;
    }
    for (std::size_t j = 0; j < n; ++j) products[j] = block_distance(h[j], products[j], h_self);
    products[self] = std::numeric_limits<float>::max();  // never its own neighbour
    std::nth_element(products, products + (k - 1), products + n);
    std::copy(products, products + k, out);
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
        block_products(calc, data + first * d, count, buf.data());
        for (std::size_t r = 0; r < count; ++r) {
            const std::size_t i = first + r;
            float* row = buf.data() + r * n;
            float* out = t.data() + i * k;
            smallest_distances(row, h, h[i], n, i, k, out);
            for (std::size_t j = 0; j < k; ++j) out[j] = std::sqrt(out[j]);
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
