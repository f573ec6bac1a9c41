#include "src/common/blas.hpp"

#include <atomic>

#if ORVANE_BLAS_ACCELERATE
// Accelerate's CBLAS, declared here so that no SDK header is needed to build; the enumerations
// are passed as the ints they are in its C interface.
extern "C" {
float cblas_sdot(int n, const float* x, int incx, const float* y, int incy);
void cblas_sgemv(int order, int trans, int m, int n, float alpha, const float* a, int lda,
                 const float* x, int incx, float beta, float* y, int incy);
void cblas_sgemm(int order, int trans_a, int trans_b, int m, int n, int k, float alpha,
                 const float* a, int lda, const float* b, int ldb, float beta, float* c, int ldc);
}
namespace {
using blasint = int;
constexpr int CblasRowMajor = 101;
constexpr int CblasNoTrans = 111;
constexpr int CblasTrans = 112;
}  // namespace
#define ORVANE_CBLAS(name) cblas_##name
#else
#include <cblas.h>
#define ORVANE_CBLAS(name) scipy_cblas_##name
#endif

namespace orvane::blas {

void use_single_thread() {
#if ORVANE_BLAS_ACCELERATE
    // Accelerate has no process-wide thread setting on every macOS we support; it is left alone.
#else
    static std::atomic<bool> done{false};
    if (!done.exchange(true)) scipy_openblas_set_num_threads(1);
#endif
}

Description describe() {
#if ORVANE_BLAS_ACCELERATE
    return {"Accelerate", ""};
#else
    const char* config = scipy_openblas_get_config();
    const char* core = scipy_openblas_get_corename();
    return {config ? config : "OpenBLAS", core ? core : ""};
#endif
}

float dot(std::size_t n, const float* x, const float* y) {
    if (n >= 32) return ORVANE_CBLAS(sdot)(static_cast<blasint>(n), x, 1, y, 1);
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
    ORVANE_CBLAS(sgemv)
    (CblasRowMajor, CblasNoTrans, static_cast<blasint>(rows), static_cast<blasint>(cols), 1.0f, a,
     static_cast<blasint>(cols), x, 1, 0.0f, y, 1);
}

void gemm_abt(std::size_t m, std::size_t n, std::size_t k, const float* a, const float* b,
              float* c) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        for (std::size_t i = 0; i < m * n; ++i) c[i] = 0.0f;
        return;
    }
    ORVANE_CBLAS(sgemm)
    (CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(m), static_cast<blasint>(n),
     static_cast<blasint>(k), 1.0f, a, static_cast<blasint>(k), b, static_cast<blasint>(k), 0.0f, c,
     static_cast<blasint>(n));
}

}  // namespace orvane::blas
