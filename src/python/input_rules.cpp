#include "src/python/input_rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "src/common/failure.hpp"
#include "src/common/input_texts.hpp"
#include "src/scores/distance_calculator.hpp"
#include "src/scores/typicality.hpp"

namespace orvane::py {

namespace {

std::string value_text(float v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
    return buf;
}

std::string ragged_note(const char* param, std::size_t row, std::size_t length, std::size_t d) {
    return "row " + std::to_string(row) + " of " + param + " has " + std::to_string(length) +
           " values but row 0 has " + std::to_string(d) + ": every row must have the same length";
}

}  // namespace

std::string ragged_rows_note(const char* param, std::size_t row, std::size_t length,
                             std::size_t d) {
    return ragged_note(param, row, length, d);
}

std::optional<NonFinite> locate_non_finite(const EmbeddingRows& rows,
                                           std::optional<std::size_t> first) {
    if (!first) return std::nullopt;
    std::size_t row = 0, begin = 0;
    // Only on the refusing path: a walk over the row lengths is cheap enough.
    while (row < rows.size() && begin + rows.row_length(row) <= *first)
        begin += rows.row_length(row++);
    return NonFinite{row, *first - begin, rows.values()[*first]};
}

std::optional<NonFinite> first_non_finite(std::span<const float> values, std::size_t cols) {
    constexpr std::size_t kBlock = 4096;
    for (std::size_t begin = 0; begin < values.size(); begin += kBlock) {
        const std::size_t end = std::min(values.size(), begin + kBlock);
        // Branch-free over the block (vectorises); the exact place only when one is found.
        int bad = 0;
        for (std::size_t i = begin; i < end; ++i) bad |= !(std::fabs(values[i]) <= 3.4028235e38f);
        if (!bad) continue;
        for (std::size_t i = begin; i < end; ++i) {
            if (!std::isfinite(values[i])) {
                const std::size_t c = cols == 0 ? 1 : cols;
                return NonFinite{i / c, i % c, values[i]};
            }
        }
    }
    return std::nullopt;
}

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

void check_equal_dimensions(const RowsShape& objects) {
    if (objects.odd_row) throw InvalidArgument("Embeddings must have equal dimensions");
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

void check_has_columns(const char* param, const RowsShape& rows) {
    if (rows.n > 0 && rows.values == 0)
        throw InvalidArgument(std::string(param) +
                              " has rows of length 0: every embedding needs at least one value");
}

void check_finite(const char* param, const std::optional<NonFinite>& first) {
    if (!first) return;
    std::string text = std::string(param) + " must be finite: row " + std::to_string(first->row) +
                       ", column " + std::to_string(first->column) + " is " +
                       value_text(first->value);
    if (std::isinf(first->value))
        text += " (a value beyond the float32 range, ±3.4028235e38, becomes an infinity)";
    throw InvalidArgument(text + "; remove the row or replace the value");
}

// The distance calculator's own checks, made before one is built.
void check_calculator_rows(const char* param, const RowsShape& rows) {
    if (!rows.odd_row) {
        check_matrix_shape(rows.values, rows.n, rows.d);
        return;
    }
    const auto [row, length] = *rows.odd_row;
    try {
        check_matrix_shape(rows.values, rows.n, rows.d);
        check_row_length(row, length, rows.d);
    } catch (const InternalFailure& e) {
        throw NotedFailure(e.what(), ragged_note(param, row, length, rows.d));
    }
}

void check_typicality_rows(const RowsShape& rows, const std::optional<NonFinite>& first) {
    explained(kTooFewEmbeddings,
              "Typicality compares each embedding with its neighbours: give at least two rows",
              [&] { require_two_embeddings(rows.n); });
    check_calculator_rows("embeddings", rows);
    check_has_columns("embeddings", rows);
    check_finite("embeddings", first);
}

void check_key_rows(const char* param, const RowsShape& keys,
                    const std::optional<NonFinite>& first) {
    check_key_count(keys.n);
    check_has_columns(param, keys);
    check_finite(param, first);
}

void check_query_rows(const RowsShape& queries, std::optional<std::size_t> key_length,
                      const std::optional<NonFinite>& first, const char* param,
                      const char* key_param) {
    check_query_count(queries.n);
    check_calculator_rows(param, queries);
    if (key_length && *key_length != queries.d) {
        explained("",
                  std::string("a row of ") + key_param + " has " + std::to_string(*key_length) +
                      " values but the rows of " + param + " have " + std::to_string(queries.d) +
                      ": every key and query must have the same length",
                  [&] { fail_vector_shape(queries.n, queries.d, *key_length); });
    }
    check_has_columns(param, queries);
    check_finite(param, first);
}

std::size_t checked_neighbor_count(std::uint64_t num_nearest_neighbors, std::size_t n) {
    return explained("assertion `left != right` failed: num_nearest_neighbors",
                     "num_nearest_neighbors must be at least 1",
                     [&] { return neighbor_count(num_nearest_neighbors, n); });
}

void check_strength(float strength) {
    if (std::isnan(strength)) throw InvalidArgument("strength must be a number, not NaN");
}

void check_weights(std::span<const float> weights) {
    for (std::size_t i = 0; i < weights.size(); ++i) {
        // NaN stays allowed: the loop counts its potential as the floor.
        if (weights[i] < 0.0f)
            throw InvalidArgument("weights must be >= 0: entry " + std::to_string(i) + " is " +
                                  value_text(weights[i]) +
                                  "; a weight says how much a sample is wanted, 0 for not at all");
    }
}

void check_target(std::span<const float> target) {
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (!(target[i] >= 0.0f && std::isfinite(target[i])))
            throw InvalidArgument("target must hold finite values >= 0: entry " +
                                  std::to_string(i) + " is " + value_text(target[i]) +
                                  "; give the wanted share of each class");
    }
}

void check_class_probabilities(const EmbeddingRows& class_distributions) {
    const auto& v = class_distributions.values();
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] >= 0.0f && v[i] <= 3.4028235e38f) continue;
        const std::size_t m = class_distributions.row_length(0);
        throw InvalidArgument("class_distributions must hold finite probabilities >= 0: row " +
                              std::to_string(i / m) + ", column " + std::to_string(i % m) + " is " +
                              value_text(v[i]));
    }
}

}  // namespace orvane::py
