// The AVX2 copy of the layout kernels; built with that level's flags on x86-64 only.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "src/layout/kernels.hpp"

#define ORVANE_KERNEL_AVX2 1

namespace orvane::pacmap {

namespace {
#include "src/layout/distance_kernels.inc"
#include "src/layout/gradient_kernel.inc"
}  // namespace

const LayoutKernels layout_kernels_avx2 = {gradient_of_block, l2sq_bf16, pair_distance};

}  // namespace orvane::pacmap
