#include "src/scores/distance_calculator.hpp"

#include <algorithm>
#include <string>

#include "src/common/blas.hpp"
#include "src/common/failure.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane {

void check_matrix_shape(std::size_t values, std::size_t n, std::size_t d) {
    if (values != n * d) {
        raise_internal_failure(
            "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: "
            "incompatible shapes (" +
            std::to_string(values) + " values for " + std::to_string(n) + " x " +
            std::to_string(d) + ")");
    }
}

void check_row_length(std::size_t row, std::size_t length, std::size_t d) {
    if (length != d) {
        raise_internal_failure(
            "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: "
            "incompatible shapes (row " +
            std::to_string(row) + " has " + std::to_string(length) + " values, row 0 has " +
            std::to_string(d) + ")");
    }
}

[[noreturn]] void fail_vector_shape(std::size_t rows, std::size_t cols, std::size_t length) {
    raise_internal_failure("ndarray: inputs " + std::to_string(rows) + " × " +
                           std::to_string(cols) + " and " + std::to_string(length) +
                           " × 1 are not compatible for matrix multiplication");
}

DistanceCalculator::DistanceCalculator(EmbeddingRows rows) {
    const std::size_t n = rows.size();
    const std::size_t d = n == 0 ? 0 : rows.row_length(0);
    check_matrix_shape(rows.total_values(), n, d);
    // Unequal rows that happen to add up would otherwise be cut anew into rows nobody passed.
    for (std::size_t i = 1; i < n; ++i) check_row_length(i, rows.row_length(i), d);
    matrix_.rows = n;
    matrix_.cols = d;
    matrix_.data = std::move(rows).take_values();
    compute_half_norms();
}

DistanceCalculator::DistanceCalculator(EmbeddingMatrix matrix) : matrix_(std::move(matrix)) {
    compute_half_norms();
}

void DistanceCalculator::compute_half_norms() {
    const std::size_t n = matrix_.rows, d = matrix_.cols;
    half_norms_.assign(n, 0.0f);
    pool::parallel_for(n, 1024, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float* x = matrix_.row(i);
            half_norms_[i] = blas::dot(d, x, x) * 0.5f;
        }
    });
}

void DistanceCalculator::reorder_rows(std::span<const std::uint32_t> order) {
    const std::size_t n = matrix_.rows, d = matrix_.cols;
    std::vector<bool> placed(n, false);
    std::vector<float> first(d);
    // Each cycle of the permutation is walked once, its first row parked aside. A stop leaves the
    // rows half moved: callers reorder only a calculator they are still building.
    std::size_t moved = 0;
    for (std::size_t start = 0; start < n; ++start) {
        if (placed[start] || order[start] == start) continue;
        std::copy(matrix_.row(start), matrix_.row(start) + d, first.begin());
        const float first_half = half_norms_[start];
        std::size_t i = start;
        while (true) {
            placed[i] = true;
            const std::size_t from = order[i];
            if (from == start) {
                std::copy(first.begin(), first.end(), matrix_.row(i));
                half_norms_[i] = first_half;
                break;
            }
            if (++moved % 16384 == 0) stop::poll();
            std::copy(matrix_.row(from), matrix_.row(from) + d, matrix_.row(i));
            half_norms_[i] = half_norms_[from];
            i = from;
        }
    }
}

void DistanceCalculator::check_index(std::size_t i) const {
    if (i >= matrix_.rows) raise_internal_failure("assertion failed: index < dim");
}

[[noreturn]] void DistanceCalculator::fail_shape(std::size_t length) const {
    fail_vector_shape(matrix_.rows, matrix_.cols, length);
}

float DistanceCalculator::half_squared_distance(std::size_t j, std::span<const float> v,
                                                float h_v) const {
    check_index(j);
    const float p = blas::dot(matrix_.cols, matrix_.row(j), v.data());
    return clamp_distance((half_norms_[j] - p) + h_v);
}

std::vector<float> DistanceCalculator::distances_from_row(std::size_t i) const {
    check_index(i);
    const std::size_t n = matrix_.rows, d = matrix_.cols;
    const float* x = matrix_.row(i);
    const float h = half_norms_[i];
    std::vector<float> out(n);
    pool::parallel_for(n, 2048, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            const float p = blas::dot(d, matrix_.row(j), x);
            out[j] = clamp_distance((half_norms_[j] - p) + h);
        }
    });
    return out;
}

std::vector<float> DistanceCalculator::dense_from(std::span<const float> v, float h_v) const {
    const std::size_t n = matrix_.rows;
    std::vector<float> out(n);
    blas::gemv(n, matrix_.cols, matrix_.data.data(), v.data(), out.data());
    for (std::size_t j = 0; j < n; ++j) out[j] = clamp_distance((half_norms_[j] - out[j]) + h_v);
    return out;
}

std::vector<float> DistanceCalculator::distances_from_row_dense(std::size_t i) const {
    check_index(i);
    return dense_from({matrix_.row(i), matrix_.cols}, half_norms_[i]);
}

std::vector<float> DistanceCalculator::distances_from_vector(std::span<const float> v) const {
    if (v.size() != matrix_.cols) fail_shape(v.size());
    const float h_v = blas::dot(v.size(), v.data(), v.data()) * 0.5f;
    return dense_from(v, h_v);
}

void block_products(const DistanceCalculator& calc, const float* queries, std::size_t n_queries,
                    float* out) {
    blas::gemm_abt(n_queries, calc.size(), calc.dim(), queries, calc.matrix().data.data(), out);
}

}  // namespace orvane
