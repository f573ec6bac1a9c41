// The AVX-512 copy of the layout kernels; built for AVX-512 F, VL, BW and DQ on x86-64 only: the
// same eight lanes with 32 vector registers, so the gradient's constants stay in registers. Its
// variant for processors with VNNI adds the screen on 8-bit codes.
#define ORVANE_KERNEL_AVX2 1
#define ORVANE_KERNEL_TABLE layout_kernels_avx512
#include "src/layout/kernels_copy.inc"

#include <utility>

namespace orvane::pacmap {

namespace {
#include "src/layout/code_screen_kernel.inc"
}  // namespace

const LayoutKernels layout_kernels_avx512_vnni = {gradient_of_block, l2sq_bf16_rows, pair_distance,
                                                  screen_products,   walk,           screen_codes};

}  // namespace orvane::pacmap
