// The AVX-512 copy of the selection kernels; built for AVX-512 F, VL, BW and DQ on x86-64 only.
#define ORVANE_KERNEL_TABLE selection_kernels_avx512
#include "src/selection/kernels_copy.inc"
