#include "src/common/blas.hpp"

#include <cblas.h>

#include <atomic>

namespace orvane::blas {

void use_single_thread() {
    static std::atomic<bool> done{false};
    if (!done.exchange(true)) scipy_openblas_set_num_threads(1);
}

Description describe() {
    const char* config = scipy_openblas_get_config();
    const char* core = scipy_openblas_get_corename();
    return {config ? config : "OpenBLAS", core ? core : ""};
}

float dot(std::size_t n, const float* x, const float* y) {
    if (n >= 32) return scipy_cblas_sdot(static_cast<blasint>(n), x, 1, y, 1);
    float s = 0.0f;
    for (std::size_t i = 0; i < n; ++i) s += x[i] * y[i];
    return s;
}

void gemv(std::size_t rows, std::size_t cols, const float* a, const float* x, float* y) {
    if (rows == 0) return;
    if (cols == 0) {
        for (std::size_t i = 0; i < rows; ++i) y[i] = 0.0f;
        return;
    }
    scipy_cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<blasint>(rows),
                      static_cast<blasint>(cols), 1.0f, a, static_cast<blasint>(cols), x, 1, 0.0f,
                      y, 1);
}

void gemm_abt(std::size_t m, std::size_t n, std::size_t k, const float* a, const float* b,
              float* c) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        for (std::size_t i = 0; i < m * n; ++i) c[i] = 0.0f;
        return;
    }
    scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(m),
                      static_cast<blasint>(n), static_cast<blasint>(k), 1.0f, a,
                      static_cast<blasint>(k), b, static_cast<blasint>(k), 0.0f, c,
                      static_cast<blasint>(n));
}

}  // namespace orvane::blas
