#pragma once
// Half squared Euclidean distances |a - b|^2 / 2 over a stored embedding matrix, each from one
// dot product and precomputed half norms, clamped at 0 (a NaN becomes 0).
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "src/common/embedding.hpp"

namespace orvane {

// The calculator's own shape failures, for owners that check rows before building one.
void check_matrix_shape(std::size_t values, std::size_t n, std::size_t d);
void check_row_length(std::size_t row, std::size_t length, std::size_t d);
[[noreturn]] void fail_vector_shape(std::size_t rows, std::size_t cols, std::size_t length);

// maxNum(t, 0): NaN gives 0 and no -0.0 is produced.
inline float clamp_distance(float t) { return t > 0.0f ? t : 0.0f; }

class DistanceCalculator {
public:
    // Takes the rows over; fails unless every row has D values (D = first row's length).
    explicit DistanceCalculator(EmbeddingRows rows);
    explicit DistanceCalculator(EmbeddingMatrix matrix);

    std::size_t size() const { return matrix_.rows; }
    std::size_t dim() const { return matrix_.cols; }
    const EmbeddingMatrix& matrix() const { return matrix_; }
    const std::vector<float>& half_norms() const { return half_norms_; }

    float half_squared_distance(std::size_t j, std::span<const float> v, float h_v) const;
    // Row i against every stored row, one dot product per element, in parallel.
    std::vector<float> distances_from_row(std::size_t i) const;
    // Same quantities from one matrix-vector product, on the calling thread.
    std::vector<float> distances_from_row_dense(std::size_t i) const;
    std::vector<float> distances_from_vector(std::span<const float> v) const;
    // Row i becomes the old row order[i] (a permutation), with its half norm; in place, so the
    // matrix is never held twice.
    void reorder_rows(std::span<const std::uint32_t> order);
    // Hands the stored floats over; size, dimension and half norms stay, and nothing that reads
    // rows may be called afterwards.
    std::vector<float> release_values() { return std::exchange(matrix_.data, {}); }

    // Shape failure for a vector of the wrong length, as reported by the dense variants.
    [[noreturn]] void fail_shape(std::size_t length) const;

private:
    void compute_half_norms();
    std::vector<float> dense_from(std::span<const float> v, float h_v) const;
    void check_index(std::size_t i) const;

    EmbeddingMatrix matrix_;
    std::vector<float> half_norms_;
};

// Dot products of a block of query rows (n_queries x D, row-major) with every stored row, as
// one GEMM: out[r * N + j] = q_r . x_j. Turn them into distances with block_distance().
void block_products(const DistanceCalculator& calc, const float* queries, std::size_t n_queries,
                    float* out);

// The clamped half squared distance from a product p = q . x_j, in the dense variants' order.
inline float block_distance(float h_j, float p, float h_q) {
    return clamp_distance((h_j - p) + h_q);
}

}  // namespace orvane
