// The baseline copy of the selection kernels, and the choice of copy.
#define ORVANE_KERNEL_TABLE selection_kernels_baseline
#include "src/selection/kernels_copy.inc"

namespace orvane {

namespace {
const simd::Copies<SelectionKernels> kCopies = {&selection_kernels_baseline, nullptr,
                                                ORVANE_X86_COPIES(selection_kernels)};
}  // namespace

const SelectionKernels& selection_kernels(simd::Level level) {
    return simd::copy_for(level, kCopies);
}

const SelectionKernels& selection_kernels() { return simd::active_copy(kCopies); }

}  // namespace orvane
