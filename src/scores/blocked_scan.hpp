#pragma once
// The one scan of query rows against stored rows: cache-sized tiles, one GEMM each, and a result
// handler that consumes each row's products while they are in cache. Similarity and the
// distributed block kernels are handlers of it.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "src/common/blas.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"
#include "src/scores/block_neighbors.hpp"
#include "src/scores/row_blocks.hpp"

namespace orvane {

// keep(row, c0, products, cols) receives query row `row`'s products with stored rows
// [c0, c0 + cols). Tiles of query rows are the pool's tasks, each owning its rows' state, so
// results do not depend on the number of workers. Stops between tiles; advances `progress`
// (when given) by each finished tile's rows.
template <class Keep>
void scan_blocks(RowBlock queries, RowBlock stored, std::size_t dim, Keep&& keep,
                 stop::Progress* progress = nullptr) {
    const std::size_t nq = queries.rows, ns = stored.rows;
    if (nq == 0 || ns == 0) return;
    std::vector<std::vector<float>> scratch(pool::worker_count());
    pool::for_blocks(nq, kTileRows, [&](std::size_t r0, std::size_t r1, std::size_t worker) {
        const std::size_t count = r1 - r0;
        std::vector<float>& buf = scratch[worker];
        buf.resize(count * kTileColumns);
        for (std::size_t c0 = 0; c0 < ns; c0 += kTileColumns) {
            stop::poll();
            const std::size_t cols = std::min(kTileColumns, ns - c0);
            blas::gemm_abt(count, cols, dim, queries.data + r0 * dim, stored.data + c0 * dim,
                           buf.data());
            for (std::size_t r = 0; r < count; ++r) keep(r0 + r, c0, buf.data() + r * cols, cols);
        }
        if (progress) progress->advance(count);
    });
}

}  // namespace orvane
