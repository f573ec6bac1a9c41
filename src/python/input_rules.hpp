#pragma once
// The public input rules of the class fronts, one function each: the function owns the rule's
// text and its exception class. The Ray layer's private checks call the same functions on a
// summary of rows it never gathers in one process, so both fail alike.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "src/common/embedding.hpp"
#include "src/common/failure.hpp"

namespace orvane::py {

// What the rules need of a list of rows: its count, its number of values, the first row's length
// and the first row of another length (index, length).
struct RowsShape {
    std::size_t n = 0;
    std::size_t values = 0;
    std::size_t d = 0;
    std::optional<std::pair<std::size_t, std::size_t>> odd_row;
};

// An internal failure whose fixed text stays as it is, with a plain-words note saying what was
// wrong and how to fix it (added to the PanicException).
class NotedFailure : public InternalFailure {
public:
    NotedFailure(const std::string& message, std::string note)
        : InternalFailure(message), note_(std::move(note)) {}
    const std::string& note() const { return note_; }

private:
    std::string note_;
};

// Runs f; an internal failure whose text starts with `prefix` leaves with `note` added.
template <class F>
decltype(auto) explained(std::string_view prefix, const std::string& note, F&& f) {
    try {
        return f();
    } catch (const NotedFailure&) {
        throw;
    } catch (const InternalFailure& e) {
        if (!note.empty() && std::string_view(e.what()).starts_with(prefix))
            throw NotedFailure(e.what(), note);
        throw;
    }
}

// The first value of a list of rows that is not finite (NaN, an infinity, or a double beyond
// the float32 range, which became an infinity).
struct NonFinite {
    std::size_t row = 0;
    std::size_t column = 0;
    float value = 0.0f;
};
// Where the flat index `first` (the conversion's record) lies in `rows`.
std::optional<NonFinite> locate_non_finite(const EmbeddingRows& rows,
                                           std::optional<std::size_t> first);
// The first non-finite value of a row-major block of `cols` columns.
std::optional<NonFinite> first_non_finite(std::span<const float> values, std::size_t cols);

RowsShape shape_of(const EmbeddingRows& rows);
// The note of a ragged row: which row, its length, the first row's, and what to do.
std::string ragged_rows_note(const char* param, std::size_t row, std::size_t length, std::size_t d);
// Length of the first row whose length is not d.
std::optional<std::size_t> first_length_other_than(const EmbeddingRows& rows, std::size_t d);

// ValueError rules, each with its fixed text.
void check_key_count(std::size_t n);
void check_query_count(std::size_t n);
void check_two_objects(std::size_t n);
void check_neighbor_count(std::uint64_t num_nearest_neighbors);
void check_equal_dimensions(const RowsShape& objects);
void check_object_indices(const IndexRows& mapping, std::size_t n_objects);
// The balancing strategy's number of classes: the first row's length, which every row must have
// (ValueError); no row at all is the internal index failure.
std::size_t class_count(const EmbeddingRows& class_distributions);

// Rows that hold no value at all (every row of length 0) give scores without meaning.
void check_has_columns(const char* param, const RowsShape& rows);
// NaN or an infinity among rows that are scored (ValueError naming row and column).
void check_finite(const char* param, const std::optional<NonFinite>& first);
// Rows the distance calculator takes: ragged rows are its internal failure, with a note.
void check_calculator_rows(const char* param, const RowsShape& rows);

// Typicality's embeddings: fewer than two, then ragged rows (the core's internal failures), in
// the order the construction meets them; then no columns and non-finite values (ValueError).
void check_typicality_rows(const RowsShape& rows, const std::optional<NonFinite>& first = {});
// Similarity's keys: none, no columns, non-finite values (ValueError).
void check_key_rows(const char* param, const RowsShape& keys,
                    const std::optional<NonFinite>& first = {});
// calculate_similarity's queries: none (ValueError), ragged, then a key of another length than
// the queries' (the core's internal failures), in the order the computation meets them; then no
// columns and non-finite values (ValueError).
void check_query_rows(const RowsShape& queries, std::optional<std::size_t> key_length,
                      const std::optional<NonFinite>& first = {},
                      const char* param = "query_embeddings",
                      const char* key_param = "key_embeddings");
// num_nearest_neighbors of Typicality: 0 is the core's internal failure, with a note.
std::size_t checked_neighbor_count(std::uint64_t num_nearest_neighbors, std::size_t n);

// Selection's numbers (ValueError).
void check_strength(float strength);
void check_weights(std::span<const float> weights);
void check_target(std::span<const float> target);
void check_class_probabilities(const EmbeddingRows& class_distributions);

}  // namespace orvane::py
