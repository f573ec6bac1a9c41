#pragma once
// The scans over blocks of rows that may live in different processes: each call takes one block
// of query rows and one block of stored rows, and the caller keeps each query row's state between
// calls. Cut as the classes cut their scans (plan.hpp), they give the classes' bits.
#include <cstddef>
#include <span>

#include "src/common/stop.hpp"
#include "src/scores/knn/tile_pairs.hpp"

namespace orvane::knn {

// `nearest` holds each query row's smallest half squared distance so far (start at +inf).
void merge_nearest(RowBlock queries, RowBlock stored, std::size_t dim, std::span<float> nearest,
                   stop::Progress* progress = nullptr);

// Turns the nearest half squared distances into Euclidean distances sqrt(2 m), in place.
void finish_nearest(std::span<float> nearest);

// Typicality's whole-row scan for many neighbors: `queries` (rows from a multiple of
// rows_per_block(n)) against all n rows of `stored` (first 0), one GEMM per query block of the
// class; each query row's k smallest half squared distances into `out` (rows x k), in the order
// nth_element leaves them.
void smallest_by_rows(RowBlock queries, RowBlock stored, std::size_t dim, std::size_t k,
                      std::span<float> out, stop::Progress* progress = nullptr);

// Half squared distances into distances r = sqrt(h), in place.
void finish_smallest(std::span<float> distances);

}  // namespace orvane::knn
