#pragma once
// The all-rows driver of the exact k-nearest scan: square tiles multiplied pair by pair, each
// product fed to the sorted k-buffers of both tiles' rows.
#include <cstddef>
#include <span>
#include <vector>

#include "src/common/stop.hpp"

namespace orvane::knn {

// Rows [first, first + rows) of a larger matrix, row-major with `dim` columns.
struct RowBlock {
    const float* data;
    std::size_t rows;
    std::size_t first;
};

// Half norms of a block's rows, as the distance calculator computes them.
std::vector<float> half_norms(RowBlock block, std::size_t dim);

// Rows cut into square tiles of kTriangleTile rows (the last may be shorter), their half norms,
// and their ascending k-buffers of smallest half squared distances.
struct TileRows {
    const float* x;
    const float* h;
    float* best;
    std::size_t rows;
};

// Multiplies every pair of tiles (I of a, J of b) once, in tile_pair_order, and offers the
// product to the buffers of both tiles' rows. With `same` (b is a) only pairs I <= J, and no row
// is its own neighbor. Buffers end as the k smallest values offered, in any order of the offers.
// `progress`, when given, advances by `units` over the whole call.
void feed_tile_pairs(TileRows a, TileRows b, bool same, std::size_t d, std::size_t k,
                     stop::Progress* progress, std::size_t units);

// Every tile pair between blocks a and b (b.first == a.first: the pairs within a), as the class
// feeds them. `best` holds ascending k-buffers of half squared distances for a's rows, then b's
// rows unless b is a. Each row's buffer starts as +inf, or as k copies of the largest value of a
// buffer that the row already holds elsewhere: merged with that buffer (merge_sorted_smallest),
// the result is the same values, and far fewer offers get past the filter of a full buffer.
void smallest_by_tile_pairs(RowBlock a, RowBlock b, std::size_t dim, std::size_t k,
                            std::span<float> best);

// Rows of ascending k-buffers: `into` keeps, per row, the k smallest of its own and `from`'s.
void merge_sorted_smallest(std::span<float> into, std::span<const float> from, std::size_t k);

}  // namespace orvane::knn
