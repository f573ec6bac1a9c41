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

// A tile's buffers are fed under its lock; since a buffer ends as the k smallest values offered,
// the result does not depend on scheduling or on the number of workers. With `same`, every pair
// of square tiles I <= J is multiplied once and feeds tile I's rows and, transposed, tile J's:
// about half the GEMM work of scanning whole rows.
void feed_tile_pairs(TileRows a, TileRows b, bool same, std::size_t d, std::size_t k,
                     stop::Progress* progress, std::size_t units) {
    const std::size_t s = kTriangleTile;
    const std::size_t na = (a.rows + s - 1) / s, nb = (b.rows + s - 1) / s;
    // Diagonal by diagonal, so that tasks running side by side mostly touch different tiles.
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    pairs.reserve(same ? na * (na + 1) / 2 : na * nb);
    if (same) {
        for (std::size_t off = 0; off < na; ++off) {
            for (std::size_t i = 0; i + off < na; ++i) pairs.emplace_back(i, i + off);
        }
    } else {
        for (std::size_t off = 0; off < na + nb - 1; ++off) {
            for (std::size_t i = off < nb ? 0 : off - nb + 1; i < na && i <= off; ++i) {
                pairs.emplace_back(i, nb - 1 - (off - i));
            }
        }
    }
    if (pairs.empty()) return;
    // Progress: task t reports its share of the products, rounded so the shares add up to units.
    std::vector<std::uint64_t> work_before(pairs.size() + 1, 0);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const auto [ti, tj] = pairs[p];
        const std::uint64_t rows = std::min(s, a.rows - ti * s);
        const std::uint64_t cols = std::min(s, b.rows - tj * s);
        work_before[p + 1] = work_before[p] + rows * cols * (same && ti == tj ? 1 : 2);
    }
    const auto units_until = [&](std::size_t p) {
        return static_cast<std::size_t>(static_cast<unsigned __int128>(units) * work_before[p] /
                                        work_before.back());
    };
    std::vector<std::mutex> locks_a(na), locks_b(same ? 0 : nb);
    const auto lock_b = [&](std::size_t j) -> std::mutex& {
        return same ? locks_a[j] : locks_b[j];
    };
    struct Scratch {
        std::vector<float> products, worst;
    };
    std::vector<Scratch> scratch(pool::worker_count());
    const ScoreKernels& kernels = score_kernels();
    pool::run_tasks(pairs.size(), [&](std::size_t task, std::size_t worker) {
        const std::size_t ti = pairs[task].first, tj = pairs[task].second;
        const std::size_t r0 = ti * s, rows = std::min(s, a.rows - r0);
        const std::size_t c0 = tj * s, cols = std::min(s, b.rows - c0);
        const bool diagonal = same && ti == tj;
        Scratch& w = scratch[worker];
        w.products.resize(rows * cols);
        w.worst.resize(cols);
        blas::gemm_abt(rows, cols, d, a.x + r0 * d, b.x + c0 * d, w.products.data());
        const auto feed_rows = [&] {
            kernels.feed_tile_rows(w.products.data(), rows, cols, a.h + r0, b.h + c0, diagonal,
                                   a.best + r0 * k, k);
        };
        const auto feed_columns = [&] {
            kernels.feed_tile_columns(w.products.data(), rows, cols, a.h + r0, b.h + c0,
                                      b.best + c0 * k, k, w.worst.data());
        };
        if (diagonal) {
            std::lock_guard<std::mutex> hold(locks_a[ti]);
            feed_rows();
        } else if (locks_a[ti].try_lock()) {
            {
                std::lock_guard<std::mutex> adopt(locks_a[ti], std::adopt_lock);
                feed_rows();
            }
            std::lock_guard<std::mutex> hold(lock_b(tj));
            feed_columns();
        } else {
            {
                std::lock_guard<std::mutex> hold(lock_b(tj));
                feed_columns();
            }
            std::lock_guard<std::mutex> hold(locks_a[ti]);
            feed_rows();
        }
        if (progress) progress->advance(units_until(task + 1) - units_until(task));
    });
}

namespace {

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
        std::fill(t.begin(), t.end(), std::numeric_limits<float>::infinity());
        const TileRows all{calc.matrix().data.data(), calc.half_norms().data(), t.data(), n};
        feed_tile_pairs(all, all, true, calc.dim(), k, &progress, n);
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
