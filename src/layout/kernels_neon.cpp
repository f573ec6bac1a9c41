// The NEON copy of the layout kernels, built on AArch64 only: the partner fetch uses NEON loads.
#define ORVANE_KERNEL_NEON 1
#define ORVANE_KERNEL_TABLE layout_kernels_neon
#include "src/layout/kernels_copy.inc"
