#pragma once
// Nearest stored rows of a block of query rows, one stored block at a time. The caller keeps a
// running state per query row between blocks, so typicality and similarity can run over row
// blocks that live in different processes with memory of two blocks plus that state, and give
// the same distances as the one-matrix computation.
#include <cstddef>
#include <span>

#include "src/common/stop.hpp"

namespace orvane {

// Rows [first, first + rows) of a larger matrix, row-major with `dim` columns.
struct RowBlock {
    const float* data;
    std::size_t rows;
    std::size_t first;
};

// The effective neighbor count k = min(K, n - 1), after the checks typicality makes on n and K.
std::size_t neighbor_count(std::size_t K, std::size_t n);

// `heaps` holds a max-heap of k half squared distances per query row (nq x k, start at +inf);
// every stored row's distance is merged in. A row meets itself (same global index) at the
// largest finite float, as in typicality, so it is never its own neighbor.
void merge_smallest(RowBlock queries, RowBlock stored, std::size_t dim, std::size_t k,
                    std::span<float> heaps);

// Rows per tile of the tile-pair path for k neighbors, or 0 when k takes the class's whole-row
// path instead. Blocks of the tile-pair path start at multiples of it.
std::size_t tile_pair_rows(std::size_t k);

// Every tile pair between blocks a and b (b.first == a.first: the pairs within a), multiplied
// and fed as the single-machine class does. `best` holds ascending k-buffers of half squared
// distances for a's rows, then b's rows unless b is a. Each row's buffer starts as +inf, or as k
// copies of the largest value of a buffer that the row already holds elsewhere: merged with that
// buffer (merge_sorted_smallest), the result is the same values, and far fewer offers get past
// the filter of a buffer that starts full.
void smallest_by_tile_pairs(RowBlock a, RowBlock b, std::size_t dim, std::size_t k,
                            std::span<float> best);

// Rows of ascending k-buffers: `into` keeps, per row, the k smallest of its own and `from`'s.
void merge_sorted_smallest(std::span<float> into, std::span<const float> from, std::size_t k);

// Turns the heaps into each row's k distances r = sqrt(half squared distance), ascending.
void finish_smallest(std::span<float> heaps, std::size_t k);

// `nearest` holds each query row's smallest half squared distance so far (start at +inf).
void merge_nearest(RowBlock queries, RowBlock stored, std::size_t dim, std::span<float> nearest,
                   stop::Progress* progress = nullptr);

// Turns the nearest half squared distances into Euclidean distances sqrt(2 m), in place.
void finish_nearest(std::span<float> nearest);

}  // namespace orvane
