#pragma once
// The public input rules of the class fronts, one function each: the function owns the rule's
// text and its exception class. The Ray layer's private checks call the same functions on a
// summary of rows it never gathers in one process, so both fail alike.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "src/common/embedding.hpp"

namespace orvane::py {

// What the rules need of a list of rows: its count, its number of values, the first row's length
// and the first row of another length (index, length).
struct RowsShape {
    std::size_t n = 0;
    std::size_t values = 0;
    std::size_t d = 0;
    std::optional<std::pair<std::size_t, std::size_t>> odd_row;
};

RowsShape shape_of(const EmbeddingRows& rows);
// Length of the first row whose length is not d.
std::optional<std::size_t> first_length_other_than(const EmbeddingRows& rows, std::size_t d);

// ValueError rules, each with its fixed text.
void check_key_count(std::size_t n);
void check_query_count(std::size_t n);
void check_two_objects(std::size_t n);
void check_neighbor_count(std::uint64_t num_nearest_neighbors);
void check_equal_dimensions(const EmbeddingRows& objects);
void check_object_indices(const IndexRows& mapping, std::size_t n_objects);
// The balancing strategy's number of classes: the first row's length, which every row must have
// (ValueError); no row at all is the internal index failure.
std::size_t class_count(const EmbeddingRows& class_distributions);

// Typicality's embeddings: fewer than two, then ragged rows (the core's internal failures), in
// the order the construction meets them.
void check_typicality_rows(const RowsShape& rows);
// calculate_similarity's queries: none (ValueError), ragged, then a key of another length than
// the queries' (the core's internal failures), in the order the computation meets them.
void check_query_rows(const RowsShape& queries, std::optional<std::size_t> key_length);

}  // namespace orvane::py
