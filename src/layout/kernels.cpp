// The baseline copy of the layout kernels, and the choice of copy.
#define ORVANE_KERNEL_TABLE layout_kernels_baseline
#include "src/layout/kernels_copy.inc"

namespace orvane::pacmap {

namespace {
const simd::Copies<LayoutKernels>& copies() {
#if defined(ORVANE_X86_LEVELS)
    static const simd::Copies<LayoutKernels> c = {
        &layout_kernels_baseline, nullptr, &layout_kernels_avx2,
        simd::avx512_vnni() ? &layout_kernels_avx512_vnni : &layout_kernels_avx512};
#else
    static const simd::Copies<LayoutKernels> c = {
        &layout_kernels_baseline, ORVANE_NEON_COPY(layout_kernels), nullptr, nullptr};
#endif
    return c;
}
}  // namespace

const LayoutKernels& layout_kernels(simd::Level level) { return simd::copy_for(level, copies()); }

const LayoutKernels& layout_kernels() { return simd::active_copy(copies()); }

}  // namespace orvane::pacmap
