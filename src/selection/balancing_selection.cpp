#include "src/selection/balancing_selection.hpp"

#include <cmath>
#include <string>

#include "src/common/blas.hpp"
#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane {

namespace {
constexpr float kEpsilon = 1e-10f;
}

BalancingStrategy::BalancingStrategy(EmbeddingMatrix class_distributions,
                                     std::vector<float> target, float strength)
    : distributions_(std::move(class_distributions)),
      target_(std::move(target)),
      class_totals_(target_.size(), 0.0f),
      strength_(strength) {
    if (distributions_.cols != target_.size()) {
        fail("called `Result::unwrap()` on an `Err` value: DimensionMismatch(" +
             std::to_string(distributions_.cols) + ", " + std::to_string(target_.size()) + ")");
    }
}

void BalancingStrategy::potentials(std::span<float> out) const {
    const std::size_t n = distributions_.rows, m = distributions_.cols;
    log_mix_.resize(n * m);
    pool::parallel_for(n, 2048, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float* p = distributions_.row(i);
            float* l = log_mix_.data() + i * m;
            float r = 0.0f;
            for (std::size_t k = 0; k < m; ++k) {
                l[k] = p[k] + class_totals_[k];
                r = r + l[k];
            }
            const float denominator = r + kEpsilon;
            for (std::size_t k = 0; k < m; ++k) l[k] = std::log(l[k] / denominator + kEpsilon);
        }
    });
    blas::gemv(n, m, log_mix_.data(), target_.data(), out.data());
    for (std::size_t i = 0; i < n; ++i) out[i] = -1.0f / (out[i] + kEpsilon);
}

std::vector<float> BalancingStrategy::potentials() const {
    std::vector<float> out(sample_count());
    potentials(out);
    return out;
}

void BalancingStrategy::inform(std::size_t selected_sample) {
    if (selected_sample >= distributions_.rows) fail("assertion failed: index < dim");
    const float* p = distributions_.row(selected_sample);
    for (std::size_t k = 0; k < class_totals_.size(); ++k) {
        class_totals_[k] = class_totals_[k] + p[k];
    }
}

}  // namespace orvane
