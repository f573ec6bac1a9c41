#include "src/selection/block_ranges.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "src/selection/step_terms.hpp"

namespace orvane::step {

namespace {
constexpr float kInf = std::numeric_limits<float>::infinity();
}

Range key_range(const float* key, const unsigned char* taken, std::size_t begin, std::size_t end) {
    Range r{kInf, -kInf};
    for (std::size_t i = begin; i < end; ++i) {
        if (taken[i]) continue;
        const float k = key[i];
        if (k < r.lo) r.lo = k;
        if (k > r.hi) r.hi = k;
        if (k != k) r.lo = -kInf;
    }
    return r;
}

// Only the top is searched, in independent lanes the compiler can keep in vector registers.
Range minimum_range(const float* key, const unsigned char* taken, std::size_t begin,
                    std::size_t end) {
    constexpr std::size_t kLanes = 8;
    float top[kLanes];
    std::fill(top, top + kLanes, -kInf);
    std::size_t i = begin;
    for (; i + kLanes <= end; i += kLanes) {
        for (std::size_t u = 0; u < kLanes; ++u) {
            const float k = taken[i + u] ? -kInf : key[i + u];
            top[u] = k > top[u] ? k : top[u];
        }
    }
    for (; i < end; ++i) {
        const float k = taken[i] ? -kInf : key[i];
        top[0] = k > top[0] ? k : top[0];
    }
    float hi = top[0];
    for (std::size_t u = 1; u < kLanes; ++u) hi = top[u] > hi ? top[u] : hi;
    return {0.0f, hi};
}

Range contribution_range(Range key, float offset, float strength) {
    auto ln = [&](float k) { return std::log(floored(k + offset)); };
    const float up = std::nextafter(ln(key.hi), kInf), down = std::nextafter(ln(key.lo), -kInf);
    if (strength >= 0.0f) return {strength * down, strength * up};
    if (strength < 0.0f) return {strength * up, strength * down};
    return {strength, strength};  // NaN: nothing is proven
}

Range shared_range(std::uint64_t mask, std::span<const float> contributions) {
    Range r{kInf, -kInf};
    for (std::size_t u = 0; mask != 0; ++u, mask >>= 1) {
        if (!(mask & 1)) continue;
        const float c = contributions[u];
        if (!std::isfinite(c)) return {c, c};
        if (c < r.lo) r.lo = c;
        if (c > r.hi) r.hi = c;
    }
    return r;
}

// Every object value fl(s_o + A) is at most Y = fl(top + A), as rounding is monotone; so is a
// maximum of them. A mean of c of them, summed in order from -0 and divided by c, is monotone in
// each value, and c copies of Y give at most Y + |Y| (c + 1.01) 2^-24 plus c 2^-149 for subnormal
// sums (c 2^-24 <= 0.01, else no bound). Empty samples have potential 0; NaN potentials take the
// floor, which no bound is below.
float subpart_top(const ObjectScoreSpan& span, float accumulated, bool mean) {
    const float y = span.top + accumulated;
    float top = y;
    if (mean && std::isfinite(y)) {
        const double c = static_cast<double>(span.most);
        if (c * std::ldexp(1.0, -24) > 0.01) return kInf;
        const double bound = static_cast<double>(y) +
                             std::fabs(static_cast<double>(y)) * (c + 1.01) * std::ldexp(1.0, -24) +
                             (c + 1.0) * std::ldexp(1.0, -149);
        top = static_cast<float>(bound);
        if (static_cast<double>(top) < bound) top = std::nextafter(top, kInf);
    }
    if (span.most == 0) top = -kInf;
    return span.none ? std::max(top, 0.0f) : top;
}

}  // namespace orvane::step
