#pragma once
// CBLAS: OpenBLAS from the scipy-openblas32 build (symbols with a `scipy_` prefix), or Apple's
// Accelerate framework (plain names).
#include <cstddef>
#include <string>

namespace orvane::blas {

// Our own pool does the parallel work; OpenBLAS itself stays on one thread so threads do not
// multiply. Idempotent.
void use_single_thread();

// For bug reports: which BLAS library this build calls, and the kernels it picked here.
struct Description {
    std::string library;
    std::string core;
};
Description describe();

float dot(std::size_t n, const float* x, const float* y);

// y = A x, A row-major rows x cols.
void gemv(std::size_t rows, std::size_t cols, const float* a, const float* x, float* y);

// C (m x n) = A (m x k, row-major) * B^T where B is n x k row-major.
void gemm_abt(std::size_t m, std::size_t n, std::size_t k, const float* a, const float* b,
              float* c);

}  // namespace orvane::blas
