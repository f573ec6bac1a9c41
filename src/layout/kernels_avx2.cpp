// The AVX2 copy of the layout kernels; built with -mavx2 on x86-64 only.
#define ORVANE_KERNEL_AVX2 1
#define ORVANE_KERNEL_TABLE layout_kernels_avx2
#include "src/layout/kernels_copy.inc"
