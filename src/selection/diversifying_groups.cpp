// The diversifying strategy's grouping of its rows around centres, built once per strategy.
#include <algorithm>
#include <cmath>
#include <limits>

#include "src/common/blas.hpp"
#include "src/common/worker_pool.hpp"
#include "src/selection/diversifying_bounds.hpp"
#include "src/selection/diversifying_strategy.hpp"

namespace orvane {

using namespace diversifying;

void DiversifyingStrategy::Buckets::build(DistanceCalculator& calc) {
    const std::size_t n = calc.size(), d = calc.dim();
    // Small sets are cheaper in full; few dimensions would make the index too large beside them.
    if (n < 1024 || d < 32 || static_cast<double>(d) * std::ldexp(1.0, -24) > 0.05 ||
        n >= std::numeric_limits<std::uint32_t>::max()) {
        return;
    }
    const auto& h = calc.half_norms();
    std::vector<unsigned char> valid(n);
    pool::for_blocks(n, kRowBlock, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t j = begin; j < end; ++j) {
            valid[j] = groupable_row(calc.matrix().row(j), d, h[j]);
        }
    });
    std::vector<std::uint32_t> rows;
    for (std::size_t j = 0; j < n; ++j) {
        if (valid[j]) rows.push_back(static_cast<std::uint32_t>(j));
    }
    if (rows.empty()) return;
    std::size_t k = static_cast<std::size_t>(std::sqrt(static_cast<double>(rows.size())) / 2.0);
    k = std::clamp<std::size_t>(k, 1, 1024);
    // Per row: its sample, its stored row, its gap and its minimum; under a tenth of the rows.
    const double extra = 16.0 * static_cast<double>(n) + static_cast<double>(k) * (4.0 * d + 16.0);
    if (extra > 0.1 * 4.0 * static_cast<double>(n) * static_cast<double>(d)) return;

    // Centres start at evenly spaced rows; the grouping only affects how much is skipped.
    count = k;
    centres.resize(k * d);
    for (std::size_t b = 0; b < k; ++b) {
        const float* x = calc.matrix().row(rows[b * rows.size() / k]);
        std::copy(x, x + d, centres.begin() + static_cast<std::ptrdiff_t>(b * d));
    }
    // Rows are assigned by their leading coordinates only, so that the assignment costs the same
    // at any dimension. The gaps below are exact, so this only affects how much is skipped.
    const std::size_t lead = std::min<std::size_t>(d, 128);
    std::vector<float> lead_centres(k * lead), centre_half(k);
    for (std::size_t b = 0; b < k; ++b) {
        const float* c = centres.data() + b * d;
        std::copy(c, c + lead, lead_centres.begin() + static_cast<std::ptrdiff_t>(b * lead));
        centre_half[b] = blas::dot(lead, c, c) * 0.5f;
    }
    std::vector<std::uint32_t> group_of(n, static_cast<std::uint32_t>(k));
    const std::size_t chunk = 256;
    std::vector<float> products(pool::worker_count() * chunk * k);
    pool::for_blocks(rows.size(), chunk, [&](std::size_t begin, std::size_t end, std::size_t w) {
        // Rows of one chunk are gathered into one GEMM against all centres.
        std::vector<float> block((end - begin) * lead);
        for (std::size_t r = begin; r < end; ++r) {
            const float* x = calc.matrix().row(rows[r]);
            std::copy(x, x + lead, block.begin() + static_cast<std::ptrdiff_t>((r - begin) * lead));
        }
        float* p = products.data() + w * chunk * k;
        blas::gemm_abt(end - begin, k, lead, block.data(), lead_centres.data(), p);
        for (std::size_t r = begin; r < end; ++r) {
            const float* pr = p + (r - begin) * k;
            std::size_t best = 0;
            float best_value = centre_half[0] - pr[0];
            for (std::size_t b = 1; b < k; ++b) {
                const float value = centre_half[b] - pr[b];
                if (value < best_value) best_value = value, best = b;
            }
            group_of[rows[r]] = static_cast<std::uint32_t>(best);
        }
    });
    // One mean step: the mean of a group shortens its gaps.
    std::vector<double> sums(k * d, 0.0);
    std::vector<std::size_t> sizes(k + 1, 0);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t b = group_of[j];
        ++sizes[b];
        if (b == k) continue;
        const float* x = calc.matrix().row(j);
        double* s = sums.data() + b * d;
        for (std::size_t c = 0; c < d; ++c) s[c] += x[c];
    }
    for (std::size_t b = 0; b < k; ++b) {
        if (sizes[b] == 0) continue;
        for (std::size_t c = 0; c < d; ++c) {
            centres[b * d + c] =
                static_cast<float>(sums[b * d + c] / static_cast<double>(sizes[b]));
        }
    }
    offsets.assign(k + 2, 0);
    for (std::size_t b = 0; b <= k; ++b) {
        offsets[b + 1] = offsets[b] + static_cast<std::uint32_t>(sizes[b]);
    }
    members.resize(n);
    std::vector<std::uint32_t> fill(offsets.begin(), offsets.end() - 1);
    for (std::size_t j = 0; j < n; ++j)
        members[fill[group_of[j]]++] = static_cast<std::uint32_t>(j);
    // Moving a row changes none of its bits, and its dot products are the same calls on the same
    // values, so every distance stays as it was.
    calc.reorder_rows(members);
    position.resize(n);
    for (std::size_t i = 0; i < n; ++i) position[members[i]] = static_cast<std::uint32_t>(i);
    const std::size_t bounded_rows = offsets[k];
    gap.assign(n, 0.0f);
    pool::for_blocks(bounded_rows, kRowBlock, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) {
            const float* c = centres.data() + group_of[members[i]] * d;
            gap[i] = static_cast<float>(distance_to(calc.matrix().row(i), c, d) * kGrow);
        }
    });
    radius.assign(k, 0.0f);
    top_half_norm.assign(k, 0.0f);
    for (std::size_t b = 0; b < k; ++b) {
        for (std::uint32_t i = offsets[b]; i < offsets[b + 1]; ++i) {
            radius[b] = std::max(radius[b], gap[i]);
            top_half_norm[b] = std::max(top_half_norm[b], h[i]);
        }
    }
    max_min.assign(k, kUnreached);
    stored_min.assign(n, kUnreached);
}

bool DiversifyingStrategy::Buckets::separate_rows() const {
    // The mean distance of a row to its centre against the median distance between centres
    // (a fixed sample of pairs): one blob spreads wider than its centres lie apart.
    const std::size_t d = count == 0 ? 0 : centres.size() / count;
    if (count < 2) return false;
    double spread = 0.0;
    for (std::uint32_t i = 0; i < offsets[count]; ++i) spread += gap[i];
    spread /= std::max<double>(1.0, offsets[count]);
    std::vector<double> apart;
    const std::size_t step = std::max<std::size_t>(1, count / 16);
    for (std::size_t a = 0; a < count; ++a) {
        for (std::size_t b = (a + 1) % count, n = 0; n < 16 && b != a;
             b = (b + step) % count, ++n) {
            apart.push_back(distance_to(centres.data() + a * d, centres.data() + b * d, d));
        }
    }
    std::nth_element(apart.begin(), apart.begin() + apart.size() / 2, apart.end());
    return spread < apart[apart.size() / 2];
}

void DiversifyingStrategy::Buckets::refresh(const std::vector<float>& min_distances) noexcept {
    for (std::size_t i = 0; i < members.size(); ++i) stored_min[i] = min_distances[members[i]];
    for (std::size_t b = 0; b < count; ++b) {
        float m = 0.0f;
        for (std::uint32_t i = offsets[b]; i < offsets[b + 1]; ++i) m = std::max(m, stored_min[i]);
        max_min[b] = m;
    }
}

}  // namespace orvane
