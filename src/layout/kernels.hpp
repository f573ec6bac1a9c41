#pragma once
// The vector kernels of the layout, one copy per instruction-set level (src/common/simd.hpp).
#include <cstddef>
#include <cstdint>

#include "src/common/simd.hpp"

namespace orvane::pacmap {

// One kind of pairs as the gradient kernel reads them (see PairLists in optimiser.hpp).
struct KindView {
    const std::uint32_t* partners;
    const std::uint64_t* forward;
    const std::uint64_t* backward;
    float w, c1, c2;
    bool repel;
};

struct BlockView {
    const float* y;
    KindView kinds[3];
    std::size_t n_kinds;
};

struct LayoutKernels {
    // Writes the gradient of points [first, last) to g (two floats per point) and returns their
    // share of the loss when asked for it.
    float (*gradient_of_block)(const BlockView& b, std::size_t first, std::size_t last, float* g,
                               bool with_loss);
    // Squared L2 from bf16 row q to each of the rows `slots` of `rows`; `stride` is every row's
    // length, a multiple of 16.
    void (*l2sq_bf16_rows)(const std::uint16_t* q, const std::uint16_t* rows, std::size_t stride,
                           const std::uint32_t* slots, std::size_t m, float* out);
    // Euclidean distance with eight interleaved partial sums.
    float (*pair_distance)(const float* a, const float* b, std::size_t d);
};

// The copy for `level`, which must be one of simd::available().
const LayoutKernels& layout_kernels(simd::Level level);
// The copy of the level in use.
const LayoutKernels& layout_kernels();

// Defined by the copies; a build has some of them.
extern const LayoutKernels layout_kernels_baseline, layout_kernels_avx2, layout_kernels_avx512,
    layout_kernels_neon;

}  // namespace orvane::pacmap
