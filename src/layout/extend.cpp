#include "src/layout/extend.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "src/common/blas.hpp"
#include "src/common/stop.hpp"
#include "src/common/total_order.hpp"
#include "src/common/worker_pool.hpp"
#include "src/layout/neighbors.hpp"
#include "src/layout/optimiser.hpp"
#include "src/layout/pair_sampling.hpp"
#include "src/layout/preprocess.hpp"

namespace orvane::pacmap {

namespace {

// New points per task; fitted rows per product.
constexpr std::size_t kQueries = 128;
constexpr std::size_t kFittedChunk = 512;
constexpr std::size_t kRun = 16;
constexpr std::size_t kLanes = 8;
typedef float f8 __attribute__((vector_size(32)));

float lane_total(const f8& v) {
    return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
}

// Nearness weights: 1 / (distance + this share of the mean neighbour distance).
constexpr double kNearnessFloor = 1e-2;
// Learning rate per unit of the neighbours' spread in the plane.
constexpr float kStepScale = 0.1f;
constexpr std::uint32_t kNoSelf = std::numeric_limits<std::uint32_t>::max();

struct Near {
    float distance;
    std::uint32_t index;
};

bool nearer(const Near& a, const Near& b) {
    return total_order_less(a.distance, b.distance) ||
           (a.distance == b.distance && a.index < b.index);
}

// The seed of a point's pairs: its own bits, and the layout's seed.
std::uint64_t point_seed(const float* row, std::size_t d, std::uint64_t seed) {
    std::uint64_t h = 0xcbf29ce484222325ULL ^ seed;
    for (std::size_t c = 0; c < d; ++c) {
        h ^= std::bit_cast<std::uint32_t>(row[c]);
        h *= 0x100000001b3ULL;
        h ^= h >> 29;
    }
    return h;
}

// The fitted rows and what every point reads of them.
struct Fitted {
    const float* x;  // preprocessed, n x d
    const float* y;  // places, n x 2
    std::size_t n, d;
    std::vector<float> norms, roots;  // squared norms and norms, for the bound only
};

// The k nearest fitted rows of each of `count` preprocessed points, by the layout's own distance
// (pair_distance), nearest first, ties to the lower index. Products find the candidates: every row
// whose expanded distance, widened by its rounding bound, can reach the k-th; then each
// candidate's distance is computed alone, so the result does not depend on the other points.
void nearest(const Fitted& f, const float* p, std::size_t count, std::size_t k,
             std::vector<std::vector<Near>>& out) {
    const std::size_t n = f.n, d = f.d;
    // |fl(a.b) - a.b| <= g |a||b| and each squared norm within g of itself, g = d u / (1 - d u):
    // the expansion |a|^2 + |b|^2 - 2 a.b is within 2g (|a| + |b|)^2 plus its own roundings, a
    // few u (|a|^2 + |b|^2). The factor 16 covers those, the f32 arithmetic of the bound and the
    // rounding of pair_distance, whose values choose the neighbours.
    const float g = 16.0f * (static_cast<float>(d) + 4.0f) * 0x1.0p-24f;
    std::vector<float> pn(count), pr(count);
    for (std::size_t i = 0; i < count; ++i) {
        double s = 0.0;
        for (std::size_t c = 0; c < d; ++c) s += static_cast<double>(p[i * d + c]) * p[i * d + c];
        pn[i] = static_cast<float>(s);
        pr[i] = static_cast<float>(std::sqrt(s));
    }
    std::vector<float> dots(count * kFittedChunk), lo(kFittedChunk), hi(kFittedChunk);
    // Per point: the k smallest upper ends (a max-heap) and the rows whose lower end reached
    // the k-th smallest upper end when they were met (it only falls).
    std::vector<std::vector<float>> upper(count);
    std::vector<std::vector<Near>> cands(count);
    constexpr float kInf = std::numeric_limits<float>::infinity();
    for (std::size_t j0 = 0; j0 < n; j0 += kFittedChunk) {
        const std::size_t j1 = std::min(n, j0 + kFittedChunk), w = j1 - j0;
        blas::gemm_abt(count, w, d, p, f.x + j0 * d, dots.data());
        const float* xn = f.norms.data() + j0;
        const float* xr = f.roots.data() + j0;
        for (std::size_t i = 0; i < count; ++i) {
            const float* dot = dots.data() + i * w;
            for (std::size_t j = 0; j < w; ++j) {
                const float e = (pn[i] + xn[j]) - 2.0f * dot[j];
                const float r = pr[i] + xr[j];
                const float margin = g * (r * r) + 1e-30f;
                lo[j] = e - margin;
                hi[j] = e + margin;
            }
            auto& up = upper[i];
            float reach = up.size() == k ? up.front() : kInf;
            for (std::size_t j = 0; j < w; ++j) {
                // Runs of rows that cannot reach are passed over by their least lower end.
                if (j % kRun == 0 && j + kRun <= w) {
                    float least = lo[j];
                    for (std::size_t r = 1; r < kRun; ++r) least = std::min(least, lo[j + r]);
                    if (!(least <= reach)) {
                        j += kRun - 1;
                        continue;
                    }
                }
                if (!(lo[j] <= reach)) continue;
                cands[i].push_back({lo[j], static_cast<std::uint32_t>(j0 + j)});
                if (up.size() < k) {
                    up.push_back(hi[j]);
                    std::push_heap(up.begin(), up.end());
                } else if (hi[j] < up.front()) {
                    std::pop_heap(up.begin(), up.end());
                    up.back() = hi[j];
                    std::push_heap(up.begin(), up.end());
                }
                if (up.size() == k) reach = up.front();
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const float reach = upper[i].empty() ? 0.0f : upper[i].front();
        auto& best = out[i];
        best.clear();
        for (const Near& c : cands[i]) {
            if (c.distance <= reach) {
                best.push_back(
                    {pair_distance(p + i * d, f.x + std::size_t{c.index} * d, d), c.index});
            }
        }
        std::sort(best.begin(), best.end(), nearer);
        if (best.size() > k) best.resize(k);
    }
}

// The point's place: from the weighted mean of its neighbours' places, Adam alone against the
// fixed layout under the loss of the layout's last phase (neighbour attraction, far-pair
// repulsion), its far pairs drawn by a generator seeded from its own values.
//  - A neighbour's attraction is weighted by its nearness (inverse distance, normalised to k
//    in all): a fitted row placed again keeps to its own place, a new one to its nearest rows.
//    Twice that, because in the fit each neighbour pair pulls from both of its lists.
//  - The steps are scaled to the spread of its neighbours' places, not to the whole layout's:
//    the point only settles among them.
void place(const Fitted& f, const float* p, const std::vector<Near>& near,
           const NeighborCounts& counts, const PacmapConfig& config, float* out) {
    const std::size_t n = f.n, d = f.d, k = near.size();
    double mean_distance = 0.0;
    for (const Near& e : near) mean_distance += e.distance;
    mean_distance /= static_cast<double>(k);
    const double floor = kNearnessFloor * mean_distance + 1e-30;
    double wx = 0.0, wy = 0.0, wsum = 0.0;
    std::vector<float> pull(k);
    for (std::size_t e = 0; e < k; ++e) {
        const double w = 1.0 / (static_cast<double>(near[e].distance) + floor);
        wx += w * f.y[2 * std::size_t{near[e].index}];
        wy += w * f.y[2 * std::size_t{near[e].index} + 1];
        wsum += w;
        pull[e] = static_cast<float>(w);
    }
    for (float& w : pull) w = static_cast<float>(2.0 * static_cast<double>(k) * w / wsum);
    float pos[2] = {static_cast<float>(wx / wsum), static_cast<float>(wy / wsum)};
    float spread = 0.0f;
    for (const Near& e : near) {
        spread += std::fabs(f.y[2 * std::size_t{e.index}] - pos[0]) +
                  std::fabs(f.y[2 * std::size_t{e.index} + 1] - pos[1]);
    }
    const float learning_rate = kStepScale * (spread / static_cast<float>(k));

    Generator gen = seed_generator(point_seed(p, d, config.seed.value_or(0)));
    std::vector<std::uint32_t> nn(k);
    for (std::size_t e = 0; e < k; ++e) nn[e] = near[e].index;
    std::vector<std::uint32_t> far(counts.n_far);
    far.resize(sample_distinct(counts.n_far, static_cast<std::uint32_t>(n), {nn.data(), k, 1},
                               kNoSelf, gen, far.data()));

    // The partners' places and weights in runs of eight lanes; padding lanes weigh nothing.
    const std::size_t kv = (k + kLanes - 1) / kLanes, fv = (far.size() + kLanes - 1) / kLanes;
    std::vector<f8> nx(kv), ny(kv), nw(kv), fx(fv), fy(fv), fw(fv);
    for (std::size_t e = 0; e < k; ++e) {
        nx[e / kLanes][e % kLanes] = f.y[2 * std::size_t{nn[e]}];
        ny[e / kLanes][e % kLanes] = f.y[2 * std::size_t{nn[e]} + 1];
        nw[e / kLanes][e % kLanes] = pull[e];
    }
    for (std::size_t e = 0; e < far.size(); ++e) {
        fx[e / kLanes][e % kLanes] = f.y[2 * std::size_t{far[e]}];
        fy[e / kLanes][e % kLanes] = f.y[2 * std::size_t{far[e]} + 1];
        fw[e / kLanes][e % kLanes] = 1.0f;
    }
    float m[2] = {0.0f, 0.0f}, v[2] = {0.0f, 0.0f};
    const std::size_t first = config.num_iters[0] + config.num_iters[1];
    const std::size_t total = first + config.num_iters[2];
    for (std::size_t t = first; t < total; ++t) {
        const PairWeights w = phase_weights(t, config.num_iters);
        // Each lane runs its pairs' operations in order; the lanes are summed in a fixed tree.
        const f8 px = f8{} + pos[0], py = f8{} + pos[1];
        f8 gx = {}, gy = {};
        for (std::size_t r = 0; r < kv; ++r) {
            const f8 dx = px - nx[r], dy = py - ny[r];
            const f8 s = (1.0f + dx * dx) + dy * dy;
            const f8 q = 10.0f + s;
            const f8 coef = (w.neighbor * nw[r]) * (20.0f / (q * q));
            gx += coef * dx;
            gy += coef * dy;
        }
        for (std::size_t r = 0; r < fv; ++r) {
            const f8 dx = px - fx[r], dy = py - fy[r];
            const f8 s = (1.0f + dx * dx) + dy * dy;
            const f8 q = 1.0f + s;
            const f8 coef = -((w.far * fw[r]) * (2.0f / (q * q)));
            gx += coef * dx;
            gy += coef * dy;
        }
        const float g[2] = {lane_total(gx), lane_total(gy)};
        adam_elements(g, m, v, pos, pos, 2, step_size(t - first, learning_rate));
    }
    out[0] = pos[0];
    out[1] = pos[1];
}

}  // namespace

std::vector<float> extend_layout(const float* x, std::size_t n, std::size_t d, const float* y,
                                 const float* q, std::size_t m, const PacmapConfig& config) {
    std::vector<float> places(2 * m);
    if (m == 0) return places;
    Scaling scaling;
    const std::vector<float> fitted = preprocess(x, n, d, nullptr, &scaling);
    const NeighborCounts counts = neighbor_counts(n, config, nullptr);
    const std::size_t k = std::min(counts.n_neighbors, n);
    Fitted f{fitted.data(), y, n, d, std::vector<float>(n), std::vector<float>(n)};
    pool::for_blocks(n, 4096, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t j = begin; j < end; ++j) {
            double s = 0.0;
            for (std::size_t c = 0; c < d; ++c) {
                s += static_cast<double>(fitted[j * d + c]) * fitted[j * d + c];
            }
            f.norms[j] = static_cast<float>(s);
            f.roots[j] = static_cast<float>(std::sqrt(s));
        }
    });
    stop::Progress progress("layout extension", "points", m);
    pool::for_blocks(m, kQueries, [&](std::size_t begin, std::size_t end, std::size_t) {
        const std::size_t count = end - begin;
        std::vector<float> p(count * d);
        for (std::size_t i = 0; i < count; ++i)
            scaling.apply(q + (begin + i) * d, p.data() + i * d);
        std::vector<std::vector<Near>> near(count);
        nearest(f, p.data(), count, k, near);
        for (std::size_t i = 0; i < count; ++i) {
            place(f, p.data() + i * d, near[i], counts, config, places.data() + 2 * (begin + i));
        }
        progress.advance(count);
    });
    progress.finish();
    return places;
}

}  // namespace orvane::pacmap
