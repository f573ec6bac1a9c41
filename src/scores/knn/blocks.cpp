#include "src/scores/knn/blocks.hpp"

#include <cmath>
#include <vector>

#include "src/common/failure.hpp"
#include "src/scores/knn/handlers.hpp"
#include "src/scores/knn/plan.hpp"
#include "src/scores/knn/query_blocks.hpp"

namespace orvane::knn {

void merge_nearest(RowBlock queries, RowBlock stored, std::size_t dim, std::span<float> nearest,
                   stop::Progress* progress) {
    if (nearest.size() != queries.rows)
        raise_internal_failure("assertion failed: one distance per query row");
    const std::vector<float> hq = half_norms(queries, dim), hs = half_norms(stored, dim);
    Nearest handler({queries.data, hq.data()}, {stored.data, hs.data()}, stored.rows, dim,
                    kTileColumns, nearest.data());
    scan_query_blocks(queries, stored, dim, kTileRows, kTileColumns, handler, progress);
}

void finish_nearest(std::span<float> nearest) {
    for (float& m : nearest) m = std::sqrt(m + m);
}

void smallest_by_rows(RowBlock queries, RowBlock stored, std::size_t dim, std::size_t k,
                      std::span<float> out, stop::Progress* progress) {
    const std::size_t n = stored.rows, block = rows_per_block(n);
    if (k == 0 || k >= n || stored.first != 0 || queries.first % block != 0 ||
        queries.first + queries.rows > n || out.size() != queries.rows * k) {
        raise_internal_failure(
            "assertion failed: query blocks of the class against every row, k < n");
    }
    const std::vector<float> hs = half_norms(stored, dim);
    const float* hq = hs.data() + queries.first;
    const auto select = [&](std::size_t r0, std::size_t rows, float* distances) {
        for (std::size_t r = 0; r < rows; ++r) {
            stop::poll();
            select_smallest(distances + r * n, n, queries.first + r0 + r, k,
                            out.data() + (r0 + r) * k);
        }
    };
    // One GEMM per query block against every row: the shapes of the class.
    WholeRows whole({queries.data, hq}, {stored.data, hs.data()}, dim, n, select);
    scan_query_blocks(queries, stored, dim, block, n, whole, progress);
}

void finish_smallest(std::span<float> distances) {
    for (float& v : distances) v = std::sqrt(v);
}

}  // namespace orvane::knn
