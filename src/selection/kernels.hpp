#pragma once
// The vector kernels of the selection, one copy per instruction-set level (src/common/simd.hpp).
#include <cstddef>
#include <cstdint>

#include "src/common/simd.hpp"

namespace orvane {

struct SelectionKernels {
    // out[r] = sum over k of (t_k - v_k)^2 in f32, t the high halves of rows[r]
    // (src/selection/split_rows.hpp); `even` and `odd` hold the even- and odd-indexed values of v.
    // Used in bounds only.
    void (*high_half_distances)(const std::uint16_t* const* rows, std::size_t count,
                                const float* even, const float* odd, std::size_t d, float* out);
    // Bit r (count <= 64) set unless sums[r] * c[0] >= (c[1] m[r] + c[2] h[r]) + c[3] in double,
    // and set where m[r] >= unreached: the rows a bound on the high halves leaves to compute.
    std::uint64_t (*unproved_rows)(const float* sums, const float* h, const float* m,
                                   std::size_t count, const double* c, float unreached);
    // out[k] = the f32 whose high and low 16 bits are high[k] and low[k].
    void (*join_halves)(const std::uint16_t* high, const std::uint16_t* low, std::size_t d,
                        float* out);
    // score[i] += strength * ln(maxNum(p[i], 1e-8)) and magnitude[i] += |that term|, with the
    // logarithm within 2^-22.5 of its value relative (ln inf is inf). Screens a selection step.
    void (*log_terms)(const float* p, std::size_t n, float strength, float* score,
                      float* magnitude);
};

// The copy for `level`, which must be one of simd::available().
const SelectionKernels& selection_kernels(simd::Level level);
// The copy of the level in use.
const SelectionKernels& selection_kernels();

// Defined by the copies; a build has some of them.
extern const SelectionKernels selection_kernels_baseline, selection_kernels_avx2,
    selection_kernels_avx512;

}  // namespace orvane
