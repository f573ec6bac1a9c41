// The AVX2 copy of the selection kernels; built with -mavx2 on x86-64 only.
#define ORVANE_KERNEL_TABLE selection_kernels_avx2
#include "src/selection/kernels_copy.inc"
