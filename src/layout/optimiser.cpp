#include "src/layout/optimiser.hpp"
#include "src/layout/optimiser_testing.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "src/common/failure.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"
#include "src/layout/errors.hpp"
#include "src/layout/kernels.hpp"
#include "src/layout/pair_sampling.hpp"

namespace orvane::pacmap {

namespace {

// Points per task. Fixed, so the loss's partial sums do not depend on the number of workers.
constexpr std::size_t kBlockPoints = 256;

// Kinds of zero weight are left out: their terms are all zero, so leaving them out changes at
// most the sign of a zero gradient entry, which the Adam step maps to the same update.
// `draws` draws the far partners again where pairs.far_draws says so.
BlockView block_view(const float* y, const LayoutPairs& pairs, const PairWeights& w,
                     const FarDrawContext& draws) {
    // Below this the positions stay in the last-level cache, or near enough, and asking costs
    // more than it saves: a sixth of an iteration at a million points (8 MiB of positions).
    constexpr std::size_t kCachedPositions = std::size_t{16} << 20;
    BlockView b{y,     {}, 0, pairs.n * 2 * sizeof(float) > kCachedPositions, draw_far_partners,
                &draws};
    auto add = [&](const PairLists& lists, float weight, float c1, float c2, bool repel) {
        if (weight == 0.0f) return;
        const bool drawn = &lists == &pairs.far && pairs.far_draws.on;
        b.kinds[b.n_kinds++] = {
            drawn ? nullptr : lists.forward.bytes(),
            lists.forward_offsets.empty() ? nullptr : lists.forward_offsets.data(),
            lists.forward.slots(),
            lists.forward.width(),
            lists.backward_blocks.data(),
            lists.backward_meta.data(),
            weight,
            c1,
            c2,
            repel};
    };
    add(pairs.neighbor, w.neighbor, 10.0f, 20.0f, false);
    add(pairs.mid_near, w.mid_near, 10000.0f, 20000.0f, false);
    add(pairs.far, w.far, 1.0f, 2.0f, true);
    return b;
}

FarDrawContext far_draw_context(const LayoutPairs& pairs) {
    if (pairs.far_draws.on && pairs.far_draws.n_far > kMaxDrawn)
        raise_internal_failure("too many far partners a point to draw them again");
    return {&pairs.neighbor, pairs.far_draws};
}

std::size_t block_count(std::size_t n) { return (n + kBlockPoints - 1) / kBlockPoints; }

}  // namespace

std::string format_loss(float loss) {
    char buf[128];
    const auto res = std::to_chars(buf, buf + sizeof buf, loss, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

PairWeights phase_weights(std::size_t t, const std::size_t (&num_iters)[3]) {
    if (t < num_iters[0]) {
        const float p = static_cast<float>(t) / static_cast<float>(num_iters[0]);
        const float a = (1.0f - p) * 1000.0f;
        const float b = p * 3.0f;
        return {b + a, 2.0f, 1.0f};
    }
    if (t < num_iters[0] + num_iters[1]) return {3.0f, 3.0f, 1.0f};
    return {0.0f, 1.0f, 1.0f};
}

std::vector<float> pacmap_gradient(const std::vector<float>& y, const LayoutPairs& pairs,
                                   const PairWeights& weights, simd::Level level) {
    const std::size_t n = pairs.n;
    if (y.size() != 2 * n)
        raise_internal_failure("layout and pairs disagree on the number of points");
    const FarDrawContext draws = far_draw_context(pairs);
    const BlockView view = block_view(y.data(), pairs, weights, draws);
    const auto kernel = layout_kernels(level).gradient_of_block;
    std::vector<float> g(2 * (n + 1), 0.0f);
    std::vector<float> block_loss(block_count(n), 0.0f);
    pool::for_blocks(n, kBlockPoints, [&](std::size_t first, std::size_t last, std::size_t) {
        block_loss[first / kBlockPoints] = kernel(view, first, last, g.data() + 2 * first, true);
    });
    float loss = 0.0f;
    for (float l : block_loss) loss += l;
    g[2 * n] = loss;
    return g;
}

std::vector<float> pacmap_gradient(const std::vector<float>& y, std::size_t dims,
                                   const std::vector<std::uint32_t>& pair_neighbors,
                                   const std::vector<std::uint32_t>& pair_mid_near,
                                   const std::vector<std::uint32_t>& pair_far,
                                   const PairWeights& weights) {
    if (dims != 2) raise_internal_failure("the layout optimiser works in two dimensions");
    LayoutPairs pairs;
    pairs.n = y.size() / 2;
    pairs.neighbor = group_pairs(std::vector<std::uint32_t>(pair_neighbors), pairs.n);
    pairs.mid_near = group_pairs(std::vector<std::uint32_t>(pair_mid_near), pairs.n);
    pairs.far = group_pairs(std::vector<std::uint32_t>(pair_far), pairs.n);
    return pacmap_gradient(y, pairs, weights);
}

float powi(float base, std::uint64_t k) {
    float r = (k & 1) ? base : 1.0f;
    for (std::uint64_t e = k >> 1; e != 0; e >>= 1) {
        base = base * base;
        if (e & 1) r = r * base;
    }
    return r;
}

float step_size(std::size_t t, float learning_rate) {
    const std::uint64_t k = t + 1;
    return (learning_rate * std::sqrt(1.0f - powi(0.999f, k))) / (1.0f - powi(0.9f, k));
}

void adam_elements(const float* g, float* __restrict m, float* __restrict v, const float* y_in,
                   float* y_out, std::size_t count, float lr_t) {
    for (std::size_t e = 0; e < count; ++e) {
        m[e] = m[e] + kOneMinusBeta1 * (g[e] - m[e]);
        v[e] = v[e] + kOneMinusBeta2 * (g[e] * g[e] - v[e]);
        y_out[e] = y_in[e] - (m[e] * lr_t) / (std::sqrt(v[e]) + kEpsilon);
    }
}

void adam_step(std::vector<float>& y, std::vector<float>& m, std::vector<float>& v,
               const std::vector<float>& g, std::size_t t, float learning_rate) {
    adam_elements(g.data(), m.data(), v.data(), y.data(), y.data(), y.size(),
                  step_size(t, learning_rate));
}

void optimise(std::vector<float>& y, const LayoutPairs& pairs, const std::size_t (&num_iters)[3],
              float learning_rate, LogSink* sink) {
    const std::size_t n = pairs.n;
    if (y.size() != 2 * n)
        raise_internal_failure("layout and pairs disagree on the number of points");
    std::vector<float> m(y.size(), 0.0f), v(y.size(), 0.0f);
    // Every point reads the positions of the previous iteration, so the step writes a second
    // buffer; each task then runs Adam on its own block as soon as its gradient is known.
    std::vector<float> next(y.size());
    std::vector<float> block_loss(block_count(n), 0.0f);
    const auto kernel = layout_kernels().gradient_of_block;
    const FarDrawContext draws = far_draw_context(pairs);
    const bool logging = sink != nullptr && sink->enabled(LogLevel::Debug);
    const std::size_t total = num_iters[0] + num_iters[1] + num_iters[2];
    stop::Progress progress("layout optimisation", "iterations", total);
    for (std::size_t t = 0; t < total; ++t) {
        const BlockView view = block_view(y.data(), pairs, phase_weights(t, num_iters), draws);
        const bool report = t == 0 || (t + 1) % 10 == 0;
        const bool with_loss = logging && report;
        const float lr_t = step_size(t, learning_rate);
        pool::for_blocks(n, kBlockPoints, [&](std::size_t first, std::size_t last, std::size_t) {
            float g[2 * kBlockPoints];
            block_loss[first / kBlockPoints] = kernel(view, first, last, g, with_loss);
            const std::size_t e = 2 * first, count = 2 * (last - first);
            adam_elements(g, m.data() + e, v.data() + e, y.data() + e, next.data() + e, count,
                          lr_t);
        });
        y.swap(next);
        progress.advance(1);
        if (!with_loss) continue;
        float loss = 0.0f;
        for (float l : block_loss) loss += l;
        if (t == 0)
            log_event(sink, LogLevel::Debug, [&] { return "Initial Loss: " + format_loss(loss); });
        if ((t + 1) % 10 == 0)
            log_event(sink, LogLevel::Debug, [&] {
                char head[48];
                std::snprintf(head, sizeof head, "Iteration: %4zu, Loss: ", t + 1);
                return head + format_loss(loss);
            });
    }
    progress.finish();
}

}  // namespace orvane::pacmap
