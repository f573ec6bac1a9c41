// The baseline copy of the layout kernels, and the choice of copy.
#define ORVANE_KERNEL_TABLE layout_kernels_baseline
#include "src/layout/kernels_copy.inc"

namespace orvane::pacmap {

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
