// The AVX-512 copy of the layout kernels; built for AVX-512 F, VL, BW and DQ on x86-64 only: the
// same eight lanes with 32 vector registers, so the gradient's constants stay in registers.
#define ORVANE_KERNEL_AVX2 1
#define ORVANE_KERNEL_TABLE layout_kernels_avx512
#include "src/layout/kernels_copy.inc"
