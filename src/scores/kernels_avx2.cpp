// The AVX2 copy of the score kernels; built with -mavx2 on x86-64 only.
#define ORVANE_KERNEL_TABLE score_kernels_avx2
#include "src/scores/kernels_copy.inc"
