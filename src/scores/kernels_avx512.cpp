// The AVX-512 copy of the score kernels; built for AVX-512 F, VL, BW and DQ on x86-64 only.
#define ORVANE_KERNEL_TABLE score_kernels_avx512
#include "src/scores/kernels_copy.inc"
