#include "src/scores/typicality.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "src/common/blas.hpp"
#include "src/common/failure.hpp"
#include "src/common/pairwise_sum.hpp"
#include "src/common/stop.hpp"
#include "src/scores/row_blocks.hpp"
#include "src/common/worker_pool.hpp"
#include "src/scores/kernels.hpp"

namespace orvane {

namespace {

// Largest k served by the sorted insertion buffers; beyond it whole rows go through nth_element.
constexpr std::size_t kInsertionLimit = 64;

// Small k: every pair of square tiles (I <= J) is multiplied once, and the one product feeds the
// buffers of tile I's rows and, transposed, those of tile J's rows: about half the GEMM work of
// scanning whole rows. A tile's buffers are fed under its lock; since a buffer ends as the k
// smallest values offered, in any order, the result does not depend on scheduling or on the
// number of workers.
void smallest_by_triangle(const DistanceCalculator& calc, std::size_t k, float* t,
                          stop::Progress& progress) {
    const std::size_t n = calc.size(), d = calc.dim(), s = kTriangleTile;
    const float* data = calc.matrix().data.data();
    const float* h = calc.half_norms().data();
    std::fill(t, t + n * k, std::numeric_limits<float>::infinity());
    const std::size_t n_tiles = (n + s - 1) / s;
    // Diagonal by diagonal, so that tasks running side by side mostly touch different tiles.
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    pairs.reserve(n_tiles * (n_tiles + 1) / 2);
    for (std::size_t off = 0; off < n_tiles; ++off) {
        for (std::size_t i = 0; i + off < n_tiles; ++i) pairs.emplace_back(i, i + off);
    }
    // Progress in rows: task t reports its share of the products, rounded so the shares add up to
    // n.
    std::vector<std::uint64_t> work_before(pairs.size() + 1, 0);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const auto [ti, tj] = pairs[p];
        const std::uint64_t rows = std::min(s, n - ti * s), cols = std::min(s, n - tj * s);
        work_before[p + 1] = work_before[p] + rows * cols * (ti == tj ? 1 : 2);
    }
    const auto rows_until = [&](std::size_t p) {
        return static_cast<std::size_t>(static_cast<unsigned __int128>(n) * work_before[p] /
                                        work_before.back());
    };
    std::vector<std::mutex> locks(n_tiles);
    struct Scratch {
        std::vector<float> products, worst;
    };
    std::vector<Scratch> scratch(pool::worker_count());
    const ScoreKernels& kernels = score_kernels();
    pool::run_tasks(pairs.size(), [&](std::size_t task, std::size_t worker) {
        const std::size_t ti = pairs[task].first, tj = pairs[task].second;
        const std::size_t r0 = ti * s, rows = std::min(s, n - r0);
        const std::size_t c0 = tj * s, cols = std::min(s, n - c0);
        Scratch& w = scratch[worker];
        w.products.resize(rows * cols);
        w.worst.resize(cols);
        blas::gemm_abt(rows, cols, d, data + r0 * d, data + c0 * d, w.products.data());
        const auto feed_rows = [&] {
            std::lock_guard<std::mutex> hold(locks[ti]);
            kernels.feed_tile_rows(w.products.data(), rows, cols, h + r0, h + c0, ti == tj,
                                   t + r0 * k, k);
        };
        const auto feed_columns = [&] {
            std::lock_guard<std::mutex> hold(locks[tj]);
            kernels.feed_tile_columns(w.products.data(), rows, cols, h + r0, h + c0, t + c0 * k, k,
                                      w.worst.data());
        };
        if (ti == tj) {
            feed_rows();
        } else if (locks[ti].try_lock()) {
            {
                std::lock_guard<std::mutex> adopt(locks[ti], std::adopt_lock);
                kernels.feed_tile_rows(w.products.data(), rows, cols, h + r0, h + c0, false,
                                       t + r0 * k, k);
            }
            feed_columns();
        } else {
            feed_columns();
            feed_rows();
        }
        progress.advance(rows_until(task + 1) - rows_until(task));
    });
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
        fail(
            "assertion `left != right` failed: num_nearest_neighbors (K) has to be positive\n"
            "  left: 0\n right: 0");
    }
    if (n != calc.size()) fail("assertion failed: the embedding count matches the calculator");
    require_two_embeddings(n);
    const std::size_t k = std::min(K, n - 1);

    // Per row only its k smallest distances are kept: memory is N x k plus a tile per worker.
    // Each row ends in an order fixed by its values, so the sums below never depend on timing.
    std::vector<float> t(n * k);
    stop::Progress progress("typicality", "rows", n);
    if (k <= kInsertionLimit) {
        smallest_by_triangle(calc, k, t.data(), progress);
    } else {
        const std::size_t block = rows_per_block(n);
        std::vector<std::vector<float>> scratch(pool::worker_count());
        pool::for_blocks(n, block, [&](std::size_t first, std::size_t last, std::size_t worker) {
            const std::size_t count = last - first;
            smallest_by_rows(calc, first, count, k, scratch[worker], t.data());
            progress.advance(count);
        });
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
    std::vector<float> scores(n);
    for (std::size_t i = 0; i < n; ++i) {
        float s = 0.0f;
        for (std::size_t j = 0; j < k; ++j) s += std::exp(((t[i * k + j] / mean) * -1.0f));
        scores[i] = s / static_cast<float>(k);
    }
    return scores;
}

}  // namespace orvane
