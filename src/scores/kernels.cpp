// The baseline copy of the score kernels, and the choice of copy.
#define ORVANE_KERNEL_TABLE score_kernels_baseline
#include "src/scores/kernels_copy.inc"

namespace orvane {

namespace {
const simd::Copies<ScoreKernels> kCopies = {&score_kernels_baseline, nullptr,
                                            ORVANE_X86_COPIES(score_kernels)};
}  // namespace

const ScoreKernels& score_kernels(simd::Level level) { return simd::copy_for(level, kCopies); }

const ScoreKernels& score_kernels() { return simd::active_copy(kCopies); }

}  // namespace orvane
