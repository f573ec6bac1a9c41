#include "src/layout/preprocess.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "src/layout/errors.hpp"
#include "src/layout/random.hpp"
#include "src/common/stop.hpp"
#include "src/common/total_order.hpp"

namespace orvane::pacmap {

namespace {

// Round half away from zero, then saturate into an unsigned count (NaN and negatives give 0).
std::size_t to_count(float v) {
    const float r = std::round(v);
    if (!(r > 0.0f)) return 0;
    if (r >= 18446744073709551616.0f) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(r);
}

constexpr std::size_t kRowsPerPoll = 4096;

// f(v) for every value in order, with a stop check between blocks.
template <class F>
void each_value(std::vector<float>& values, F&& f) {
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    for (std::size_t begin = 0; begin < values.size(); begin += kBlock) {
        stop::poll();
        const std::size_t end = std::min(values.size(), begin + kBlock);
        for (std::size_t i = begin; i < end; ++i) f(values[i]);
    }
}

// A NaN would count as the largest element and scale every value into NaN, an infinity would
// flatten the data: both would give a layout without meaning and without an error.
void require_finite(const float* x, std::size_t n, std::size_t d) {
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kRowsPerPoll == 0) stop::poll();
        const float* row = x + i * d;
        bool finite = true;
        for (std::size_t c = 0; c < d; ++c) finite &= std::fabs(row[c]) <= 3.4028235e38f;
        if (finite) continue;
        for (std::size_t c = 0; c < d; ++c) {
            if (std::isfinite(row[c])) continue;
            const char* what = std::isnan(row[c]) ? "NaN" : row[c] > 0 ? "inf" : "-inf";
            fail_with(ErrorKind::NonFinite,
                      "row " + std::to_string(i) + ", column " + std::to_string(c) + " is " + what);
        }
    }
}

}  // namespace

void Scaling::apply(const float* in, float* out) const {
    for (std::size_t c = 0; c < mean.size(); ++c) {
        float v = in[c];
        v -= lo;
        if (hi != 0.0f) v /= hi;
        out[c] = v - mean[c];
    }
}

std::vector<float> preprocess(const float* x, std::size_t n, std::size_t d, LogSink* sink,
                              Scaling* scaling) {
    if (n * d == 0) fail_with(ErrorKind::EmptyMinMax);
    require_finite(x, n, d);
    // A copy of gigabytes takes seconds: it stops between stretches.
    std::vector<float> out;
    out.reserve(n * d);
    constexpr std::size_t kStretch = std::size_t{8} << 20;
    for (std::size_t begin = 0; begin < n * d; begin += kStretch) {
        stop::poll();
        out.insert(out.end(), x + begin, x + std::min(n * d, begin + kStretch));
    }
    float lo = out[0], hi = out[0];
    each_value(out, [&](float& v) {
        if (total_order_key(v) < total_order_key(lo)) lo = v;
        if (total_order_key(v) > total_order_key(hi)) hi = v;
    });
    each_value(out, [&](float& v) { v -= lo; });
    // A zero maximum would turn the whole matrix into inf/NaN; shifting and centring suffice.
    if (hi != 0.0f) each_value(out, [&](float& v) { v /= hi; });
    if (n == 0) fail_with(ErrorKind::EmptyMean);
    std::vector<float> mean(d, 0.0f);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kRowsPerPoll == 0) stop::poll();
        for (std::size_t c = 0; c < d; ++c) mean[c] += out[i * d + c];
    }
    for (float& m : mean) m /= static_cast<float>(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kRowsPerPoll == 0) stop::poll();
        for (std::size_t c = 0; c < d; ++c) out[i * d + c] -= mean[c];
    }
    if (scaling) *scaling = {lo, hi, std::move(mean)};
    log_event(sink, LogLevel::Debug, [] { return std::string("x is normalized"); });
    return out;
}

NeighborCounts neighbor_counts(std::size_t n, const PacmapConfig& config, LogSink* sink) {
    std::size_t n_neighbors = 10;
    if (config.override_neighbors) {
        n_neighbors = *config.override_neighbors;
    } else if (n >= 10001) {
        n_neighbors = to_count((std::log10(static_cast<float>(n)) - 4.0f) * 15.0f + 10.0f);
    }
    const auto nb = static_cast<float>(n_neighbors);
    NeighborCounts counts{n_neighbors, to_count(config.mid_near_ratio * nb),
                          to_count(config.far_pair_ratio * nb)};
    if (counts.n_neighbors == 0) fail_with(ErrorKind::InvalidNeighborCount);
    if (counts.n_far == 0) fail_with(ErrorKind::InvalidFarPointCount);
    if (n - 1 < counts.n_neighbors)
        log_event(sink, LogLevel::Warn, [] {
            return std::string(
                "Sample size is smaller than n_neighbors. n_neighbors will be reduced.");
        });
    return counts;
}

std::vector<float> initial_layout(std::size_t n, const PacmapConfig& config) {
    const std::uint64_t seed =
        config.initialization.seed
            ? *config.initialization.seed
            : (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    Generator g = seed_generator(seed);
    std::vector<float> y(n * config.embedding_dimensions);
    for (float& v : y) v = static_cast<float>(g.standard_normal()) * 1.0f + 0.0f;
    return y;
}

}  // namespace orvane::pacmap
