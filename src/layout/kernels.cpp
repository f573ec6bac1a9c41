// The baseline copy of the layout kernels, and the choice of copy.
#define ORVANE_KERNEL_TABLE layout_kernels_baseline
#include "src/layout/kernels_copy.inc"

namespace orvane::pacmap {

namespace {
const simd::Copies<LayoutKernels> kCopies = {
    &layout_kernels_baseline, ORVANE_NEON_COPY(layout_kernels), ORVANE_X86_COPIES(layout_kernels)};
}  // namespace

const LayoutKernels& layout_kernels(simd::Level level) { return simd::copy_for(level, kCopies); }

const LayoutKernels& layout_kernels() { return simd::active_copy(kCopies); }

}  // namespace orvane::pacmap
