#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "src/common/failure.hpp"
#include "src/common/stop.hpp"
#include "src/layout/errors.hpp"
#include "src/layout/kernels.hpp"
#include "src/layout/neighbors.hpp"
#include "src/layout/optimiser.hpp"
#include "src/layout/optimiser_testing.hpp"
#include "src/layout/pacmap.hpp"
#include "src/layout/pair_sampling.hpp"
#include "src/layout/preprocess.hpp"
#include "src/layout/random.hpp"
#include "src/layout/wave_graph.hpp"
#include "tests/native/check.hpp"

using namespace orvane::pacmap;

namespace {

struct RecordingSink : LogSink {
    std::vector<std::pair<LogLevel, std::string>> events;
    bool enabled(LogLevel) const override { return true; }
    void log(LogLevel level, std::string_view message) override {
        events.emplace_back(level, std::string(message));
    }
};

std::vector<float> random_matrix(std::size_t n, std::size_t d, std::uint64_t seed) {
    Generator g = seed_generator(seed);
    std::vector<float> x(n * d);
    for (float& v : x) v = static_cast<float>(g.standard_normal());
    return x;
}

std::vector<std::uint32_t> partners(const std::vector<std::uint32_t>& pairs) {
    std::vector<std::uint32_t> out;
    for (std::size_t r = 0; r < pairs.size(); r += 2) out.push_back(pairs[r + 1]);
    return out;
}

using U = std::vector<std::uint32_t>;

}  // namespace

TEST_CASE("pacmap generator: seeded state, first output and normal draws") {
    Generator g = seed_generator(42);
    CHECK_EQ(g.state(0), 737801269571325860ULL);
    CHECK_EQ(g.state(1), 13264228356429297898ULL);
    CHECK_EQ(g.state(2), 6122560235581770795ULL);
    CHECK_EQ(g.state(3), 17447191129487197325ULL);
    CHECK_EQ(g.next_u64(), 2939647976913485485ULL);
    Generator z = seed_generator(42);
    CHECK_EQ(z.standard_normal(), -0.8393338992720387);
    CHECK_EQ(z.standard_normal(), -0.8659214642018863);
    auto y = initial_layout(3, driver_config(3));
    CHECK_EQ(y.size(), std::size_t{6});
    CHECK_EQ(y[0], -0.8393339f);
    CHECK_EQ(y[1], -0.86592144f);
    // many draws: tail and wedge branches stay finite with the right moments
    Generator m = seed_generator(7);
    double sum = 0, sq = 0;
    const int draws = 200000;
    for (int i = 0; i < draws; ++i) {
        const double v = m.standard_normal();
        CHECK(std::isfinite(v));
        sum += v;
        sq += v * v;
    }
    CHECK_NEAR(sum / draws, 0.0, 0.01);
    CHECK_NEAR(sq / draws, 1.0, 0.02);
}

TEST_CASE("pacmap sample_distinct worked examples and exhaustion") {
    Generator g42 = seed_generator(42);
    CHECK(sample_distinct(6, 10, {}, 0, g42) == (U{1, 3, 7, 5, 4, 2}));
    Generator g43 = seed_generator(43);
    CHECK(sample_distinct(6, 10, {}, 1, g43) == (U{5, 0, 8, 2, 4, 6}));
    // reject with duplicates and containing self: asks for more than exist, still ends
    const U reject{3, 3, 1, 0};
    Generator g = seed_generator(1);
    auto got = sample_distinct(10, 5, IndexView{reject.data(), reject.size(), 1}, 1, g);
    CHECK(got.size() == 1 && (got[0] == 2 || got[0] == 4));  // duplicates shrink avail
    Generator h = seed_generator(1);
    auto two = sample_distinct(10, 5, IndexView{reject.data(), 2, 1}, 1, h);
    CHECK_EQ(two.size(), std::size_t{2});  // 5 - 2 - 1
    for (auto v : two) CHECK(v != 1 && v != 3);
}

TEST_CASE("pacmap neighbor counts and their errors") {
    struct Row {
        std::size_t n, nb, mn, fp;
    } table[] = {{2, 1, 1, 2},       {3, 1, 1, 2},         {7, 3, 2, 6},
                 {13, 6, 3, 12},     {14, 10, 5, 20},      {10000, 10, 5, 20},
                 {10001, 10, 5, 20}, {100000, 25, 13, 50}, {1000000, 40, 20, 80}};
    for (const Row& r : table) {
        auto c = neighbor_counts(r.n, driver_config(r.n), nullptr);
        CHECK_EQ(c.n_neighbors, r.nb);
        CHECK_EQ(c.n_mid_near, r.mn);
        CHECK_EQ(c.n_far, r.fp);
    }
    PacmapConfig zero = driver_config(100);
    zero.override_neighbors = 0;
    try {
        neighbor_counts(100, zero, nullptr);
        CHECK(false);
    } catch (const LayoutFailure& f) {
        CHECK(f.kind() == ErrorKind::InvalidNeighborCount);
        CHECK_EQ(std::string(f.what()), "The number of nearest neighbors can't be less than 1");
    }
    PacmapConfig no_far = driver_config(100);
    no_far.far_pair_ratio = 0.0f;
    CHECK_THROWS_WITH(neighbor_counts(100, no_far, nullptr), LayoutFailure,
                      "The number of far points can't be less than 1");
    PacmapConfig big = driver_config(5);
    big.override_neighbors = 9;
    RecordingSink sink;
    CHECK_EQ(neighbor_counts(5, big, &sink).n_neighbors, std::size_t{9});
    CHECK_EQ(sink.events.size(), std::size_t{1});
    CHECK(sink.events[0].first == LogLevel::Warn);
    CHECK_EQ(sink.events[0].second,
             "Sample size is smaller than n_neighbors. n_neighbors will be reduced.");
}

TEST_CASE("pacmap preprocessing: scaling by the maximum, centring, zero maximum") {
    const float x[] = {1, 2, 3, 4};
    RecordingSink sink;
    auto w = preprocess(x, 2, 2, &sink);
    CHECK(w == (std::vector<float>{-0.25f, -0.25f, 0.25f, 0.25f}));
    CHECK_EQ(sink.events.at(0).second, "x is normalized");
    CHECK_EQ(x[0], 1.0f);                  // the input is only read
    const float neg[] = {-2, -1, -4, -3};  // negative maximum still divides: sign flips
    CHECK(preprocess(neg, 2, 2, nullptr) == (std::vector<float>{-1.0f, -1.0f, 1.0f, 1.0f}));
    // a largest element of 0 only shifts and centres
    const float top_zero[] = {0, -1, -2, -3};
    CHECK(preprocess(top_zero, 2, 2, nullptr) == (std::vector<float>{1, 1, -1, -1}));
    const float zeros[6] = {};
    for (float v : preprocess(zeros, 3, 2, nullptr)) CHECK_EQ(v, 0.0f);
    try {
        preprocess(x, 2, 0, nullptr);
        CHECK(false);
    } catch (const LayoutFailure& f) {
        CHECK(f.kind() == ErrorKind::EmptyMinMax);
    }
}

TEST_CASE("pacmap eight-lane distance matches its defined summation order") {
    auto x = random_matrix(2, 21, 5);
    const float* a = x.data();
    const float* b = x.data() + 21;
    float lanes[8] = {};
    for (int e = 0; e < 16; ++e) lanes[e % 8] += (a[e] - b[e]) * (a[e] - b[e]);
    float total = 0.0f;
    for (float l : lanes) total += l;
    for (int e = 16; e < 21; ++e) total += (a[e] - b[e]) * (a[e] - b[e]);
    CHECK_EQ(pair_distance(a, b, 21), std::sqrt(total));
    CHECK_EQ(pair_distance(a, a, 21), 0.0f);
}

TEST_CASE("pacmap exact candidates equal a brute-force ranking") {
    const std::size_t n = 150, d = 13, k = 12;
    auto x = random_matrix(n, d, 11);
    auto c = exact_knn(x.data(), n, d, k);
    CHECK_EQ(c.k, k);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<float> all;
        for (std::size_t j = 0; j < n; ++j)
            if (j != i) all.push_back(pair_distance(&x[i * d], &x[j * d], d));
        std::sort(all.begin(), all.end());
        std::set<std::uint32_t> seen;
        for (std::size_t p = 0; p < k; ++p) {
            const auto j = c.index[i * k + p];
            CHECK(j != i && seen.insert(j).second);
            CHECK_EQ(c.distance[i * k + p], all[p]);
            CHECK_EQ(c.distance[i * k + p], pair_distance(&x[i * d], &x[j * d], d));
        }
    }
    auto small = exact_knn(x.data(), 4, d, 50);  // fewer samples than asked for
    CHECK_EQ(small.k, std::size_t{3});
}

TEST_CASE("pacmap sigma window over the real candidates") {
    KnnCandidates c;
    c.n = 4;
    c.k = 6;
    c.index.assign(24, 0);
    c.distance = {1, 2, 3, 4, 5, 6,  // six: mean of columns 3..5
                  1, 2, 3, 4, 8, 0,  // five real: columns 3 and 4
                  1, 2, 0, 0, 0, 0,  // two real: column 1 alone
                  0, 0, 0, 0, 0, 0};
    c.filled = {6, 5, 2, 0};
    auto s = candidate_sigma(c);
    CHECK_EQ(s[0], 5.0f);
    CHECK_EQ(s[1], 6.0f);
    CHECK_EQ(s[2], 2.0f);
    CHECK_EQ(s[3], 1e-10f);
    c.filled = {4, 6, 3, 1};
    s = candidate_sigma(c);
    CHECK_EQ(s[0], 4.0f);  // four candidates: the 4th alone
    CHECK_EQ(s[1], 4.0f);  // (4 + 8 + 0) / 3
    CHECK_EQ(s[2], 1e-10f);
    CHECK_EQ(s[3], 1e-10f);  // a zero window floors
}

TEST_CASE("pacmap neighbor pairs: two samples, density scaling, unfilled slots") {
    const float two[] = {0, 0, 3, 4};
    CHECK(nearest_neighbor_pairs(two, 2, 2, 1, 8000, nullptr) == (U{0, 1, 1, 0}));
    CHECK(nearest_neighbor_pairs(two, 2, 2, 10, 8000, nullptr) == (U{0, 1, 1, 0}));

    // Row 0: candidate 1 is nearer, but candidate 2 sits in a much sparser region.
    KnnCandidates c;
    c.n = 3;
    c.k = 2;
    c.index = {1, 2, 0, 2, 0, 1};
    c.distance = {1, 2, 0.5f, 1, 50, 100};
    c.filled = {2, 2, 2};
    CHECK(pair_neighbors_from(c, 1) == (U{0, 2, 1, 2, 2, 0}));

    // Slots the index left empty never pair with sample 0; missing rows pair with self.
    KnnCandidates u;
    u.n = 4;
    u.k = 3;
    u.index = {0, 0, 0, 3, 0, 0, 0, 0, 0, 2, 1, 0};
    u.distance = {0, 0, 0, 2, 0, 0, 0, 0, 0, 1, 2, 3};
    u.filled = {0, 1, 0, 3};
    CHECK(pair_neighbors_from(u, 2) == (U{0, 0, 0, 0, 1, 3, 1, 1, 2, 2, 2, 2, 3, 1, 3, 2}));
}

TEST_CASE("pacmap approximate candidates: no self, sorted, close to exact") {
    const std::size_t n = 400, k = 10;
    // 8 columns use the kernel's last-sixteen step alone; 40 add a full 32-wide step
    for (const std::size_t d : {std::size_t{8}, std::size_t{40}}) {
        auto x = random_matrix(n, d, 3);
        auto a = approximate_knn(x.data(), n, d, k, nullptr);
        auto e = exact_knn(x.data(), n, d, k);
        std::size_t hits = 0;
        for (std::size_t i = 0; i < n; ++i) {
            CHECK_EQ(a.filled[i], std::uint32_t{k});
            std::set<std::uint32_t> found;
            for (std::size_t p = 0; p < k; ++p) {
                const std::uint32_t j = a.index[i * k + p];
                CHECK(j != i);
                // bf16 storage: within its ~3 significant digits of the exact distance
                const float exact = pair_distance(&x[i * d], &x[j * d], d);
                CHECK_NEAR(a.distance[i * k + p], exact, 0.02 * exact);
                found.insert(a.index[i * k + p]);
                if (p > 0) CHECK(a.distance[i * k + p - 1] <= a.distance[i * k + p]);
            }
            for (std::size_t p = 0; p < k; ++p) hits += found.count(e.index[i * k + p]);
        }
        CHECK(hits >= n * k * 9 / 10);
    }
    const std::size_t d = 8;
    auto x = random_matrix(n, d, 3);
    // asking for more than exists leaves slots unfilled rather than inventing sample 0
    auto few = approximate_knn(x.data(), 5, d, 8, nullptr);
    for (std::size_t i = 0; i < 5; ++i) {
        CHECK_EQ(few.filled[i], std::uint32_t{4});
        std::set<std::uint32_t> s(few.index.begin() + i * 8, few.index.begin() + i * 8 + 4);
        CHECK(s.size() == 4 && !s.count(static_cast<std::uint32_t>(i)));
    }
    auto pairs = nearest_neighbor_pairs(x.data(), n, d, 10, 100, nullptr);
    CHECK_EQ(pairs.size(), n * 10 * 2);
    for (std::size_t r = 0; r < pairs.size(); r += 2) CHECK(pairs[r] != pairs[r + 1]);
}

TEST_CASE("pacmap wave graph: same links on every build") {
    // Many waves, clusters that arrive together, and duplicate rows whose distances tie.
    const std::size_t n = 3000, d = 12;
    auto x = random_matrix(n, d, 21);
    for (std::size_t i = 0; i < n; ++i) x[i * d] += static_cast<float>(i / 500) * 8.0f;
    std::copy(x.begin(), x.begin() + 100 * d, x.begin() + 1000 * d);
    const Bf16Rows rows(n, d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t e = 0; e < d; ++e)
            rows.at(i)[e] =
                static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(x[i * d + e]) >> 16);
    WaveGraph a(rows, n, layout_kernels().l2sq_bf16_rows),
        b(rows, n, layout_kernels().l2sq_bf16_rows);
    a.build();
    b.build();
    CHECK_EQ(a.digest(), b.digest());
    // The links are part of every layout's bits: work on the walks must leave them as they are.
    CHECK_EQ(a.digest(), std::uint64_t{0x814f64eaad7b177eULL});
    // Printed for the Python suite, which compares it across worker counts.
    std::printf("graph digest %016llx\n", static_cast<unsigned long long>(a.digest()));
}

TEST_CASE("pacmap mid-near pairs: second closest, few candidates, thread independence") {
    const float line[] = {0, 1, 5};
    CHECK(sample_mid_near_pairs(line, 3, 1, 1, 42) == (U{0, 2, 1, 2, 2, 0}));
    const float two[] = {0, 1};  // one candidate, then none: self-pair
    CHECK(sample_mid_near_pairs(two, 2, 1, 2, 42) == (U{0, 1, 0, 0, 1, 0, 1, 1}));

    const std::size_t n = 300, d = 7, n_mn = 5;
    auto x = random_matrix(n, d, 9);
    auto got = sample_mid_near_pairs(x.data(), n, d, n_mn, 42);
    for (std::size_t i = 0; i < n; ++i) {
        Generator g = seed_generator(42 + i);
        U written;
        for (std::size_t t = 0; t < n_mn; ++t) {
            auto cand = sample_distinct(6, n, IndexView{written.data(), written.size(), 1},
                                        static_cast<std::uint32_t>(i), g);
            CHECK_EQ(cand.size(), std::size_t{6});
            std::stable_sort(cand.begin(), cand.end(), [&](std::uint32_t p, std::uint32_t q) {
                return pair_distance(&x[i * d], &x[p * d], d) <
                       pair_distance(&x[i * d], &x[q * d], d);
            });
            CHECK_EQ(got[(i * n_mn + t) * 2], static_cast<std::uint32_t>(i));
            CHECK_EQ(got[(i * n_mn + t) * 2 + 1], cand[1]);
            written.push_back(cand[1]);
        }
    }
}

TEST_CASE("pacmap far pairs: exclusions, short supply, thread independence") {
    const std::size_t n = 200, nn = 10, n_fp = 20;
    auto x = random_matrix(n, 6, 4);
    auto nb = nearest_neighbor_pairs(x.data(), n, 6, nn, 8000, nullptr);
    auto far = sample_far_pairs(n, nb, nn, n_fp, 42);
    for (std::size_t i = 0; i < n; ++i) {
        Generator g = seed_generator(42 + i);
        auto expect = sample_distinct(n_fp, n, IndexView{nb.data() + i * nn * 2 + 1, nn, 2},
                                      static_cast<std::uint32_t>(i), g);
        std::set<std::uint32_t> seen;
        for (std::size_t p = 0; p < n_fp; ++p) {
            const auto f = far[(i * n_fp + p) * 2 + 1];
            CHECK_EQ(f, expect[p]);
            CHECK(f != i && seen.insert(f).second);
            for (std::size_t q = 0; q < nn; ++q) CHECK(f != nb[(i * nn + q) * 2 + 1]);
        }
    }
    const float two[] = {0, 1};
    auto nb2 = nearest_neighbor_pairs(two, 2, 1, 1, 8000, nullptr);
    CHECK(sample_far_pairs(2, nb2, 1, 2, 42) == U(8, 0));
    auto nb14 = nearest_neighbor_pairs(x.data(), 14, 6, 10, 8000, nullptr);
    auto f14 = partners(sample_far_pairs(14, nb14, 10, 20, 42));
    for (std::size_t i = 0; i < 14; ++i) {
        CHECK(std::count(f14.begin() + i * 20, f14.begin() + i * 20 + 3, 0u) <= (i == 0 ? 0 : 1));
        CHECK(std::all_of(f14.begin() + i * 20 + 3, f14.begin() + i * 20 + 20,
                          [](std::uint32_t v) { return v == 0; }));
    }
}

TEST_CASE("pacmap phase weights and the first Adam step") {
    const std::size_t iters[3] = {100, 100, 250};
    CHECK_EQ(phase_weights(0, iters).mid_near, 1000.0f);
    CHECK_EQ(phase_weights(50, iters).mid_near, 501.5f);
    CHECK_NEAR(phase_weights(99, iters).mid_near, 12.97, 1e-4);
    CHECK_EQ(phase_weights(99, iters).neighbor, 2.0f);
    CHECK_EQ(phase_weights(100, iters).mid_near, 3.0f);
    CHECK_EQ(phase_weights(199, iters).neighbor, 3.0f);
    CHECK_EQ(phase_weights(200, iters).mid_near, 0.0f);
    CHECK_EQ(phase_weights(449, iters).neighbor, 1.0f);
    CHECK_EQ(phase_weights(449, iters).far, 1.0f);

    CHECK_EQ(powi(0.9f, 1), 0.9f);
    CHECK_EQ(powi(2.0f, 10), 1024.0f);
    std::vector<float> y{0, 0, 5, 5}, m(4, 0.0f), v(4, 0.0f);
    const std::vector<float> g{2.0f, -3.0f, 1e-8f, 0.0f, 99.0f, 99.0f};
    adam_step(y, m, v, g, 0, 1.0f);
    CHECK_EQ(m[0], 0.100000024f * 2.0f);
    CHECK_EQ(v[1], 0.0009999871f * 9.0f);
    CHECK_NEAR(y[0], -1.0, 1e-4);  // each coordinate moves by about sign(g)
    CHECK_NEAR(y[1], 1.0, 1e-4);
    CHECK(y[2] > 4.99f && y[2] < 4.999f);  // a tiny gradient is damped by epsilon
    CHECK_EQ(y[3], 5.0f);
}

TEST_CASE("pacmap gradient: worked pair, skipped self-pairs, chunked sums") {
    const std::vector<float> y{0, 0, 3, 4};
    const PairWeights w{5.0f, 2.0f, 1.0f};
    auto g = pacmap_gradient(y, 2, U{0, 1}, U{0, 0, 1, 1}, U{1, 0}, w);
    CHECK_EQ(g.size(), std::size_t{6});
    const double nb = 2.0 * 20 / (36.0 * 36), fp = 2.0 / (27.0 * 27);
    CHECK_NEAR(g[0], nb * -3 + fp * 3, 1e-6);
    CHECK_NEAR(g[3], nb * 4 - fp * 4, 1e-6);
    CHECK_NEAR(g[4], 2.0 * 26 / 36 + 1.0 / 27, 1e-6);
    CHECK_EQ(g[5], 0.0f);
    auto none = pacmap_gradient(y, 2, U{0, 0}, U{1, 1}, U{0, 0, 0, 0}, w);
    for (float v : none) CHECK_EQ(v, 0.0f);

    // Several chunks per kind, with chunks larger and smaller than the layout: the parallel
    // sums agree with a plain double-precision pass. At 500 points every point has more
    // partners than are decoded ahead; at 150,000 only the hub, point 7, has.
    for (const std::size_t n : {500, 150000}) {
        const std::size_t n_pairs = 300000;
        auto pos = random_matrix(n, 2, 21);
        Generator r = seed_generator(8);
        U pairs(n_pairs * 2);
        for (auto& p : pairs) p = r.next_u32() % n;
        for (std::size_t t = 0; t < 3000; ++t) pairs[2 * t + 1] = 7;
        std::vector<double> ref((n + 1) * 2, 0.0);
        for (std::size_t t = 0; t < n_pairs; ++t) {
            const auto i = pairs[2 * t], j = pairs[2 * t + 1];
            if (i == j) continue;
            const double y0 = pos[2 * i] - pos[2 * j], y1 = pos[2 * i + 1] - pos[2 * j + 1];
            const double s = 1 + y0 * y0 + y1 * y1;
            const double c = 2.0 * 20 / ((10 + s) * (10 + s)) - 2 / ((1 + s) * (1 + s));
            ref[2 * i] += c * y0, ref[2 * i + 1] += c * y1;
            ref[2 * j] -= c * y0, ref[2 * j + 1] -= c * y1;
            ref[2 * n] += 2.0 * s / (10 + s) + 1 / (1 + s);
        }
        auto big = pacmap_gradient(pos, 2, pairs, U{}, pairs, PairWeights{0.0f, 2.0f, 1.0f});
        for (std::size_t e = 0; e < 2 * n; ++e) CHECK_NEAR(big[e], ref[e], 1e-2);
        CHECK_NEAR(big[2 * n] / ref[2 * n], 1.0, 1e-4);
        CHECK_EQ(big[2 * n + 1], 0.0f);
    }
}

TEST_CASE("pacmap pair grouping: both sides per point, self rows dropped, any row order") {
    // Grouped as the samplers write them, with a self row and a (0, 0) filler inside 2's block;
    // then interleaved, which must give the same lists.
    const std::vector<U> forward{{1, 2}, {}, {0}, {1}}, backward{{2}, {0, 3}, {0}, {}};
    for (const U& rows : {U{0, 1, 0, 2, 1, 1, 2, 0, 0, 0, 3, 1}, U{2, 0, 0, 1, 3, 1, 1, 1, 0, 2}}) {
        const PairLists g = group_pairs(U(rows), 4);
        for (std::size_t p = 0; p < 4; ++p) {
            CHECK(g.forward_of(p) == forward[p]);
            CHECK(g.backward_of(p) == backward[p]);
        }
    }
    CHECK_THROWS_WITH(group_pairs(U{0, 4}, 4), orvane::InternalFailure, "index out of bounds");

    // At scale, with and without empty slots: every point's sources come back complete and
    // ascending, for lists of every length (point 5 is everyone's first partner, so its low part
    // is empty), repeats and points nobody lists.
    const std::size_t n = 3000, slots = 8;
    Generator r = seed_generator(77);
    for (const bool with_empty : {false, true}) {
        PartnerTable t(n, slots);
        std::vector<U> fw(n), bw(n);
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t s = 0; s < slots; ++s) {
                auto j = static_cast<std::uint32_t>(s == 0 ? 5 : r.next_u32() % (n / 2));
                if (j == p && !with_empty) j = static_cast<std::uint32_t>(n - 1 - p % 2);
                t.set(p, s, j);
                if (j == p) continue;
                fw[p].push_back(j);
                bw[j].push_back(static_cast<std::uint32_t>(p));
            }
        const PairLists g = group_partners(std::move(t));
        CHECK(g.forward_offsets.empty() == !with_empty);
        std::size_t wrong = 0;
        for (std::size_t p = 0; p < n; ++p)
            wrong += g.forward_of(p) != fw[p] || g.backward_of(p) != bw[p];
        CHECK_EQ(wrong, 0u);
    }
}

namespace {

// Rows of n points, per_point random partners each. With fillers about one row in 16 is (0, 0);
// with hubs the first 20,000 points list one of 50 hubs first, whose sources then come in long
// lists of short steps.
U pair_rows(std::size_t n, std::size_t per_point, Generator& r, bool fillers, bool hubs) {
    U out;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t t = 0; t < per_point; ++t) {
            const bool filler = fillers && r.next_u32() % 16 == 0;
            const bool hub = hubs && t == 0 && i < 20000;
            out.push_back(filler ? 0 : static_cast<std::uint32_t>(i));
            out.push_back(filler ? 0 : hub ? static_cast<std::uint32_t>(i % 50) : r.next_u32() % n);
        }
    return out;
}

LayoutPairs grouped(std::size_t n, U neighbor, U mid_near, U far) {
    LayoutPairs p;
    p.n = n;
    p.neighbor = group_pairs(std::move(neighbor), n);
    p.mid_near = group_pairs(std::move(mid_near), n);
    p.far = group_pairs(std::move(far), n);
    return p;
}

// Pairs shaped like the pipeline's: per point 10 neighbor, 5 mid-near and 20 far rows, with
// some (0, 0) fillers among the far ones.
LayoutPairs random_pairs(std::size_t n, std::uint64_t seed) {
    Generator r = seed_generator(seed);
    U neighbor = pair_rows(n, 10, r, false, false), mid_near = pair_rows(n, 5, r, false, false);
    return grouped(n, std::move(neighbor), std::move(mid_near), pair_rows(n, 20, r, true, false));
}

// Enough points that indices take 18 bits: lists of 13 and 3 partners a point, hubs in the
// second kind.
LayoutPairs wide_pairs(std::uint64_t seed) {
    const std::size_t n = (std::size_t{1} << 17) + 3;
    Generator r = seed_generator(seed);
    U neighbor = pair_rows(n, 13, r, false, false), mid_near = pair_rows(n, 3, r, false, true);
    return grouped(n, std::move(neighbor), std::move(mid_near), pair_rows(n, 3, r, false, false));
}

}  // namespace

TEST_CASE("layout kernels: every level this machine has gives the same bits") {
    const LayoutPairs small = random_pairs(2000, 12), wide = wide_pairs(15);
    const auto y = random_matrix(2000, 2, 13);
    // Rows of 21 and 100 floats cover the eight-lane body and its tail; bf16 rows of 48 and 112
    // cover the 32-wide step and the last sixteen.
    const auto x = random_matrix(64, 100, 14);
    std::vector<std::uint16_t> h(64 * 112);
    for (std::size_t e = 0; e < h.size(); ++e)
        h[e] =
            static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(x[e % x.size()] * 3.0f) >> 16);
    const LayoutKernels& base = layout_kernels(orvane::simd::Level::baseline);
    std::size_t coded = 0;
    for (const orvane::simd::Level level : orvane::simd::available()) {
        const LayoutKernels& k = layout_kernels(level);
        for (const LayoutPairs* pairs : {&small, &wide}) {
            const auto places = pairs == &small ? y : random_matrix(pairs->n, 2, 16);
            for (const PairWeights w :
                 {PairWeights{501.5f, 2.0f, 1.0f}, PairWeights{0.0f, 1.0f, 1.0f}}) {
                const auto g = pacmap_gradient(places, *pairs, w, level);
                const auto g0 = pacmap_gradient(places, *pairs, w, orvane::simd::Level::baseline);
                CHECK(std::memcmp(g.data(), g0.data(), g.size() * sizeof(float)) == 0);
                CHECK(g[2 * pairs->n] > 0.0f);
            }
        }
        for (std::size_t i = 0; i + 1 < 64; ++i) {
            for (const std::size_t d : {21, 100})
                CHECK_EQ(std::bit_cast<std::uint32_t>(
                             k.pair_distance(&x[i * 100], &x[(i + 1) * 100], d)),
                         std::bit_cast<std::uint32_t>(
                             base.pair_distance(&x[i * 100], &x[(i + 1) * 100], d)));
        }
        // Whole groups of four rows and the rest, each row at any place in its group.
        std::vector<std::uint32_t> slots(63);
        for (std::size_t i = 0; i < slots.size(); ++i)
            slots[i] = static_cast<std::uint32_t>(i * 37 % 64);
        for (const std::size_t stride : {16, 48, 112}) {
            float got[63], want[63];
            k.l2sq_bf16_rows(&h[stride], h.data(), stride, slots.data(), slots.size(), got);
            base.l2sq_bf16_rows(&h[stride], h.data(), stride, slots.data(), slots.size(), want);
            CHECK(std::memcmp(got, want, sizeof got) == 0);
            for (std::size_t r = 0; r < 5; ++r) {
                float one;
                k.l2sq_bf16_rows(&h[stride], h.data(), stride, &slots[r], 1, &one);
                CHECK_EQ(std::bit_cast<std::uint32_t>(one), std::bit_cast<std::uint32_t>(got[r]));
            }
        }
        // The screen: its products within f32 rounding of the float64 ones, its passes in order
        // and exactly those whose lower end, from its own product, reaches the point's reach.
        // Lane 0 reaches nothing (a padding point), lane 1 everything, the others about half of
        // the rows; 61 and 99 rows give whole tiles and a tail.
        for (const std::size_t d : {21, 100}) {
            const std::size_t w = d == 21 ? 99 : 61;
            const auto rows = random_matrix(w, d, 17);
            std::vector<float> group(kScreenGroup * d), a(w), b(kScreenGroup), reach(kScreenGroup);
            std::vector<double> dot64(w * kScreenGroup), mass(w * kScreenGroup);
            for (std::size_t l = 0; l < kScreenGroup; ++l) {
                for (std::size_t c = 0; c < d; ++c) group[c * kScreenGroup + l] = x[l * 100 + c];
                for (std::size_t c = 0; c < d; ++c) b[l] += x[l * 100 + c] * x[l * 100 + c];
            }
            for (std::size_t j = 0; j < w; ++j) {
                for (std::size_t c = 0; c < d; ++c) a[j] += rows[j * d + c] * rows[j * d + c];
                for (std::size_t l = 0; l < kScreenGroup; ++l) {
                    for (std::size_t c = 0; c < d; ++c) {
                        const double t = double{x[l * 100 + c]} * rows[j * d + c];
                        dot64[j * kScreenGroup + l] += t;
                        mass[j * kScreenGroup + l] += std::fabs(t);
                    }
                }
            }
            const auto lower64 = [&](std::size_t j, std::size_t l) {
                return (double{b[l]} + a[j]) - 2.0 * dot64[j * kScreenGroup + l];
            };
            for (std::size_t l = 0; l < kScreenGroup; ++l) {
                reach[l] = l == 0   ? -INFINITY
                           : l == 1 ? INFINITY
                                    : static_cast<float>(lower64(l * 7 % w, l));
            }
            std::vector<ScreenPass> out(kScreenGroup * w);
            const std::size_t m = k.screen_products(group.data(), rows.data(), w, d, a.data(),
                                                    b.data(), reach.data(), out.data());
            // |fl(p.x) - p.x| <= g sum |p_c x_c|, g = d u / (1 - d u), however the sum is taken;
            // summed from -a / 2, and a / 2 added back, within (g + u)(sum |p_c x_c| + a).
            const double g = (d + 1) * 0x1.0p-24 / (1.0 - (d + 1) * 0x1.0p-24);
            std::vector<char> seen(w * kScreenGroup, 0);
            std::size_t last = 0, inner = 0;
            for (std::size_t e = 0; e < m; ++e) {
                const std::size_t j = out[e].row, l = out[e].lane, at = j * kScreenGroup + l;
                CHECK((j < w && l < kScreenGroup));
                if (j >= w || l >= kScreenGroup) continue;
                CHECK((e == 0 || at > last));
                last = at;
                seen[at] = 1;
                CHECK(std::fabs(out[e].dot - dot64[at]) <= g * (mass[at] + a[j]));
                CHECK(((b[l] + a[j]) - 2.0f * out[e].dot) <= reach[l]);
                inner += l > 1;
            }
            for (std::size_t j = 0; j < w; ++j) {
                for (std::size_t l = 0; l < kScreenGroup; ++l) {
                    const std::size_t at = j * kScreenGroup + l;
                    if (seen[at]) continue;
                    // Missed: its own f32 lower end is above the reach, so the float64 one is
                    // at most its rounding below.
                    const double slack = 2.0 * g * (mass[at] + a[j]) +
                                         0x1.0p-22 * (b[l] + a[j] + 2.0 * std::fabs(dot64[at]));
                    CHECK(l != 1);
                    CHECK(lower64(j, l) > double{reach[l]} - slack);
                }
            }
            CHECK(inner > w);
            CHECK(inner < (kScreenGroup - 2) * w - w);
        }
        // The screen on codes, where the level has one: its passes in order, exactly those
        // whose sum reaches the point's least, each with its exact sum. Lane 0 passes nothing,
        // lane 1 everything, the others about half of the 37 rows (two tiles and a tail).
        if (k.screen_codes != nullptr) {
            ++coded;
            std::uint64_t state = 99;
            const auto next = [&] {
                state = state * 6364136223846793005ULL + 1442695040888963407ULL;
                return static_cast<std::uint32_t>(state >> 33);
            };
            for (const std::size_t quads : {3, 11}) {
                constexpr std::size_t w = 37, G = kScreenGroup;
                std::vector<std::uint8_t> group(64 * quads);
                // Rows in tiles of 16, the last padded with values that must not count.
                std::vector<std::int8_t> rows(4 * quads * 48);
                std::vector<std::int32_t> start(48), least(G);
                for (auto& u : group) u = static_cast<std::uint8_t>(next());
                for (auto& v : rows) v = static_cast<std::int8_t>(next());
                for (auto& s : start) s = static_cast<std::int32_t>(next() % 2000001) - 1000000;
                std::vector<std::int64_t> sum(w * G);
                for (std::size_t j = 0; j < w; ++j) {
                    for (std::size_t l = 0; l < G; ++l) {
                        sum[j * G + l] = start[j];
                        for (std::size_t c = 0; c < 4 * quads; ++c)
                            sum[j * G + l] +=
                                std::int64_t{group[64 * (c / 4) + 4 * l + c % 4]} *
                                rows[64 * quads * (j / 16) + 64 * (c / 4) + 4 * (j % 16) + c % 4];
                    }
                }
                for (std::size_t l = 0; l < G; ++l)
                    least[l] = l == 0   ? std::numeric_limits<std::int32_t>::max()
                               : l == 1 ? std::numeric_limits<std::int32_t>::min()
                                        : static_cast<std::int32_t>(sum[l * 5 % w * G + l]);
                std::vector<CodePass> out(G * w);
                const std::size_t m = k.screen_codes(group.data(), rows.data(), w, quads,
                                                     start.data(), least.data(), out.data());
                std::size_t e = 0, inner = 0;
                for (std::size_t j = 0; j < w; ++j) {
                    for (std::size_t l = 0; l < G; ++l) {
                        if (sum[j * G + l] < least[l]) continue;
                        CHECK(e < m);
                        if (e >= m) break;
                        CHECK(
                            (out[e].row == j && out[e].lane == l && out[e].sum == sum[j * G + l]));
                        ++e;
                        inner += l > 1;
                    }
                }
                CHECK_EQ(e, m);
                CHECK((inner > w && inner < (G - 2) * w - w));
            }
        }
        // Walks: eight points of one neighbour run and two far runs, but the sixth with one
        // far run (its second padded weightless): each lands where it lands walking alone, at
        // every level, and moves.
        std::vector<float> runs(3 * 24);
        for (std::size_t e = 0; e < runs.size(); ++e) runs[e] = y[e] * (e % 24 < 16 ? 1.0f : 0.1f);
        const auto lane_pairs = [&](std::size_t p, std::size_t lanes, std::size_t far) {
            std::vector<float> out(3 * 24 * kWalkLanes, 0.0f);
            for (std::size_t r = 0; r < 1 + far; ++r)
                for (std::size_t l = 0; l < 8; ++l)
                    for (std::size_t c = 0; c < 3; ++c)
                        out[3 * kWalkLanes * (8 * r + l) + c * kWalkLanes + p % lanes] =
                            runs[24 * r + 8 * c + l];
            return out;
        };
        const WalkStep steps[3] = {{1.0f, 1.0f, 0.1f, 0.0316f},
                                   {1.0f, 1.0f, 0.19f, 0.0447f},
                                   {1.0f, 1.0f, 0.271f, 0.0547f}};
        const auto start = [](std::size_t p) {
            return std::pair{0.1f * static_cast<float>(p) - 0.2f,
                             0.5f - 0.3f * static_cast<float>(p)};
        };
        WalkGroup together{};
        std::vector<float> pairs(3 * 24 * kWalkLanes, 0.0f);
        for (std::size_t p = 0; p < kWalkLanes; ++p) {
            const auto lane = lane_pairs(p, kWalkLanes, p == 5 ? 1 : 2);
            for (std::size_t e = p; e < pairs.size(); e += kWalkLanes) pairs[e] = lane[e];
            std::tie(together.pos[0][p], together.pos[1][p]) = start(p);
            together.learning_rate[p] = 0.01f * static_cast<float>(p + 1);
        }
        together.neighbor_runs = 1;
        together.runs = 3;
        together.pairs = pairs.data();
        k.walk(together, steps, 3);
        for (std::size_t p = 0; p < kWalkLanes; ++p) {
            const auto lane = lane_pairs(0, 1, p == 5 ? 1 : 2);
            WalkGroup alone{};
            std::tie(alone.pos[0][0], alone.pos[1][0]) = start(p);
            alone.learning_rate[0] = 0.01f * static_cast<float>(p + 1);
            alone.neighbor_runs = 1;
            alone.runs = p == 5 ? 2 : 3;
            alone.pairs = lane.data();
            base.walk(alone, steps, 3);
            CHECK(together.pos[0][p] == alone.pos[0][0]);
            CHECK(together.pos[1][p] == alone.pos[1][0]);
            CHECK(together.pos[0][p] != start(p).first);
        }
    }
    // The codes' screen is the AVX-512 copy's where the processor has VNNI, and nowhere else.
    CHECK_EQ(coded, orvane::simd::avx512_vnni() ? std::size_t{1} : std::size_t{0});
}

TEST_CASE("pacmap far pairs drawn again: the sources, gradients and layouts of held ones") {
    // Neighbours with empty slots and a hub: point 5 is everyone's first, so its lists are more
    // than the gradient decodes ahead.
    const std::size_t n = 3000, nn = 10, n_far = 20;
    Generator r = seed_generator(31);
    PartnerTable table(n, nn);
    for (std::size_t p = 0; p < n; ++p)
        for (std::size_t s = 0; s < nn; ++s)
            table.set(p, s,
                      s == 0                        ? 5
                      : (s == nn - 1 && p % 7 == 0) ? static_cast<std::uint32_t>(p)
                                                    : r.next_u32() % n);
    LayoutPairs held, drawn;
    held.n = drawn.n = n;
    held.far = group_partners(sample_far_partners(table, n_far, 9));
    held.neighbor = group_partners(PartnerTable(table));
    drawn.neighbor = group_partners(std::move(table));
    U mid_near = pair_rows(n, 5, r, false, false);
    held.mid_near = group_pairs(U(mid_near), n);
    drawn.mid_near = group_pairs(std::move(mid_near), n);
    drawn.far_draws = {true, n, nn, n_far, 9};
    drawn.far = group_far_draws(drawn.neighbor, drawn.far_draws);
    CHECK_EQ(drawn.far.forward.points(), 0u);
    std::size_t wrong = 0;
    for (std::size_t p = 0; p < n; ++p)
        wrong += held.far.backward_of(p) != drawn.far.backward_of(p);
    CHECK_EQ(wrong, 0u);
    const auto y = random_matrix(n, 2, 32);
    for (const orvane::simd::Level level : orvane::simd::available())
        for (const PairWeights w :
             {PairWeights{501.5f, 2.0f, 1.0f}, PairWeights{0.0f, 1.0f, 1.0f}}) {
            const auto a = pacmap_gradient(y, held, w, level),
                       b = pacmap_gradient(y, drawn, w, level);
            CHECK(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
        }
    // Whole layouts: too few points for every far partner, empty neighbour slots, and plenty.
    for (const std::size_t m : {4, 14, 1500}) {
        const auto x = random_matrix(m, 7, 33);
        PacmapConfig config = driver_config(m);
        const auto a = run_pacmap(x.data(), m, 7, config, nullptr);
        config.far_draws_from = 0;
        const auto b = run_pacmap(x.data(), m, 7, config, nullptr);
        CHECK(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
    }
    // The drawing's progress ends with the pass that counts: the grouping's is current again
    // while the far sources are built.
    struct Stages final : orvane::stop::Watcher {
        std::vector<std::pair<std::string, bool>> seen;
        bool keep_going(const orvane::stop::Snapshot* p, bool final) override {
            if (p) seen.emplace_back(p->what, final);
            return true;
        }
        std::chrono::steady_clock::duration poll_interval() const override { return {}; }
    } stages;
    {
        const orvane::stop::Scope scope(stages);
        const auto x = random_matrix(1500, 7, 33);
        PacmapConfig config = driver_config(1500);
        config.far_draws_from = 0;
        run_pacmap(x.data(), 1500, 7, config, nullptr);
    }
    using Seen = std::pair<std::string, bool>;
    const auto counted =
        std::find(stages.seen.begin(), stages.seen.end(), Seen{"layout far pairs", true});
    CHECK(counted != stages.seen.end());
    CHECK(std::find(counted, stages.seen.end(), Seen{"layout pair lists", false}) !=
          stages.seen.end());
}

TEST_CASE("pacmap optimiser on fixed pairs: same bits on every run") {
    const std::size_t n = 3000, iters[3] = {100, 100, 250};
    const LayoutPairs pairs = random_pairs(n, 5);
    const auto start = random_matrix(n, 2, 6);
    auto a = start, b = start;
    optimise(a, pairs, iters, 1.0f, nullptr);
    optimise(b, pairs, iters, 1.0f, nullptr);
    CHECK(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
    CHECK(a != start);
    // Printed for the Python suite, which compares it across worker counts.
    std::uint64_t h = 14695981039346656037ULL;
    for (const unsigned char c : std::string(reinterpret_cast<const char*>(a.data()), a.size() * 4))
        h = (h ^ c) * 1099511628211ULL;
    std::printf("layout digest %016llx\n", static_cast<unsigned long long>(h));
}

TEST_CASE("pacmap number formatting of log events") {
    CHECK_EQ(format_loss(1e-7f), "0.0000001");
    CHECK_EQ(format_loss(1234.5f), "1234.5");
    CHECK_EQ(format_loss(3.0f), "3");
    CHECK_EQ(format_loss(0.1f), "0.1");
    using namespace std::chrono;
    CHECK_EQ(format_elapsed(milliseconds(1530)), "1.53s");
    CHECK_EQ(format_elapsed(microseconds(845200)), "845.20ms");
    CHECK_EQ(format_elapsed(nanoseconds(12345)), "12.35\u00b5s");
    CHECK_EQ(format_elapsed(nanoseconds(7)), "7.00ns");
}

TEST_CASE("pacmap run end to end: events, separated clusters, errors") {
    const std::size_t n = 40, d = 5;
    auto x = random_matrix(n, d, 17);
    for (std::size_t i = n / 2; i < n; ++i) x[i * d] += 40.0f;  // two far-apart clusters
    RecordingSink sink;
    auto out = run_pacmap(x.data(), n, d, driver_config(n), &sink);
    const auto& y = out;
    CHECK_EQ(y.size(), 2 * n);
    for (float v : y) CHECK(std::isfinite(v));
    const auto& ev = sink.events;
    CHECK_EQ(ev.size(), std::size_t{3 + 1 + 45 + 1});
    CHECK_EQ(ev[0].second, "x is normalized");
    CHECK(ev[1].first == LogLevel::Info && ev[1].second == "Finding pairs");
    CHECK_EQ(ev[2].second, "Pair shapes: neighbors [400, 2], MN [200, 2], FP [800, 2]");
    CHECK(ev[3].second.rfind("Initial Loss: ", 0) == 0);
    CHECK(ev[3].second.find('e') == std::string::npos);
    CHECK(ev[4].second.rfind("Iteration:   10, Loss: ", 0) == 0);
    CHECK(ev[48].second.rfind("Iteration:  450, Loss: ", 0) == 0);
    CHECK(ev[49].second.rfind("Elapsed time: ", 0) == 0);
    // each point's nearest point in the plane comes from its own cluster
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t best = i == 0 ? 1 : 0;
        for (std::size_t j = 0; j < n; ++j)
            if (j != i &&
                pair_distance(&y[2 * i], &y[2 * j], 2) < pair_distance(&y[2 * i], &y[2 * best], 2))
                best = j;
        CHECK_EQ(i < n / 2, best < n / 2);
    }
    try {
        run_pacmap(x.data(), 1, d, driver_config(1), &sink);
        CHECK(false);
    } catch (const LayoutFailure& f) {
        CHECK_EQ(std::string(f.what()), "Sample size must be larger than one");
    }
    try {
        run_pacmap(x.data(), 2, 0, driver_config(2), nullptr);
        CHECK(false);
    } catch (const LayoutFailure& f) {
        CHECK(f.kind() == ErrorKind::EmptyMinMax);
        CHECK_EQ(std::string(f.what()), "Failed to compute min or max of X: the array is empty");
    }

    const std::vector<float> zeros(6 * 3, 0.0f);  // zero maximum and tiny sample sizes
    for (std::size_t m : {2, 3, 4, 6}) {
        const auto ym = run_pacmap(zeros.data(), m, 3, driver_config(m), nullptr);
        CHECK_EQ(ym.size(), 2 * m);
        for (float v : ym) CHECK(std::isfinite(v));
    }
}
