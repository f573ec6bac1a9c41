// The baseline copy of the selection kernels, and the choice of copy.
#define ORVANE_KERNEL_TABLE selection_kernels_baseline
#include "src/selection/kernels_copy.inc"

namespace orvane {

const SelectionKernels& selection_kernels(simd::Level level) {
    switch (level) {
#if defined(ORVANE_X86_LEVELS)
        case simd::Level::avx2: return selection_kernels_avx2;
        case simd::Level::avx512: return selection_kernels_avx512;
#endif
        default:
            return selection_kernels_baseline;  // on AArch64 the baseline copy is NEON code already
    }
}

const SelectionKernels& selection_kernels() {
    static const SelectionKernels& chosen = selection_kernels(simd::active());
    return chosen;
}

}  // namespace orvane
