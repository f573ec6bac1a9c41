#pragma once
// Half squared Euclidean distances |a - b|^2 / 2 over a stored embedding matrix, each from one
// dot product and precomputed half norms, clamped at 0 (a NaN becomes 0).
#include <cstddef>
#include <span>
#include <vector>

#include "src/embedding.hpp"

namespace orvane {

// maxNum(t, 0): NaN gives 0 and no -0.0 is produced.
inline float clamp_distance(float t) { return t > 0.0f ? t : 0.0f; }

class DistanceCalculator {
public:
    // Takes the rows over; fails unless they add up to N x D values (D = first row's length).
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

    // Shape failure for a vector of the wrong length, as reported by the dense variants.
    [[noreturn]] void fail_shape(std::size_t length) const;

private:
    void compute_half_norms();
    std::vector<float> dense_from(std::span<const float> v, float h_v) const;
    void check_index(std::size_t i) const;

    EmbeddingMatrix matrix_;
    std::vector<float> half_norms_;
};

// Rows of a block of queries against all stored rows: out[r * N + j] = distance of query row
// (first + r) of `queries` to stored row j, computed as one GEMM per block.
// `query_half_norms` are 0.5 * |q|^2. Values are clamped like the single-row variants.
void block_distances(const DistanceCalculator& calc, const float* queries,
                     const float* query_half_norms, std::size_t n_queries, float* out);

}  // namespace orvane
