#include "src/layout/extend.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "src/common/stop.hpp"
#include "src/common/total_order.hpp"
#include "src/common/worker_pool.hpp"
#include "src/layout/kernels.hpp"
#include "src/layout/neighbors.hpp"
#include "src/layout/optimiser.hpp"
#include "src/layout/pair_sampling.hpp"
#include "src/layout/preprocess.hpp"

namespace orvane::pacmap {

namespace {

// New points per task; fitted rows per screen, the first few so that the reach is soon finite.
constexpr std::size_t kQueries = 128;
constexpr std::size_t kFittedChunk = 512;
constexpr std::size_t kFirstChunk = 32;
constexpr std::size_t kLanes = 8;

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

// A distance bound's relative width. |fl(a.b) - a.b| <= g |a||b| and each squared norm is
// within g of itself, g = d u / (1 - d u): the expansion |a|^2 + |b|^2 - 2 a.b is within
// 2g (|a| + |b|)^2 <= 4g (|a|^2 + |b|^2) plus its own roundings, a few u (|a|^2 + |b|^2). The
// factor 32 (against 4) covers those, the f32 arithmetic of the bounds and the rounding of
// pair_distance, whose values choose the neighbours.
float bound_width(std::size_t d) { return 32.0f * (static_cast<float>(d) + 4.0f) * 0x1.0p-24f; }

// The fitted rows and what every point reads of them.
struct Fitted {
    const float* x;  // preprocessed, n x d
    const float* y;  // places, n x 2
    std::size_t n, d;
    // Squared norms shrunk and grown by the bound's width: a row's share of the lower and upper
    // ends of its expanded distances.
    std::vector<float> low, high;
};

void bounded_norms(const float* rows, std::size_t count, std::size_t d, float* low, float* high) {
    const float width = bound_width(d);
    for (std::size_t i = 0; i < count; ++i) {
        double s = 0.0;
        for (std::size_t c = 0; c < d; ++c) {
            s += static_cast<double>(rows[i * d + c]) * rows[i * d + c];
        }
        low[i] = static_cast<float>(s * (1.0 - static_cast<double>(width)));
        high[i] = static_cast<float>(s * (1.0 + static_cast<double>(width)));
    }
}

// Where a point starts its walk: its place, its step scale and how many runs its partners fill
// (the runs themselves, x, y and weight of eight slots, 24 floats a run, are kept beside it).
struct Start {
    float pos[2];
    float learning_rate;
    std::uint32_t neighbor_runs, far_runs;
};

// The k nearest fitted rows of each of `count` preprocessed points, by the layout's own distance
// (pair_distance), nearest first, ties to the lower index. Products find the candidates: every row
// whose expanded distance's lower end can reach the k-th smallest upper end; then each
// candidate's distance is computed alone, so the result does not depend on the other points, nor
// on how the level rounds the products. Every row at most as far as the k-th nearest has its
// lower end below the final k-th upper end, which only falls, so it is a candidate however the
// screen passes over the others.
// A worker's buffers, kept from task to task: fresh ones would be fresh pages every time.
struct Scratch {
    std::vector<float> p, group, p_low, p_high, reach;
    std::vector<ScreenPass> passed;
    // Per point: the k smallest upper ends (ascending, `filled` of them, k a point) and the
    // rows whose lower end reached the k-th smallest upper end when they were met.
    std::vector<float> upper;
    std::vector<std::size_t> filled;
    std::vector<std::vector<Near>> cands, near;
    std::vector<Start> starts;
    std::vector<std::vector<float>> runs;
    std::vector<float> pairs;
};

// Inserts v into the ascending h[0, count), count < k, or into h[0, k) dropping its largest, v
// smaller than that; returns the new count. One shift a larger value: a heap's sift branches
// unpredictably at every level.
std::size_t insert_sorted(float* h, std::size_t count, std::size_t k, float v) {
    std::size_t at = count < k ? count : k - 1;
    for (; at > 0 && h[at - 1] > v; --at) h[at] = h[at - 1];
    h[at] = v;
    return count < k ? count + 1 : k;
}

void nearest(const Fitted& f, const float* p, std::size_t count, std::size_t k, Scratch& scratch) {
    const std::size_t n = f.n, d = f.d;
    const LayoutKernels& kernels = layout_kernels();
    constexpr std::size_t G = kScreenGroup;
    const std::size_t groups = (count + G - 1) / G, padded = groups * G;
    // Points beyond count are zeros that nothing passes for.
    constexpr float kInf = std::numeric_limits<float>::infinity();
    auto& p_low = scratch.p_low;
    auto& p_high = scratch.p_high;
    auto& group = scratch.group;
    auto& reach = scratch.reach;
    p_low.assign(padded, 0.0f);
    p_high.assign(padded, 0.0f);
    bounded_norms(p, count, d, p_low.data(), p_high.data());
    group.assign(padded * d, 0.0f);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t c = 0; c < d; ++c) group[(i / G * d + c) * G + i % G] = p[i * d + c];
    }
    reach.assign(padded, -kInf);
    std::fill_n(reach.begin(), count, kInf);
    auto& passed = scratch.passed;
    passed.resize(G * std::max({k, kFirstChunk, kFittedChunk}));
    auto& upper = scratch.upper;
    auto& filled = scratch.filled;
    auto& cands = scratch.cands;
    auto& out = scratch.near;
    upper.resize(count * k);
    filled.assign(count, 0);
    cands.resize(count);
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) cands[i].clear();
    for (std::size_t j0 = 0; j0 < n;) {
        // Doubling: a chunk is screened against the reach its predecessors left.
        const std::size_t w =
            std::min(n - j0, j0 == 0 ? std::max(k, kFirstChunk) : std::min(j0, kFittedChunk));
        const float* low = f.low.data() + j0;
        const float* high = f.high.data() + j0;
        for (std::size_t g = 0; g < groups; ++g) {
            const std::size_t m =
                kernels.screen_products(group.data() + g * G * d, f.x + j0 * d, w, d, low,
                                        p_low.data() + g * G, reach.data() + g * G, passed.data());
            for (std::size_t e = 0; e < m; ++e) {
                const std::size_t i = g * G + passed[e].lane, j = passed[e].row;
                const float dot = passed[e].dot;
                const float lo = (p_low[i] + low[j]) - 2.0f * dot;
                if (!(lo <= reach[i])) continue;
                const float hi = (p_high[i] + high[j]) - 2.0f * dot;
                cands[i].push_back({lo, static_cast<std::uint32_t>(j0 + j)});
                float* up = upper.data() + i * k;
                if (filled[i] < k || hi < up[k - 1]) {
                    filled[i] = insert_sorted(up, filled[i], k, hi);
                    if (filled[i] == k) reach[i] = up[k - 1];
                }
            }
        }
        j0 += w;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const float last = filled[i] == 0 ? 0.0f : upper[i * k + filled[i] - 1];
        auto& best = out[i];
        best.clear();
        // The rows are far apart in memory: all are asked for before the first is read.
        for (const Near& c : cands[i]) {
            if (c.distance <= last) {
                const float* row = f.x + std::size_t{c.index} * d;
                for (std::size_t at = 0; at < d; at += 16) __builtin_prefetch(row + at);
                best.push_back({0.0f, c.index});
            }
        }
        for (Near& b : best)
            b.distance = pair_distance(p + i * d, f.x + std::size_t{b.index} * d, d);
        std::sort(best.begin(), best.end(), nearer);
        if (best.size() > k) best.resize(k);
    }
}

// The point's start and partners: the weighted mean of its neighbours' places, and its far
// pairs drawn by a generator seeded from its own values.
//  - A neighbour's attraction is weighted by its nearness (inverse distance, normalised to k
//    in all): a fitted row placed again keeps to its own place, a new one to its nearest rows.
//    Twice that, because in the fit each neighbour pair pulls from both of its lists.
//  - The steps are scaled to the spread of its neighbours' places, not to the whole layout's:
//    the point only settles among them.
void start(const Fitted& f, const float* p, const std::vector<Near>& near,
           const NeighborCounts& counts, const PacmapConfig& config, Start& w,
           std::vector<float>& runs) {
    const std::size_t n = f.n, d = f.d, k = near.size();
    double mean_distance = 0.0;
    for (const Near& e : near) mean_distance += e.distance;
    mean_distance /= static_cast<double>(k);
    const double floor = kNearnessFloor * mean_distance + 1e-30;
    double wx = 0.0, wy = 0.0, wsum = 0.0;
    std::vector<float> pull(k);
    for (std::size_t e = 0; e < k; ++e) {
        const double nearness = 1.0 / (static_cast<double>(near[e].distance) + floor);
        wx += nearness * f.y[2 * std::size_t{near[e].index}];
        wy += nearness * f.y[2 * std::size_t{near[e].index} + 1];
        wsum += nearness;
        pull[e] = static_cast<float>(nearness);
    }
    for (float& u : pull) u = static_cast<float>(2.0 * static_cast<double>(k) * u / wsum);
    w = Start{};
    w.pos[0] = static_cast<float>(wx / wsum);
    w.pos[1] = static_cast<float>(wy / wsum);
    float spread = 0.0f;
    for (const Near& e : near) {
        spread += std::fabs(f.y[2 * std::size_t{e.index}] - w.pos[0]) +
                  std::fabs(f.y[2 * std::size_t{e.index} + 1] - w.pos[1]);
    }
    w.learning_rate = kStepScale * (spread / static_cast<float>(k));

    Generator gen = seed_generator(point_seed(p, d, config.seed.value_or(0)));
    std::vector<std::uint32_t> nn(k);
    for (std::size_t e = 0; e < k; ++e) nn[e] = near[e].index;
    std::vector<std::uint32_t> far(counts.n_far);
    far.resize(sample_distinct(counts.n_far, static_cast<std::uint32_t>(n), {nn.data(), k, 1},
                               kNoSelf, gen, far.data()));

    const std::size_t kv = (k + kLanes - 1) / kLanes, fv = (far.size() + kLanes - 1) / kLanes;
    runs.assign(3 * kLanes * (kv + fv), 0.0f);
    const auto put = [&](std::size_t slot, std::uint32_t index, float weight) {
        float* run = runs.data() + 3 * kLanes * (slot / kLanes) + slot % kLanes;
        run[0] = f.y[2 * std::size_t{index}];
        run[kLanes] = f.y[2 * std::size_t{index} + 1];
        run[2 * kLanes] = weight;
    };
    for (std::size_t e = 0; e < k; ++e) put(e, nn[e], pull[e]);
    for (std::size_t e = 0; e < far.size(); ++e) put(kv * kLanes + e, far[e], 1.0f);
    w.neighbor_runs = static_cast<std::uint32_t>(kv);
    w.far_runs = static_cast<std::uint32_t>(fv);
}

// Walks `count` points, at most kWalkLanes, together: each point a lane, its runs in its slots; a
// lane with fewer far runs than another, or no point at all, walks weightless pairs.
void walk_group(const Start* starts, const std::vector<float>* runs, std::size_t count,
                const std::vector<WalkStep>& schedule, std::vector<float>& pairs, float* places) {
    constexpr std::size_t L = kWalkLanes;
    WalkGroup group{};
    std::uint32_t far = 0;
    for (std::size_t p = 0; p < count; ++p) far = std::max(far, starts[p].far_runs);
    group.neighbor_runs = starts[0].neighbor_runs;
    group.runs = group.neighbor_runs + far;
    pairs.assign(std::size_t{group.runs} * kLanes * 3 * L, 0.0f);
    for (std::size_t p = 0; p < count; ++p) {
        const Start& s = starts[p];
        group.pos[0][p] = s.pos[0];
        group.pos[1][p] = s.pos[1];
        group.learning_rate[p] = s.learning_rate;
        const std::size_t own = std::size_t{s.neighbor_runs} + s.far_runs;
        for (std::size_t r = 0; r < own; ++r) {
            for (std::size_t l = 0; l < kLanes; ++l) {
                float* slot = pairs.data() + 3 * L * (kLanes * r + l) + p;
                for (std::size_t c = 0; c < 3; ++c)
                    slot[c * L] = runs[p][3 * kLanes * r + c * kLanes + l];
            }
        }
    }
    group.pairs = pairs.data();
    layout_kernels().walk(group, schedule.data(), schedule.size());
    for (std::size_t p = 0; p < count; ++p) {
        places[2 * p] = group.pos[0][p];
        places[2 * p + 1] = group.pos[1][p];
    }
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
        bounded_norms(fitted.data() + begin * d, end - begin, d, f.low.data() + begin,
                      f.high.data() + begin);
    });
    // The last phase's steps, which every point takes.
    std::vector<WalkStep> schedule;
    const std::size_t first = config.num_iters[0] + config.num_iters[1];
    for (std::size_t t = first; t < first + config.num_iters[2]; ++t) {
        const PairWeights pw = phase_weights(t, config.num_iters);
        const std::uint64_t k1 = t - first + 1;
        // step_size's bias terms, so that (lr * bias_v) / bias_m is its value.
        schedule.push_back(
            {pw.neighbor, pw.far, 1.0f - powi(0.9f, k1), std::sqrt(1.0f - powi(0.999f, k1))});
    }
    stop::Progress progress("layout extension", "points", m);
    std::vector<Scratch> scratches(pool::worker_count());
    pool::for_blocks(m, kQueries, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        const std::size_t count = end - begin;
        Scratch& scratch = scratches[worker];
        auto& p = scratch.p;
        p.resize(count * d);
        for (std::size_t i = 0; i < count; ++i)
            scaling.apply(q + (begin + i) * d, p.data() + i * d);
        nearest(f, p.data(), count, k, scratch);
        auto& starts = scratch.starts;
        auto& runs = scratch.runs;
        starts.resize(count);
        runs.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            start(f, p.data() + i * d, scratch.near[i], counts, config, starts[i], runs[i]);
        for (std::size_t g = 0; g < count; g += kWalkLanes) {
            walk_group(starts.data() + g, runs.data() + g, std::min(kWalkLanes, count - g),
                       schedule, scratch.pairs, places.data() + 2 * (begin + g));
        }
        progress.advance(count);
    });
    progress.finish();
    return places;
}

}  // namespace orvane::pacmap
