#pragma once
// The two shapes in which embeddings travel: rows as received (possibly ragged) and the
// contiguous row-major matrix the computations work on.
#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace orvane {

// Rows as converted, stored back to back so that a rectangular input is already one buffer.
class EmbeddingRows {
public:
    EmbeddingRows() : offsets_{0} {}

    std::size_t size() const { return offsets_.size() - 1; }
    bool empty() const { return size() == 0; }
    std::size_t row_length(std::size_t i) const { return offsets_[i + 1] - offsets_[i]; }
    std::span<const float> row(std::size_t i) const {
        return {values_.data() + offsets_[i], row_length(i)};
    }
    std::size_t total_values() const { return values_.size(); }
    const std::vector<float>& values() const { return values_; }

    // Builders used by the conversion code.
    void reserve_rows(std::size_t n) { offsets_.reserve(n + 1); }
    void reserve_values(std::size_t n) { values_.reserve(n); }
    void push_value(float v) { values_.push_back(v); }
    void end_row() { offsets_.push_back(values_.size()); }
    void append_row(std::span<const float> r) {
        values_.insert(values_.end(), r.begin(), r.end());
        end_row();
    }
    // Fast path: a whole rectangular block at once.
    static EmbeddingRows from_matrix(std::vector<float> values, std::size_t n, std::size_t d) {
        EmbeddingRows rows;
        rows.values_ = std::move(values);
        rows.offsets_.resize(n + 1);
        for (std::size_t i = 0; i <= n; ++i) rows.offsets_[i] = i * d;
        return rows;
    }
    // Gives up the value buffer (rows concatenated in order).
    std::vector<float> take_values() && { return std::move(values_); }
    // Gives up the buffer as a size() x cols row-major matrix of each row's first cols values,
    // moved down in place; every row must hold at least cols values.
    std::vector<float> take_leading(std::size_t cols) && {
        for (std::size_t i = 0; i < size(); ++i) {
            if (offsets_[i] != i * cols)
                std::copy(values_.begin() + static_cast<std::ptrdiff_t>(offsets_[i]),
                          values_.begin() + static_cast<std::ptrdiff_t>(offsets_[i] + cols),
                          values_.begin() + static_cast<std::ptrdiff_t>(i * cols));
        }
        values_.resize(size() * cols);
        return std::move(values_);
    }

private:
    std::vector<float> values_;
    std::vector<std::size_t> offsets_;
};

struct EmbeddingMatrix {
    std::vector<float> data;  // rows x cols, row-major
    std::size_t rows = 0;
    std::size_t cols = 0;

    const float* row(std::size_t i) const { return data.data() + i * cols; }
    float* row(std::size_t i) { return data.data() + i * cols; }
};

using IndexRows = std::vector<std::vector<std::size_t>>;

}  // namespace orvane
