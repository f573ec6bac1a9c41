#include "src/python/input_rules.hpp"

#include "src/common/failure.hpp"
#include "src/common/input_texts.hpp"
#include "src/scores/distance_calculator.hpp"
#include "src/scores/typicality.hpp"

namespace orvane::py {

RowsShape shape_of(const EmbeddingRows& rows) {
    RowsShape s{rows.size(), rows.total_values(), rows.empty() ? 0 : rows.row_length(0), {}};
    for (std::size_t i = 1; i < s.n; ++i) {
        if (rows.row_length(i) != s.d) {
            s.odd_row.emplace(i, rows.row_length(i));
            break;
        }
    }
    return s;
}

std::optional<std::size_t> first_length_other_than(const EmbeddingRows& rows, std::size_t d) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows.row_length(i) != d) return rows.row_length(i);
    }
    return std::nullopt;
}

void check_key_count(std::size_t n) {
    if (n == 0) throw InvalidArgument(kEmptyKeyEmbeddings);
}

void check_query_count(std::size_t n) {
    if (n == 0) throw InvalidArgument(kEmptyQueryEmbeddings);
}

void check_two_objects(std::size_t n) {
    if (n < 2) throw InvalidArgument("At least two embeddings are required");
}

void check_neighbor_count(std::uint64_t num_nearest_neighbors) {
    if (num_nearest_neighbors == 0) throw InvalidArgument("num_nearest_neighbors must be positive");
}

void check_equal_dimensions(const EmbeddingRows& objects) {
    for (std::size_t i = 1; i < objects.size(); ++i) {
        if (objects.row_length(i) != objects.row_length(0))
            throw InvalidArgument("Embeddings must have equal dimensions");
    }
}

void check_object_indices(const IndexRows& mapping, std::size_t n_objects) {
    for (const auto& objects : mapping) {
        for (std::size_t o : objects) {
            if (o >= n_objects) throw InvalidArgument("Object index is out of bounds");
        }
    }
}

std::size_t class_count(const EmbeddingRows& class_distributions) {
    if (class_distributions.empty()) fail_index(0, 0);
    const std::size_t m = class_distributions.row_length(0);
    for (std::size_t i = 1; i < class_distributions.size(); ++i) {
        if (class_distributions.row_length(i) != m)
            throw InvalidArgument(
                "`class_distributions` is not a 2D matrix, uneven length of rows");
    }
    return m;
}

namespace {

// The distance calculator's own checks, made before one is built.
void check_calculator_rows(const RowsShape& rows) {
    check_matrix_shape(rows.values, rows.n, rows.d);
    if (rows.odd_row) check_row_length(rows.odd_row->first, rows.odd_row->second, rows.d);
}

}  // namespace

void check_typicality_rows(const RowsShape& rows) {
    require_two_embeddings(rows.n);
    check_calculator_rows(rows);
}

void check_query_rows(const RowsShape& queries, std::optional<std::size_t> key_length) {
    check_query_count(queries.n);
    check_calculator_rows(queries);
    if (key_length && *key_length != queries.d)
        fail_vector_shape(queries.n, queries.d, *key_length);
}

}  // namespace orvane::py
