#include "src/layout/extend.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "src/common/stop.hpp"
#include "src/common/total_order.hpp"
#include "src/common/worker_pool.hpp"
#include "src/layout/cells.hpp"
#include "src/layout/kernels.hpp"
#include "src/layout/neighbors.hpp"
#include "src/layout/optimiser.hpp"
#include "src/layout/pair_sampling.hpp"
#include "src/layout/preprocess.hpp"

namespace orvane::pacmap {

namespace {

// New points per task; fitted rows per screen, the first few so that the reach is soon finite.
// Cells: at most a task's points a cell, so that sorting the fitted rows into cells costs at most
// a task's share of the search, and at least 256 fitted rows a cell.
constexpr std::size_t kQueries = 128;
constexpr std::size_t kCellRows = 256, kMaxCells = 256;
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

// The fitted rows as 8-bit codes, for a level whose screen sums codes exactly: x is
// scale * code within `residual` (the largest |x - scale code| of any row), and `length` is the
// largest |scale code|. A point's codes take the same scale, so by Cauchy-Schwarz its product
// with a row is scale^2 (its codes . the row's) within length |p - scale code_p| + |p| residual.
// A point's codes are stored plus 128 (unsigned, as the instructions take them), so a sum
// exceeds the product of codes by 128 times the row's code sum; a row's `start` takes that
// off, and its lower norm over 2 scale^2 rounded down too, so that the screen compares each
// sum with one bound a point.
struct Codes {
    std::size_t quads = 0;  // four values each, zeros past d; 0 when the rows are not coded
    double scale = 0.0, residual = 0.0, length = 0.0;
    std::vector<std::int8_t> rows;
    std::vector<std::int32_t> start;
};

// Above this width a sum of codes could leave 32 bits.
constexpr std::size_t kMaxCodedWidth = 16384;
// Rows of a tile of codes: the screen's ranges start at multiples of it.
constexpr std::size_t kCodeTile = 16;

// The fitted rows and what every point reads of them.
struct Fitted {
    const float* x;              // preprocessed, n x d, in the cells' order
    const float* y;              // places, n x 2, in the caller's order
    const std::uint32_t* index;  // each row of x as the caller numbers it
    std::size_t n, d;
    // Squared norms shrunk and grown by the bound's width: a row's share of the lower and upper
    // ends of its expanded distances (the upper ones only where the rows are not coded).
    std::vector<float> low, high;
    Codes codes;
};

void bounded_norms(const float* rows, std::size_t count, std::size_t d, float* low, float* high) {
    const double width = static_cast<double>(bound_width(d));
    for (std::size_t i = 0; i < count; ++i) {
        double s = 0.0;
        for (std::size_t c = 0; c < d; ++c) {
            s += static_cast<double>(rows[i * d + c]) * rows[i * d + c];
        }
        low[i] = static_cast<float>(s * (1.0 - width));
        high[i] = static_cast<float>(s * (1.0 + width));
    }
}

// Codes for the fitted rows, unless they are all zero.
Codes code_rows(const Fitted& f) {
    Codes c;
    const std::size_t n = f.n, d = f.d;
    std::vector<double> largest(pool::worker_count(), 0.0);
    pool::for_blocks(n * d, 1 << 16, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        for (std::size_t e = begin; e < end; ++e)
            largest[worker] = std::max(largest[worker], std::fabs(double{f.x[e]}));
    });
    const double top = *std::max_element(largest.begin(), largest.end());
    if (!(top > 0.0)) return c;
    c.quads = (d + 3) / 4;
    c.scale = top / 127.0;
    const double inv = 127.0 / top, half_inv2 = 0.5 / (c.scale * c.scale);
    // In tiles of kCodeTile rows, the last padded (see screen_codes).
    const std::size_t padded = (n + kCodeTile - 1) / kCodeTile * kCodeTile;
    c.rows.assign(padded * 4 * c.quads, 0);
    c.start.assign(padded, 0);
    std::vector<double> residual(pool::worker_count(), 0.0), length(residual);
    pool::for_blocks(n, 4096, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        for (std::size_t j = begin; j < end; ++j) {
            std::int8_t* code =
                c.rows.data() + (j - j % kCodeTile) * 4 * c.quads + 4 * (j % kCodeTile);
            double r2 = 0.0, l2 = 0.0;
            std::int64_t sum = 0;
            for (std::size_t k = 0; k < d; ++k) {
                const double v = f.x[j * d + k];
                const double q = std::clamp(std::nearbyint(v * inv), -127.0, 127.0);
                code[k / 4 * 4 * kCodeTile + k % 4] = static_cast<std::int8_t>(q);
                r2 += (v - c.scale * q) * (v - c.scale * q);
                l2 += q * q;
                sum += static_cast<std::int64_t>(q);
            }
            const auto floor = static_cast<std::int64_t>(std::floor(double{f.low[j]} * half_inv2));
            c.start[j] = static_cast<std::int32_t>(-(floor + 128 * sum));
            residual[worker] = std::max(residual[worker], std::sqrt(r2));
            length[worker] = std::max(length[worker], c.scale * std::sqrt(l2));
        }
    });
    // Rounded up: they are bounds.
    c.residual = *std::max_element(residual.begin(), residual.end()) * (1.0 + 0x1.0p-20);
    c.length = *std::max_element(length.begin(), length.end()) * (1.0 + 0x1.0p-20);
    return c;
}

// Where a point starts its walk: its place, its step scale and how many runs its partners fill
// (the runs themselves, x, y and weight of eight slots, 24 floats a run, are kept beside it).
struct Start {
    float pos[2];
    float learning_rate;
    std::uint32_t neighbor_runs, far_runs;
};

// A worker's buffers, kept from task to task: fresh ones would be fresh pages every time.
struct Scratch {
    std::vector<float> p, group, p_low, p_high, reach;
    std::vector<ScreenPass> passed;
    std::vector<std::uint8_t> code_group;
    std::vector<std::int32_t> least;
    std::vector<CodePass> code_passed;
    // Per point, k a point: the nearest rows met so far, nearest first, `filled` of them; on
    // floats, first the k smallest upper ends (ascending) and the rows whose lower end reached
    // the k-th of them when they were met.
    std::vector<Near> near;
    std::vector<std::size_t> filled;
    std::vector<float> upper;
    std::vector<std::vector<Near>> cands;
    std::vector<Start> starts;
    std::vector<std::vector<float>> runs;
    std::vector<float> pairs;
};

// Inserts e into the sorted h[0, count), count < k, or into h[0, k) dropping its last, e nearer
// than that; returns the new count. One shift a farther row: a heap's sift branches
// unpredictably at every level.
std::size_t insert_nearer(Near* h, std::size_t count, std::size_t k, Near e) {
    std::size_t at = count < k ? count : k - 1;
    for (; at > 0 && nearer(e, h[at - 1]); --at) h[at] = h[at - 1];
    h[at] = e;
    return count < k ? count + 1 : k;
}

// Inserts v into the ascending h[0, count), count < k, or into h[0, k) dropping its largest, v
// smaller than that; returns the new count.
std::size_t insert_sorted(float* h, std::size_t count, std::size_t k, float v) {
    std::size_t at = count < k ? count : k - 1;
    for (; at > 0 && h[at - 1] > v; --at) h[at] = h[at - 1];
    h[at] = v;
    return count < k ? count + 1 : k;
}

// The square of a distance, rounded up and grown by a little more than the rounding of the
// distance's own square root: whatever a screen passes at this reach includes every row at
// most this far.
float reach_of(float distance) {
    const double r = static_cast<double>(distance);
    const auto square = static_cast<float>(r * r * (1.0 + 0x1.0p-20));
    // the next float up (a square is not negative; an infinite one stays)
    return std::isinf(square) ? square
                              : std::bit_cast<float>(std::bit_cast<std::uint32_t>(square) + 1u);
}

// A point's codes into `group` (the screen's layout, `lane` of kScreenGroup) and the width of
// its products' bound, the term Codes describes, grown a little for its own rounding.
double code_point(const Codes& c, const float* p, std::size_t d, std::size_t lane,
                  std::uint8_t* group) {
    const double inv = 1.0 / c.scale;
    double r2 = 0.0, p2 = 0.0;
    for (std::size_t k = 0; k < d; ++k) {
        const double v = p[k];
        const double q = std::clamp(std::nearbyint(v * inv), -128.0, 127.0);
        group[64 * (k / 4) + 4 * lane + k % 4] = static_cast<std::uint8_t>(q + 128.0);
        r2 += (v - c.scale * q) * (v - c.scale * q);
        p2 += v * v;
    }
    return (c.length * std::sqrt(r2) + std::sqrt(p2) * c.residual) * (1.0 + 0x1.0p-20) + 1e-30;
}

// The lowest sum of codes that can pass a point whose lower norm is b: the sum is the product
// over scale^2 less the row's lower norm over 2 scale^2 (rounded down), so a pass needs at least
// (b - reach) / (2 scale^2), less 2 for the two roundings down and the quotients' own rounding.
std::int32_t least_sum(double b, float reach, double half_inv2) {
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    const double t = std::floor((b - static_cast<double>(reach)) * half_inv2) - 2.0;
    return static_cast<std::int32_t>(std::isnan(t) ? lo : std::clamp(t, lo, hi));
}

// The k nearest fitted rows of each of `count` preprocessed points, by the layout's own distance
// (pair_distance), nearest first, ties to the lower index, into scratch.near. A screen of
// products passes every row whose expanded distance's lower end is within the point's reach:
//  - on codes, whose bounds are wide, the k-th nearest distance found so far: each passed row's
//    distance is computed at once;
//  - on floats, whose bounds are narrow, the k-th smallest upper end so far: the passed rows are
//    kept, and at the end those whose lower end is within the final reach are computed alone.
// Either way every row at most as far as the k-th nearest passes, so the result depends on
// neither the other points, nor how the level rounds the products, nor the order in which rows
// are met. `own` is the range of rows of the points' cell, which the screen takes first: the
// reach then soon comes near its final value, and few rows pass after.
void nearest(const Fitted& f, const float* p, std::size_t count, std::size_t k,
             std::pair<std::size_t, std::size_t> own, Scratch& scratch) {
    const std::size_t n = f.n, d = f.d;
    const LayoutKernels& kernels = layout_kernels();
    const Codes& codes = f.codes;
    constexpr std::size_t G = kScreenGroup;
    const std::size_t groups = (count + G - 1) / G, padded = groups * G;
    // Points beyond count are zeros that nothing passes for.
    constexpr float kInf = std::numeric_limits<float>::infinity();
    auto& p_low = scratch.p_low;
    auto& p_high = scratch.p_high;
    auto& reach = scratch.reach;
    auto& least = scratch.least;
    p_low.assign(padded, 0.0f);
    p_high.assign(padded, 0.0f);
    bounded_norms(p, count, d, p_low.data(), p_high.data());
    reach.assign(padded, -kInf);
    std::fill_n(reach.begin(), count, kInf);
    const std::size_t room = G * std::max({k, kFirstChunk, kFittedChunk});
    const double half_inv2 = codes.quads ? 0.5 / (codes.scale * codes.scale) : 0.0;
    auto& near = scratch.near;
    auto& filled = scratch.filled;
    auto& upper = scratch.upper;
    auto& cands = scratch.cands;
    near.resize(count * k);
    filled.assign(count, 0);
    if (codes.quads) {
        // The products' bound widens each point's norm; the codes' sums are exact.
        auto& group = scratch.code_group;
        group.assign(groups * 64 * codes.quads, 128);
        for (std::size_t i = 0; i < count; ++i) {
            const double e = 2.0 * code_point(codes, p + i * d, d, i % G,
                                              group.data() + i / G * 64 * codes.quads);
            p_low[i] = std::nextafter(static_cast<float>(p_low[i] - e), -kInf);
        }
        least.resize(padded);
        for (std::size_t i = 0; i < padded; ++i)
            least[i] = least_sum(p_low[i], reach[i], half_inv2);
        scratch.code_passed.resize(room);
    } else {
        auto& group = scratch.group;
        group.assign(padded * d, 0.0f);
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t c = 0; c < d; ++c) group[(i / G * d + c) * G + i % G] = p[i * d + c];
        }
        scratch.passed.resize(room);
        upper.resize(count * k);
        cands.resize(count);
        for (std::size_t i = 0; i < count; ++i) cands[i].clear();
    }
    // Row j passed for point i on codes: its distance, and the point's reach if it is among the
    // nearest.
    const auto take = [&](std::size_t i, std::size_t j) {
        const Near e{pair_distance(p + i * d, f.x + j * d, d), f.index[j]};
        Near* best = near.data() + i * k;
        if (filled[i] == k && !nearer(e, best[k - 1])) return;
        filled[i] = insert_nearer(best, filled[i], k, e);
        if (filled[i] < k) return;
        reach[i] = reach_of(best[k - 1].distance);
        least[i] = least_sum(p_low[i], reach[i], half_inv2);
    };
    // Row j passed for point i on floats, with its product: kept while its lower end is within
    // the reach, and its upper end among the k smallest.
    const auto keep = [&](std::size_t i, std::size_t j, float dot) {
        const float lo = (p_low[i] + f.low[j]) - 2.0f * dot;
        if (!(lo <= reach[i])) return;
        const float hi = (p_high[i] + f.high[j]) - 2.0f * dot;
        cands[i].push_back({lo, static_cast<std::uint32_t>(j)});
        float* up = upper.data() + i * k;
        if (filled[i] < k || hi < up[k - 1]) {
            filled[i] = insert_sorted(up, filled[i], k, hi);
            if (filled[i] == k) reach[i] = up[k - 1];
        }
    };
    // The cell's rows widened to whole tiles of codes, then the others; every chunk starts at a
    // whole tile.
    constexpr std::size_t T = kCodeTile;
    const std::size_t a = own.first / T * T, b = std::min(n, (own.second + T - 1) / T * T);
    const std::pair<std::size_t, std::size_t> ranges[3] = {{a, b}, {0, a}, {b, n}};
    const std::size_t first = (std::max(k, kFirstChunk) + T - 1) / T * T;
    std::size_t seen = 0;
    for (const auto& [from, to] : ranges) {
        for (std::size_t j0 = from; j0 < to;) {
            // Doubling: a chunk is screened against the reach its predecessors left.
            const std::size_t w =
                std::min(to - j0, seen == 0 ? first : std::min(seen, kFittedChunk));
            for (std::size_t g = 0; g < groups; ++g) {
                if (codes.quads) {
                    const CodePass* passed = scratch.code_passed.data();
                    const std::size_t m = kernels.screen_codes(
                        scratch.code_group.data() + g * 64 * codes.quads,
                        codes.rows.data() + j0 * 4 * codes.quads, w, codes.quads,
                        codes.start.data() + j0, least.data() + g * G, scratch.code_passed.data());
                    // The passed rows' floats are not in cache: the screen read their codes.
                    for (std::size_t e = 0; e < m; ++e) {
                        const float* row = f.x + (j0 + passed[e].row) * d;
                        for (std::size_t at = 0; at < d; at += 16) __builtin_prefetch(row + at);
                    }
                    for (std::size_t e = 0; e < m; ++e)
                        take(g * G + passed[e].lane, j0 + passed[e].row);
                } else {
                    const ScreenPass* passed = scratch.passed.data();
                    const std::size_t m = kernels.screen_products(
                        scratch.group.data() + g * G * d, f.x + j0 * d, w, d, f.low.data() + j0,
                        p_low.data() + g * G, reach.data() + g * G, scratch.passed.data());
                    for (std::size_t e = 0; e < m; ++e)
                        keep(g * G + passed[e].lane, j0 + passed[e].row, passed[e].dot);
                }
            }
            j0 += w;
            seen += w;
        }
    }
    if (codes.quads) return;
    std::vector<Near> best;
    for (std::size_t i = 0; i < count; ++i) {
        const float last = filled[i] == 0 ? 0.0f : upper[i * k + filled[i] - 1];
        best.clear();
        // The rows are far apart in memory: all are asked for before the first is read.
        for (const Near& c : cands[i]) {
            if (c.distance <= last) {
                const float* row = f.x + std::size_t{c.index} * d;
                for (std::size_t at = 0; at < d; at += 16) __builtin_prefetch(row + at);
                best.push_back({0.0f, c.index});
            }
        }
        // Ties go to the lower index as the caller numbers the rows.
        for (Near& e : best) {
            e.distance = pair_distance(p + i * d, f.x + std::size_t{e.index} * d, d);
            e.index = f.index[e.index];
        }
        std::sort(best.begin(), best.end(), nearer);
        std::copy_n(best.begin(), k, near.begin() + i * k);
    }
}

// The point's start and partners: the weighted mean of its neighbours' places, and its far
// pairs drawn by a generator seeded from its own values.
//  - A neighbour's attraction is weighted by its nearness (inverse distance, normalised to k
//    in all): a fitted row placed again keeps to its own place, a new one to its nearest rows.
//    Twice that, because in the fit each neighbour pair pulls from both of its lists.
//  - The steps are scaled to the spread of its neighbours' places, not to the whole layout's:
//    the point only settles among them.
void start(const Fitted& f, const float* p, const Near* near, std::size_t k,
           const NeighborCounts& counts, const PacmapConfig& config, Start& w,
           std::vector<float>& runs) {
    const std::size_t n = f.n, d = f.d;
    double mean_distance = 0.0;
    for (std::size_t e = 0; e < k; ++e) mean_distance += near[e].distance;
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
    for (std::size_t e = 0; e < k; ++e) {
        spread += std::fabs(f.y[2 * std::size_t{near[e].index}] - w.pos[0]) +
                  std::fabs(f.y[2 * std::size_t{near[e].index} + 1] - w.pos[1]);
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

// Rows of x (d values each) reordered in place so that row t is the old row order[t]: one cycle
// at a time, with one row aside.
void permute_rows(std::vector<float>& x, std::size_t d, const std::vector<std::uint32_t>& order) {
    std::vector<bool> done(order.size(), false);
    std::vector<float> aside(d);
    for (std::size_t t = 0; t < order.size(); ++t) {
        if (done[t] || order[t] == t) continue;
        std::copy_n(x.data() + t * d, d, aside.data());
        std::size_t to = t;
        for (std::size_t from = order[t]; from != t; to = from, from = order[from]) {
            std::copy_n(x.data() + from * d, d, x.data() + to * d);
            done[to] = true;
        }
        std::copy_n(aside.data(), d, x.data() + to * d);
        done[to] = true;
    }
}

}  // namespace

std::vector<float> extend_layout(const float* x, std::size_t n, std::size_t d, const float* y,
                                 const float* q, std::size_t m, const PacmapConfig& config) {
    std::vector<float> places(2 * m);
    if (m == 0) return places;
    Scaling scaling;
    std::vector<float> fitted = preprocess(x, n, d, nullptr, &scaling);
    const NeighborCounts counts = neighbor_counts(n, config, nullptr);
    const std::size_t k = std::min(counts.n_neighbors, n);
    // The new points as the fitted rows were preprocessed, each with the cell it is nearest to:
    // points of one cell are searched together, and their own cell's rows first. Which cell a
    // point or row falls in changes how fast its neighbours are found, never which they are.
    std::vector<float> points(m * d);
    pool::for_blocks(m, 4096, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) scaling.apply(q + i * d, points.data() + i * d);
    });
    const Cells cells =
        cell_rows(fitted.data(), n, d,
                  std::clamp<std::size_t>(std::min(m / kQueries, n / kCellRows), 1, kMaxCells));
    std::vector<std::uint32_t> cell_of(m);
    nearest_cells(cells, points.data(), m, cell_of.data());
    permute_rows(fitted, d, cells.order);
    Fitted f{fitted.data(),         y, cells.order.data(), n, d, std::vector<float>(n),
             std::vector<float>(n), {}};
    pool::for_blocks(n, 4096, [&](std::size_t begin, std::size_t end, std::size_t) {
        bounded_norms(fitted.data() + begin * d, end - begin, d, f.low.data() + begin,
                      f.high.data() + begin);
    });
    if (layout_kernels().screen_codes != nullptr && d <= kMaxCodedWidth) f.codes = code_rows(f);
    // Tasks of at most kQueries points of one cell: the points in the order of their cells.
    std::vector<std::size_t> at(cells.count() + 1, 0);
    for (std::uint32_t c : cell_of) ++at[c + 1];
    for (std::size_t c = 0; c < cells.count(); ++c) at[c + 1] += at[c];
    struct Task {
        std::size_t cell, begin, end;
    };
    std::vector<Task> tasks;
    for (std::size_t c = 0; c < cells.count(); ++c)
        for (std::size_t b = at[c]; b < at[c + 1]; b += kQueries)
            tasks.push_back({c, b, std::min(b + kQueries, at[c + 1])});
    std::vector<std::uint32_t> by_cell(m);
    for (std::size_t i = 0; i < m; ++i) by_cell[at[cell_of[i]]++] = static_cast<std::uint32_t>(i);
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
    pool::run_tasks(tasks.size(), [&](std::size_t t, std::size_t worker) {
        const Task& task = tasks[t];
        const std::size_t count = task.end - task.begin;
        const std::uint32_t* which = by_cell.data() + task.begin;
        Scratch& scratch = scratches[worker];
        auto& p = scratch.p;
        p.resize(count * d);
        for (std::size_t i = 0; i < count; ++i)
            std::copy_n(points.data() + std::size_t{which[i]} * d, d, p.data() + i * d);
        nearest(f, p.data(), count, k, {cells.offsets[task.cell], cells.offsets[task.cell + 1]},
                scratch);
        auto& starts = scratch.starts;
        auto& runs = scratch.runs;
        starts.resize(count);
        runs.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            start(f, p.data() + i * d, scratch.near.data() + i * k, k, counts, config, starts[i],
                  runs[i]);
        float placed[2 * kWalkLanes];
        for (std::size_t g = 0; g < count; g += kWalkLanes) {
            const std::size_t lanes = std::min(kWalkLanes, count - g);
            walk_group(starts.data() + g, runs.data() + g, lanes, schedule, scratch.pairs, placed);
            for (std::size_t l = 0; l < lanes; ++l) {
                places[2 * std::size_t{which[g + l]}] = placed[2 * l];
                places[2 * std::size_t{which[g + l]} + 1] = placed[2 * l + 1];
            }
        }
        progress.advance(count);
    });
    progress.finish();
    return places;
}

}  // namespace orvane::pacmap
