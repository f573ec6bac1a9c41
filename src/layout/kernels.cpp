#include "src/layout/kernels.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvane::pacmap {

namespace {
#include "src/layout/distance_kernels.inc"
#include "src/layout/gradient_kernel.inc"
}  // namespace

const LayoutKernels layout_kernels_baseline = {gradient_of_block, l2sq_bf16, pair_distance};

const LayoutKernels& layout_kernels(simd::Level level) {
    switch (level) {
#if defined(ORVANE_X86_LEVELS)
    case simd::Level::avx2: return layout_kernels_avx2;
    case simd::Level::avx512: return layout_kernels_avx512;
#endif
#if defined(ORVANE_NEON_LEVEL)
    case simd::Level::neon: return layout_kernels_neon;
#endif
    default: return layout_kernels_baseline;
    }
}

const LayoutKernels& layout_kernels() {
    static const LayoutKernels& chosen = layout_kernels(simd::active());
    return chosen;
}

}  // namespace orvane::pacmap
