#pragma once
// The vector kernels of the scores, one copy per instruction-set level (src/common/simd.hpp).
#include <cstddef>
#include <cstdint>

#include "src/common/simd.hpp"

namespace orvane {

struct ScoreKernels {
    // Row side of a product tile p (rows x cols, p[r][c] = x_r . x_c, with the rows x_r and
    // columns x_c of d values): row r's k-buffer takes its distance to column c, the expansion
    // (h_c[c] - p[r][c]) + h_r[r] clamped at zero, or from the coordinates where the expansion is
    // below its rounding bound (knn/recompute.hpp, factor `slack`). On a diagonal tile column r
    // is row r itself and is never its own neighbor. `scratch` holds 2 * cols floats.
    void (*feed_tile_rows)(const float* p, std::size_t rows, std::size_t cols, const float* h_r,
                           const float* h_c, bool diagonal, float* best, std::size_t k,
                           const float* x_r, const float* x_c, std::size_t d, float slack,
                           float* scratch);
    // Column side of an off-diagonal tile: column c's buffer takes (h_r[r] - p[r][c]) + h_c[c],
    // or the distance from the coordinates, as above.
    void (*feed_tile_columns)(const float* p, std::size_t rows, std::size_t cols, const float* h_r,
                              const float* h_c, float* best, std::size_t k, const float* x_r,
                              const float* x_c, std::size_t d, float slack, float* scratch);
};

// The copy for `level`, which must be one of simd::available().
const ScoreKernels& score_kernels(simd::Level level);
// The copy of the level in use.
const ScoreKernels& score_kernels();

// Defined by the copies; a build has some of them.
extern const ScoreKernels score_kernels_baseline, score_kernels_avx2, score_kernels_avx512;

}  // namespace orvane
