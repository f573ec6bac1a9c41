#pragma once
// The query-block driver of the exact k-nearest scan: blocks of query rows against stored rows,
// one tile of values at a time, each consumed by a result handler while it is in cache. Query
// blocks are the pool's tasks and own their rows' state, so results never depend on the number
// of workers.
//
// A handler has start(r0, rows, worker) and finish(r0, rows, worker) around query rows
// [r0, r0 + rows), and keep(row, c0, values, cols, worker) for row `row`'s values with stored
// rows [c0, c0 + cols).
#include <algorithm>
#include <cstddef>
#include <vector>

#include "src/common/blas.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"
#include "src/scores/knn/plan.hpp"
#include "src/scores/knn/tile_pairs.hpp"

namespace orvane::knn {

// Tiles of query_rows x column_rows (the last of each shorter); fill(r0, rows, c0, cols, out)
// writes a tile's values row-major into `out`. Stops between tiles; advances `progress` (when
// given) by each finished block's rows.
template <class Fill, class Handler>
void scan_query_tiles(std::size_t nq, std::size_t ns, std::size_t query_rows,
                      std::size_t column_rows, Fill&& fill, Handler& handler,
                      stop::Progress* progress = nullptr) {
    if (nq == 0 || ns == 0) return;
    std::vector<std::vector<float>> scratch(pool::worker_count());
    pool::for_blocks(nq, query_rows, [&](std::size_t r0, std::size_t r1, std::size_t worker) {
        const std::size_t count = r1 - r0;
        std::vector<float>& buf = scratch[worker];
        buf.resize(count * std::min(column_rows, ns));
        handler.start(r0, count, worker);
        for (std::size_t c0 = 0; c0 < ns; c0 += column_rows) {
            stop::poll();
            const std::size_t cols = std::min(column_rows, ns - c0);
            fill(r0, count, c0, cols, buf.data());
            for (std::size_t r = 0; r < count; ++r)
                handler.keep(r0 + r, c0, buf.data() + r * cols, cols, worker);
        }
        handler.finish(r0, count, worker);
        if (progress) progress->advance(count);
    });
}

// Tiles of dot products q_r . x_c, one GEMM each, `column_rows` stored rows wide. Blocks of a
// stored matrix that start at multiples of column_rows are cut into the tiles of the whole.
template <class Handler>
void scan_query_blocks(RowBlock queries, RowBlock stored, std::size_t dim, std::size_t query_rows,
                       std::size_t column_rows, Handler& handler,
                       stop::Progress* progress = nullptr) {
    scan_query_tiles(
        queries.rows, stored.rows, query_rows, column_rows,
        [&](std::size_t r0, std::size_t rows, std::size_t c0, std::size_t cols, float* out) {
            blas::gemm_abt(rows, cols, dim, queries.data + r0 * dim, stored.data + c0 * dim, out);
        },
        handler, progress);
}

}  // namespace orvane::knn
