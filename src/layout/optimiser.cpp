#include "src/layout/optimiser.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "src/layout/errors.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane::pacmap {

namespace {

constexpr std::size_t kChunkPairs = 131072;
constexpr float kOneMinusBeta1 = 1.0f - 0.9f;
constexpr float kOneMinusBeta2 = 1.0f - 0.999f;
constexpr float kEpsilon = 1e-7f;

enum class Effect { Attract, Repel };

struct PairKind {
    const std::vector<std::uint32_t>* pairs;
    float w, c1, c2;
    Effect effect;
};

struct Chunk {
    const PairKind* kind;
    std::size_t begin, end;  // pair rows
};

// Per-worker state. While a full chunk covers at least as many pairs as the layout has rows, it sums
// into a zeroed `local` matrix that is then added into `running`, chunk by chunk. For larger
// layouts that flush would cost more than the pairs themselves (and clearing a fresh matrix per
// chunk grows like n squared), so chunks add straight into `running`: only the f32 summation
// order changes, which already depends on which worker takes which chunk.
struct Accumulator {
    std::vector<float> running, local;
    float running_loss = 0.0f;
    bool used = false;
};

template <std::size_t Dims, bool Direct>
void run_chunk(const Chunk& chunk, const float* __restrict y, std::size_t dims_rt,
               Accumulator& acc) {
    const std::size_t dims = Dims != 0 ? Dims : dims_rt;
    const PairKind& kind = *chunk.kind;
    const std::uint32_t* p = kind.pairs->data();
    float* __restrict sum = Direct ? acc.running.data() : acc.local.data();
    // Copies, so that stores into `sum` cannot force reloads.
    const float w = kind.w, c1 = kind.c1, c2 = kind.c2;
    const bool attract = kind.effect == Effect::Attract;
    float chunk_loss = 0.0f;
    std::vector<float> diff_dyn(Dims != 0 ? 0 : dims);
    float diff_fixed[Dims != 0 ? Dims : 1];
    float* __restrict yd = Dims != 0 ? diff_fixed : diff_dyn.data();
    for (std::size_t row = chunk.begin; row < chunk.end; ++row) {
        const std::uint32_t i = p[2 * row], j = p[2 * row + 1];
        if (i == j) continue;
        float s = 1.0f;
        for (std::size_t d = 0; d < dims; ++d) {
            yd[d] = y[i * dims + d] - y[j * dims + d];
            s += yd[d] * yd[d];
        }
        float coef;
        if (attract) {
            const float q = c1 + s;
            coef = w * (c2 / (q * q));
            chunk_loss += w * (s / q);
        } else {
            const float q = 1.0f + s;
            coef = -(w * (2.0f / (q * q)));  // negating is exact: same sums as subtracting
            chunk_loss += w * (1.0f / q);
        }
        for (std::size_t d = 0; d < dims; ++d) {
            sum[i * dims + d] += coef * yd[d];
            sum[j * dims + d] -= coef * yd[d];
        }
    }
    if (!Direct) {
        const std::size_t cells = acc.local.size();
        for (std::size_t e = 0; e < cells; ++e) {
            acc.running[e] += sum[e];
            sum[e] = 0.0f;
        }
    }
    acc.running_loss += chunk_loss;
}

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

std::vector<float> pacmap_gradient(const std::vector<float>& y, std::size_t dims,
                                   const std::vector<std::uint32_t>& pair_neighbors,
                                   const std::vector<std::uint32_t>& pair_mid_near,
                                   const std::vector<std::uint32_t>& pair_far,
                                   const PairWeights& weights) {
    const std::size_t n = dims == 0 ? 0 : y.size() / dims;
    const PairKind kinds[3] = {
        {&pair_neighbors, weights.neighbour, 10.0f, 20.0f, Effect::Attract},
        {&pair_mid_near, weights.mid_near, 10000.0f, 20000.0f, Effect::Attract},
        {&pair_far, weights.far, 1.0f, 2.0f, Effect::Repel},
    };
    std::vector<Chunk> chunks;
    for (const PairKind& kind : kinds) {
        const std::size_t rows = kind.pairs->size() / 2;
        const std::size_t count = std::max<std::size_t>(1, (rows + kChunkPairs - 1) / kChunkPairs);
        for (std::size_t c = 0; c < count; ++c)
            chunks.push_back({&kind, c * kChunkPairs, std::min(rows, (c + 1) * kChunkPairs)});
    }
    const std::size_t cells = (n + 1) * dims;
    const bool direct = n > kChunkPairs;
    std::vector<Accumulator> workers(pool::worker_count());
    pool::run_tasks(chunks.size(), [&](std::size_t c, std::size_t worker) {
        Accumulator& acc = workers[worker];
        if (!acc.used) {
            acc.running.assign(cells, 0.0f);
            if (!direct) acc.local.assign(cells, 0.0f);
            acc.used = true;
        }
        if (dims == 2)
            direct ? run_chunk<2, true>(chunks[c], y.data(), dims, acc)
                   : run_chunk<2, false>(chunks[c], y.data(), dims, acc);
        else
            direct ? run_chunk<0, true>(chunks[c], y.data(), dims, acc)
                   : run_chunk<0, false>(chunks[c], y.data(), dims, acc);
    });
    std::vector<float> g(cells, 0.0f);
    float loss = 0.0f;
    for (const Accumulator& acc : workers) {
        if (!acc.used) continue;
        for (std::size_t e = 0; e < cells; ++e) g[e] += acc.running[e];
        loss += acc.running_loss;
    }
    if (dims > 0) g[n * dims] = loss;
    return g;
}

float powi(float base, std::uint64_t k) {
    float r = (k & 1) ? base : 1.0f;
    for (std::uint64_t e = k >> 1; e != 0; e >>= 1) {
        base = base * base;
        if (e & 1) r = r * base;
    }
    return r;
}

void adam_step(std::vector<float>& y, std::vector<float>& m, std::vector<float>& v,
               const std::vector<float>& g, std::size_t t, float learning_rate) {
    const std::uint64_t k = t + 1;
    const float lr_t = (learning_rate * std::sqrt(1.0f - powi(0.999f, k))) /
                       (1.0f - powi(0.9f, k));
    auto update = [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e) {
            const float grad = g[e];
            m[e] = m[e] + kOneMinusBeta1 * (grad - m[e]);
            v[e] = v[e] + kOneMinusBeta2 * (grad * grad - v[e]);
            y[e] = y[e] - (m[e] * lr_t) / (std::sqrt(v[e]) + kEpsilon);
        }
    };
    // Element-wise and exact, so splitting only pays off on large layouts.
    if (y.size() < 65536)
        update(0, y.size());
    else
        pool::parallel_for(y.size(), 32768, update);
}

void optimise(std::vector<float>& y, std::size_t dims,
              const std::vector<std::uint32_t>& pair_neighbors,
              const std::vector<std::uint32_t>& pair_mid_near,
              const std::vector<std::uint32_t>& pair_far, const std::size_t (&num_iters)[3],
              float learning_rate, LogSink* sink) {
    std::vector<float> m(y.size(), 0.0f), v(y.size(), 0.0f);
    const std::size_t total = num_iters[0] + num_iters[1] + num_iters[2];
    const std::size_t n = dims == 0 ? 0 : y.size() / dims;
    for (std::size_t t = 0; t < total; ++t) {
        const PairWeights w = phase_weights(t, num_iters);
        const std::vector<float> g =
            pacmap_gradient(y, dims, pair_neighbors, pair_mid_near, pair_far, w);
        const float loss = dims > 0 ? g[n * dims] : 0.0f;
        if (t == 0)
            log_event(sink, LogLevel::Debug, [&] { return "Initial Loss: " + format_loss(loss); });
        adam_step(y, m, v, g, t, learning_rate);
        if ((t + 1) % 10 == 0)
            log_event(sink, LogLevel::Debug, [&] {
                char head[48];
                std::snprintf(head, sizeof head, "Iteration: %4zu, Loss: ", t + 1);
                return head + format_loss(loss);
            });
    }
}

}  // namespace orvane::pacmap
