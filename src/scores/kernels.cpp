// The baseline copy of the score kernels, and the choice of copy.
#define ORVANE_KERNEL_TABLE score_kernels_baseline
#include "src/scores/kernels_copy.inc"

namespace orvane {

const ScoreKernels& score_kernels(simd::Level level) {
    switch (level) {
#if defined(ORVANE_X86_LEVELS)
        case simd::Level::avx2: return score_kernels_avx2;
        case simd::Level::avx512: return score_kernels_avx512;
#endif
        default:
            return score_kernels_baseline;  // on AArch64 the baseline copy is NEON code already
    }
}

const ScoreKernels& score_kernels() {
    static const ScoreKernels& chosen = score_kernels(simd::active());
    return chosen;
}

}  // namespace orvane
