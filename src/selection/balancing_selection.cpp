#include "src/selection/balancing_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

#include "src/common/failure.hpp"
#include "src/selection/screen_margin.hpp"

namespace orvane {

namespace {
constexpr float kEpsilon = 1e-10f;
// Distinct rows are numbered in 16 bits; beyond that, or when most rows differ, sharing is off.
constexpr std::size_t kMaxDistinct = 65535;
}  // namespace

BalancingStrategy::BalancingStrategy(EmbeddingMatrix class_distributions, std::vector<float> target,
                                     float strength)
    : distributions_(std::move(class_distributions)),
      target_(std::move(target)),
      class_totals_(target_.size(), 0.0f),
      strength_(strength) {
    if (distributions_.cols != target_.size()) {
        raise_internal_failure("called `Result::unwrap()` on an `Err` value: DimensionMismatch(" +
                               std::to_string(distributions_.cols) + ", " +
                               std::to_string(target_.size()) + ")");
    }
    const std::size_t n = distributions_.rows, m = distributions_.cols;
    // Two bytes per sample must stay under a tenth of its row.
    if (n == 0 || m < 6) return;
    // Rows are told apart by their bits: equal bits give equal arithmetic.
    std::unordered_map<std::string_view, std::uint16_t> seen;
    row_of_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key(reinterpret_cast<const char*>(distributions_.row(i)),
                                   m * sizeof(float));
        const auto [it, added] =
            seen.try_emplace(key, static_cast<std::uint16_t>(distinct_.size()));
        if (added) {
            if (distinct_.size() >= kMaxDistinct || distinct_.size() * 4 >= n) {
                distinct_.clear();
                row_of_ = {};
                return;
            }
            distinct_.push_back(i);
        }
        row_of_[i] = it->second;
    }
    sharing_ = true;
}

// u = p + T; r = sum of u in class order; q = u / (r + eps); s = sum of t * ln(q + eps) in
// class order from 0; potential = -1 / (s + eps). The sum is our own fixed-order loop, so a row
// gets the same bits wherever it is computed.
float BalancingStrategy::potential_of(const float* p, float* scratch) const {
    const std::size_t m = distributions_.cols;
    float r = 0.0f;
    for (std::size_t k = 0; k < m; ++k) {
        scratch[k] = p[k] + class_totals_[k];
        r = r + scratch[k];
    }
    const float denominator = r + kEpsilon;
    float s = 0.0f;
    for (std::size_t k = 0; k < m; ++k) {
        s = s + target_[k] * std::log(scratch[k] / denominator + kEpsilon);
    }
    return -1.0f / (s + kEpsilon);
}

BalancingStrategy::Step BalancingStrategy::prepare_step() const {
    Step step{sharing_, {}};
    if (!sharing_) return step;
    std::vector<float> scratch(distributions_.cols);
    step.contributions.reserve(distinct_.size());
    for (std::size_t u = 0; u < distinct_.size(); ++u) {
        const float p = potential_of(distributions_.row(distinct_[u]), scratch.data());
        step.contributions.push_back(step::contribution(p, strength_));
    }
    return step;
}

void BalancingStrategy::potentials_range(const Step&, std::size_t begin,
                                         std::span<float> out) const {
    std::vector<float> scratch(distributions_.cols);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = potential_of(distributions_.row(begin + i), scratch.data());
    }
}

// As potential_of, a run of samples at a time with classes outermost, so that every step but the
// logarithm is the same f32 operation on the same values; the cross-entropy s is then known to
// within the screen's margin of a chain of m terms, and -1 / (s + eps), monotone where s + eps < 0,
// maps its ends to the potential's.
void BalancingStrategy::potential_bounds(std::size_t begin, std::span<float> lo,
                                         std::span<float> hi,
                                         const SelectionKernels& kernels) const {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr std::size_t kRun = 256;
    const std::size_t m = distributions_.cols;
    const step::ScreenMargin margin(m);
    std::vector<float> x(m * kRun), s(kRun), size(kRun), denominator(kRun);
    std::vector<unsigned char> wild(kRun);
    for (std::size_t r0 = 0; r0 < lo.size(); r0 += kRun) {
        const std::size_t run = std::min(kRun, lo.size() - r0);
        for (std::size_t i = 0; i < run; ++i) {
            const float* p = distributions_.row(begin + r0 + i);
            float r = 0.0f;
            for (std::size_t k = 0; k < m; ++k) {
                x[k * kRun + i] = p[k] + class_totals_[k];
                r = r + x[k * kRun + i];
            }
            denominator[i] = r + kEpsilon;
        }
        std::fill(s.begin(), s.end(), 0.0f);
        std::fill(size.begin(), size.end(), 0.0f);
        std::fill(wild.begin(), wild.end(), 0);
        for (std::size_t k = 0; k < m; ++k) {
            float* xk = x.data() + k * kRun;
            for (std::size_t i = 0; i < run; ++i) {
                xk[i] = xk[i] / denominator[i] + kEpsilon;
                // Below the kernel's floor (or NaN) its logarithm is not this one.
                wild[i] |= !(xk[i] >= 1e-8f);
            }
            kernels.log_terms(xk, run, target_[k], s.data(), size.data());
        }
        for (std::size_t i = 0; i < run; ++i) {
            lo[r0 + i] = -inf, hi[r0 + i] = inf;
            if (wild[i] || !(size[i] <= step::kScreenLimit)) continue;
            const float d = margin(size[i], 0.0f);
            const float top = (s[i] + d) + kEpsilon;
            if (!(top < 0.0f)) continue;
            lo[r0 + i] = -1.0f / ((s[i] - d) + kEpsilon);
            hi[r0 + i] = -1.0f / top;
        }
    }
}

void BalancingStrategy::add_terms(const Step& step, std::size_t begin, std::span<float> score,
                                  std::span<float> potential) const {
    if (!step.shared) return StrategyTerms::add_terms(step, begin, score, potential);
    for (std::size_t i = 0; i < score.size(); ++i) {
        score[i] = score[i] + step.contributions[row_of_[begin + i]];
    }
}

// Shared values as they are; else, with few classes, the potential taken from bounds on it, which
// cost no libm call.
void BalancingStrategy::screen_terms(const Step& step, std::size_t begin, std::span<float> score,
                                     std::span<float> magnitude, std::span<float> width,
                                     std::span<float> work, const SelectionKernels& kernels) const {
    const std::size_t n = score.size();
    if (step.shared) {
        for (std::size_t i = 0; i < n; ++i) {
            const float c = step.contributions[row_of_[begin + i]];
            score[i] = score[i] + c;
            magnitude[i] = magnitude[i] + std::fabs(c);
        }
        return;
    }
    if (distributions_.cols > step::kMaxScreenTerms) {
        return StrategyTerms::screen_terms(step, begin, score, magnitude, width, work, kernels);
    }
    const std::span<float> potential = work.first(n);
    float* buffers = work.data() + step::kStepBlock;  // four more buffers of a block
    const std::span<float> hi(buffers, n), l_lo(buffers + step::kStepBlock, n),
        l_hi(buffers + 2 * step::kStepBlock, n), unused(buffers + 3 * step::kStepBlock, n);
    potential_bounds(begin, potential, hi, kernels);
    std::fill(l_lo.begin(), l_lo.end(), 0.0f);
    std::fill(l_hi.begin(), l_hi.end(), 0.0f);
    kernels.log_terms(potential.data(), n, 1.0f, l_lo.data(), unused.data());
    kernels.log_terms(hi.data(), n, 1.0f, l_hi.data(), unused.data());
    const float size = std::fabs(strength_);
    for (std::size_t i = 0; i < n; ++i) {
        const float mid = (l_lo[i] + l_hi[i]) * 0.5f;
        const float top = std::max(std::fabs(l_lo[i]), std::fabs(l_hi[i]));
        score[i] = score[i] + strength_ * mid;
        magnitude[i] = magnitude[i] + size * top;
        width[i] = width[i] + size * (std::fabs(l_hi[i] - l_lo[i]) * 0.5f);
    }
}

float BalancingStrategy::exact_term(const Step& step, std::size_t i, float score) const {
    if (step.shared) return score + step.contributions[row_of_[i]];
    return StrategyTerms::exact_term(step, i, score);
}

namespace {

void check_row(std::size_t sample, std::size_t rows) {
    if (sample >= rows) raise_internal_failure("assertion failed: index < dim");
}

}  // namespace

BalancingStrategy::Pick BalancingStrategy::pick(std::size_t sample) const {
    check_row(sample, distributions_.rows);
    const float* p = distributions_.row(sample);
    return {std::vector<float>(p, p + distributions_.cols)};
}

void BalancingStrategy::inform(std::size_t selected_sample, const Pick& pick) {
    if (selected_sample != kElsewhere) check_row(selected_sample, distributions_.rows);
    if (pick.class_row.size() != class_totals_.size()) {
        raise_internal_failure("a class row of " + std::to_string(pick.class_row.size()) +
                               " entries for " + std::to_string(class_totals_.size()) + " classes");
    }
    for (std::size_t k = 0; k < class_totals_.size(); ++k) {
        class_totals_[k] = class_totals_[k] + pick.class_row[k];
    }
}

}  // namespace orvane
