// The NEON copy of the layout kernels, built on AArch64 only: the partner fetch uses NEON loads.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <arm_neon.h>

#include "src/layout/kernels.hpp"

#define ORVANE_KERNEL_NEON 1

namespace orvane::pacmap {

namespace {
#include "src/layout/distance_kernels.inc"
#include "src/layout/gradient_kernel.inc"
}  // namespace

const LayoutKernels layout_kernels_neon = {gradient_of_block, l2sq_bf16, pair_distance};

}  // namespace orvane::pacmap
