#include "src/scores/knn/tile_pairs.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>

#include "src/common/blas.hpp"
#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"
#include "src/scores/kernels.hpp"
#include "src/scores/knn/plan.hpp"
#include "src/scores/knn/recompute.hpp"

namespace orvane::knn {

std::vector<float> half_norms(RowBlock block, std::size_t dim) {
    std::vector<float> h(block.rows);
    for (std::size_t i = 0; i < block.rows; ++i) {
        const float* x = block.data + i * dim;
        h[i] = blas::dot(dim, x, x) * 0.5f;
    }
    return h;
}

// A tile's buffers are fed under its lock; since a buffer ends as the k smallest values offered,
// the result does not depend on scheduling or on the number of workers. With `same`, every pair
// of square tiles I <= J is multiplied once and feeds tile I's rows and, transposed, tile J's:
// about half the GEMM work of scanning whole rows.
void feed_tile_pairs(TileRows a, TileRows b, bool same, std::size_t d, std::size_t k,
                     stop::Progress* progress, std::size_t units) {
    const std::size_t s = kTriangleTile;
    const std::size_t na = (a.rows + s - 1) / s, nb = (b.rows + s - 1) / s;
    const std::vector<std::pair<std::size_t, std::size_t>> pairs = tile_pair_order(na, nb, same);
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
        std::vector<float> products, filters;
    };
    std::vector<Scratch> scratch(pool::worker_count());
    const ScoreKernels& kernels = score_kernels();
    const float slack = expansion_slack(d);
    pool::run_tasks(pairs.size(), [&](std::size_t task, std::size_t worker) {
        const std::size_t ti = pairs[task].first, tj = pairs[task].second;
        const std::size_t r0 = ti * s, rows = std::min(s, a.rows - r0);
        const std::size_t c0 = tj * s, cols = std::min(s, b.rows - c0);
        const bool diagonal = same && ti == tj;
        Scratch& w = scratch[worker];
        w.products.resize(rows * cols);
        w.filters.resize(2 * std::max(rows, cols));
        blas::gemm_abt(rows, cols, d, a.x + r0 * d, b.x + c0 * d, w.products.data());
        const auto feed_rows = [&] {
            kernels.feed_tile_rows(w.products.data(), rows, cols, a.h + r0, b.h + c0, diagonal,
                                   a.best + r0 * k, k, a.x + r0 * d, b.x + c0 * d, d, slack,
                                   w.filters.data());
        };
        const auto feed_columns = [&] {
            kernels.feed_tile_columns(w.products.data(), rows, cols, a.h + r0, b.h + c0,
                                      b.best + c0 * k, k, a.x + r0 * d, b.x + c0 * d, d, slack,
                                      w.filters.data());
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
    // Heap-ordered buffers (k beyond the insertion limit) end sorted, as the small ones are.
    if (k > kInsertionLimit) {
        const auto sort_rows = [&](float* best, std::size_t rows) {
            pool::parallel_for(rows, 256, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i)
                    std::sort(best + i * k, best + (i + 1) * k);
            });
        };
        sort_rows(a.best, a.rows);
        if (!same) sort_rows(b.best, b.rows);
    }
}

void smallest_by_tile_pairs(RowBlock a, RowBlock b, std::size_t dim, std::size_t k,
                            std::span<float> best) {
    const bool same = a.first == b.first;
    if (k == 0 || typicality_handler(k) != Handler::sorted || a.first % kTriangleTile != 0 ||
        b.first % kTriangleTile != 0 || (same && a.rows != b.rows) ||
        best.size() != (a.rows + (same ? 0 : b.rows)) * k) {
        raise_internal_failure("assertion failed: tile-aligned blocks and one k-buffer per row");
    }
    const std::vector<float> ha = half_norms(a, dim), hb = same ? ha : half_norms(b, dim);
    float* best_b = same ? best.data() : best.data() + a.rows * k;
    feed_tile_pairs({a.data, ha.data(), best.data(), a.rows}, {b.data, hb.data(), best_b, b.rows},
                    same, dim, k, nullptr, 0);
}

void merge_sorted_smallest(std::span<float> into, std::span<const float> from, std::size_t k) {
    if (k == 0 || into.size() != from.size() || into.size() % k != 0) {
        raise_internal_failure("assertion failed: rows of k distances");
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

}  // namespace orvane::knn
