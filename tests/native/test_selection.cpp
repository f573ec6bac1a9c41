#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <limits>
#include <optional>
#include <string>

#include "src/selection/combination_selection.hpp"
#include "src/common/failure.hpp"
#include "src/selection/kernels.hpp"
#include "src/selection/screen_margin.hpp"
#include "tests/native/check.hpp"

using namespace orvane;

namespace {

EmbeddingRows rows(std::initializer_list<std::initializer_list<float>> values) {
    EmbeddingRows r;
    for (auto& row : values) r.append_row(std::vector<float>(row));
    return r;
}

EmbeddingMatrix matrix(std::initializer_list<std::initializer_list<float>> values) {
    EmbeddingMatrix m;
    m.rows = values.size();
    m.cols = values.begin()->size();
    for (auto& row : values) m.data.insert(m.data.end(), row.begin(), row.end());
    return m;
}

std::string joined(const std::vector<std::size_t>& v) {
    std::string s;
    for (std::size_t x : v) s += (s.empty() ? "" : ",") + std::to_string(x);
    return s;
}

std::string run(CombinationSelection& sel, std::vector<std::size_t> pre, std::size_t n,
                std::size_t k) {
    return joined(sel.run_selection(pre, n, k));
}

// Every sample's potential at this point of a run, through the strategy's own step.
template <SelectionStrategy S>
std::vector<float> potentials(const S& s) {
    std::vector<float> out(s.sample_count());
    s.potentials_range(s.prepare_step(), 0, out);
    return out;
}

DiversifyingStrategy line_of_three(std::optional<float> stop = std::nullopt) {
    return DiversifyingStrategy(rows({{0, 0}, {1, 0}, {3, 0}}), stop, 1.0f);
}

}  // namespace

TEST_CASE("selection loop without strategies: order, preselection, duplicates, bounds") {
    CombinationSelection sel;
    CHECK_EQ(run(sel, {2}, 5, 4), "2,0,1,3");
    CHECK_EQ(run(sel, {4, 4, 1}, 5, 2), "4,4,1");  // already long enough: returned as given
    CHECK_EQ(run(sel, {}, 0, 0), "");
    CHECK_THROWS_WITH(sel.run_selection({}, 0, 1), InternalFailure,
                      "called `Option::unwrap()` on a `None` value");
}

TEST_CASE("asking for more than can be chosen ends once every sample is in the result") {
    CombinationSelection sel;
    CHECK_EQ(run(sel, {1}, 3, 10), "1,0,2");
    CHECK_EQ(run(sel, {1, 1}, 2, 5), "1,1,0");
    CHECK_EQ(run(sel, {0, 1}, 2, 5), "0,1");
}

TEST_CASE(
    "weighting past 64 times its largest weight: terms relative to the sum, screened safely") {
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> weights(6000);
    for (float& w : weights) w = u(gen);
    weights[17] = std::numeric_limits<float>::quiet_NaN();
    weights[18] = 0.0f;
    for (const float strength : {1.0f, -0.7f}) {
        WeightingStrategy w(weights, strength);
        CHECK(!w.prepare_step().relative);
        for (std::size_t i = 100; i < 300; ++i) w.inform(i);
        const auto step = w.prepare_step();
        CHECK(step.relative && step.s == w.accumulated());
        // Each exact term is strength * log1p(w / S), and the screen's term lies within the
        // margin of it; the block bounds hold every term.
        std::vector<float> score(weights.size(), 0.0f), magnitude(score.size(), 0.0f),
            width(score.size(), 0.0f), work(score.size());
        w.screen_terms(step, 0, score, magnitude, width, work, selection_kernels());
        const step::ScreenMargin margin(1);
        std::vector<unsigned char> taken(weights.size(), 0);
        WeightingStrategy::Bounds bounds(w, weights.size(), 1);
        bounds.refresh(0, 0, weights.size(), taken.data());
        const step::Range range = bounds.range(0, step);
        bool within = true;
        for (std::size_t i = 0; i < weights.size(); ++i) {
            const float exact = w.exact_term(step, i, 0.0f);
            const float want = i == 17 ? strength * (std::log(1e-8f) - std::log(step.s))
                                       : strength * std::log1p(weights[i] / step.s);
            within = within && exact == want && range.lo <= exact && exact <= range.hi &&
                     std::fabs(exact - score[i]) <= margin(magnitude[i], width[i]);
        }
        CHECK(within);
    }
}

TEST_CASE("weighting: log potentials, floor for zero and NaN, NaN scores") {
    CombinationSelection sel;
    sel.add(WeightingStrategy({1, 5, 3}, 1.0f));
    CHECK_EQ(run(sel, {}, 3, 3), "1,2,0");

    WeightingStrategy w({1, 5, 3}, 1.0f);
    w.inform(1);
    CHECK(potentials(w) == std::vector<float>({6, 10, 8}));
    CHECK_THROWS_WITH(
        w.inform(3), InternalFailure,
        "The index of the selected_sample (3) is bigger than the number of samples (3)");
    CHECK_EQ(w.accumulated(), 5.0f);

    // 0, a tiny positive and a NaN potential all floor to 1e-8 and tie: lowest index wins.
    CombinationSelection floor;
    floor.add(WeightingStrategy({0.0f, 1e-9f, std::nanf("")}, 1.0f));
    CHECK_EQ(run(floor, {}, 3, 1), "0");

    // strength 0 times ln(inf) is a NaN score: fatal only when a comparison happens.
    const float inf = std::numeric_limits<float>::infinity();
    CombinationSelection one;
    one.add(WeightingStrategy({inf}, 0.0f));
    CHECK_EQ(run(one, {}, 1, 1), "0");
    CombinationSelection two;
    two.add(WeightingStrategy({1.0f, inf}, 0.0f));
    CHECK_THROWS_WITH(two.run_selection({}, 2, 1), InternalFailure,
                      "called `Option::unwrap()` on a `None` value");
}

TEST_CASE("balancing: cross-entropy potentials, mismatch and bounds messages") {
    BalancingStrategy b(matrix({{1, 0}, {0, 1}, {1, 0}}), {0.5f, 0.5f}, 1.0f);
    auto p = potentials(b);
    CHECK_NEAR(p[0], 0.08686, 1e-4);
    CHECK(p[0] == p[1] && p[1] == p[2]);
    b.inform(0);
    p = potentials(b);
    CHECK_NEAR(p[1], 1.4427, 1e-4);
    CHECK_NEAR(p[2], 0.08686, 1e-4);
    CHECK_THROWS_WITH(b.inform(3), InternalFailure, "assertion failed: index < dim");

    CombinationSelection sel;
    sel.add(BalancingStrategy(matrix({{1, 0}, {0, 1}, {1, 0}}), {0.5f, 0.5f}, 1.0f));
    CHECK_EQ(run(sel, {}, 3, 2), "0,1");
    // The state persists: the next run starts from class totals [1, 1].
    CHECK_EQ(run(sel, {}, 3, 1), "0");
    CHECK_EQ(run(sel, {}, 3, 1), "1");

    CHECK_THROWS_WITH(BalancingStrategy(matrix({{1, 0, 0}}), {0.5f, 0.5f}, 1.0f), InternalFailure,
                      "called `Result::unwrap()` on an `Err` value: DimensionMismatch(3, 2)");
}

TEST_CASE("diversifying: minimum distances, diversity sum and stopping distance") {
    auto d = line_of_three();
    CHECK(potentials(d) == std::vector<float>(3, 1e8f));
    d.inform(0);
    CHECK(potentials(d) == std::vector<float>({1e8f, 0.5f, 4.5f}));
    CHECK_EQ(d.selected_set_diversity(), 0.0f);
    d.inform(2);
    CHECK(d.min_distances() == std::vector<float>({4.5f, 0.5f, 4.5f}));
    CHECK_EQ(d.selected_set_diversity(), 9.0f);
    d.inform(2);  // a repeat counts twice
    CHECK_EQ(d.selected_set_diversity(), 13.5f);
    CHECK_THROWS_WITH(
        d.should_stop(3), InternalFailure,
        "The index of the candidate_index (3) is bigger than the number of samples (3)");

    CombinationSelection plain;
    plain.add(line_of_three());
    CHECK_EQ(run(plain, {}, 3, 3), "0,2,1");

    CombinationSelection stopping;
    stopping.add(line_of_three(1.5f));
    CHECK_EQ(run(stopping, {0}, 3, 3), "0,2");

    // A threshold above the 1e8 start value stops before the first choice.
    CombinationSelection far;
    far.add(line_of_three(20000.0f));
    CHECK_EQ(run(far, {}, 3, 2), "");
}

TEST_CASE("state carries across runs; earlier picks are eligible again") {
    CombinationSelection sel;
    sel.add(line_of_three());
    CHECK_EQ(run(sel, {}, 3, 1), "0");
    // Sample 0, the only one informed, still holds the 1e8 start value and wins again. Informed
    // twice, it counts twice: S = 2e8 absorbs the small distances in f32 and sample 1 wins the tie.
    CHECK_EQ(run(sel, {}, 3, 2), "0,1");
}

TEST_CASE(
    "strategies over ranges of the samples, told each other's picks, keep the whole's state") {
    // Samples 0-2 in one range, 3-4 in the other; picks from both, one repeated.
    WeightingStrategy w({0.5f, 0.25f, 3.0f, 1e-3f, 7.0f}, 1.0f);
    WeightingStrategy w_low({0.5f, 0.25f, 3.0f}, 1.0f), w_high({1e-3f, 7.0f}, 1.0f);
    auto classes = [](std::size_t begin, std::size_t end) {
        EmbeddingMatrix m;
        m.cols = 3;
        for (std::size_t i = begin; i < end; ++i) {
            for (std::size_t k = 0; k < 3; ++k) m.data.push_back(0.1f * float((i * 7 + k) % 5));
        }
        m.rows = end - begin;
        return m;
    };
    BalancingStrategy b(classes(0, 5), {0.2f, 0.3f, 0.5f}, 1.0f);
    BalancingStrategy b_low(classes(0, 3), {0.2f, 0.3f, 0.5f}, 1.0f);
    BalancingStrategy b_high(classes(3, 5), {0.2f, 0.3f, 0.5f}, 1.0f);
    DiversifyingStrategy d(rows({{0, 0}, {1, 0}, {3, 0}, {0, 2}, {5, 5}}), std::nullopt, 1.0f);
    DiversifyingStrategy d_low(rows({{0, 0}, {1, 0}, {3, 0}}), std::nullopt, 1.0f);
    DiversifyingStrategy d_high(rows({{0, 2}, {5, 5}}), std::nullopt, 1.0f);
    auto tell = [](auto& whole, auto& low, auto& high, std::size_t i) {
        whole.inform(i);
        if (i < 3) {
            const auto pick = low.pick(i);
            low.inform(i, pick);
            high.inform(kElsewhere, pick);
        } else {
            const auto pick = high.pick(i - 3);
            high.inform(i - 3, pick);
            low.inform(kElsewhere, pick);
        }
    };
    for (std::size_t i : {4, 1, 3, 1}) {
        tell(w, w_low, w_high, i);
        tell(b, b_low, b_high, i);
        tell(d, d_low, d_high, i);
        CHECK(w_low.accumulated() == w.accumulated() && w_high.accumulated() == w.accumulated());
        CHECK(b_low.class_totals() == b.class_totals() &&
              b_high.class_totals() == b.class_totals());
        std::vector<float> minima = d_low.min_distances();
        minima.insert(minima.end(), d_high.min_distances().begin(), d_high.min_distances().end());
        CHECK(minima == d.min_distances());
    }
    // A pick from elsewhere is no selection of a range's own.
    CHECK(d_low.selected() == std::vector<std::size_t>({1, 1}));
    CHECK_THROWS_WITH(w_low.inform(3, w_high.pick(0)), InternalFailure,
                      "selected_sample (3) is bigger than the number of samples (3)");
    CHECK_THROWS_WITH(b_low.inform(kElsewhere, {{0.5f}}), InternalFailure, "1 entries for 3");
}

TEST_CASE("subpart folds: mean from -0.0, max by total order, out-of-range object") {
    const std::vector<std::size_t> both{0, 1};
    const std::vector<float> zeros{-0.0f, 0.0f};
    CHECK(!std::signbit(fold_max(both, zeros, -0.0f)));
    CHECK(std::signbit(fold_mean(both, std::vector<float>{-0.0f, -0.0f}, -0.0f)));
    const std::vector<float> inf_and_nan{std::numeric_limits<float>::infinity(), std::nanf("")};
    CHECK(std::isnan(fold_max(both, inf_and_nan, 0.0f)));
    CHECK_EQ(fold_mean(std::vector<std::size_t>{0, 0, 1}, std::vector<float>{1, 4}, 1.0f), 3.0f);
    CHECK_EQ(fold_max(std::vector<std::size_t>{}, zeros, 5.0f), 0.0f);
    CHECK_THROWS_WITH(fold_mean(std::vector<std::size_t>{2}, zeros, 0.0f), InternalFailure,
                      "index out of bounds: the len is 2 but the index is 2");
}

TEST_CASE("subpart similarity: max fold over exp of the object scores, accumulated sum") {
    // Distances 0, 1, 3 to the single query, mean 4/3: scores -0, -0.75, -2.25, held as their
    // exponentials, so that a sample near a query has the larger potential.
    SubpartSimilarityStrategy s(rows({{0}, {1}, {3}}), rows({{0}}), {{0, 2}, {1}, {}}, 1.0f);
    const float e1 = std::exp(-0.75f), e2 = std::exp(-2.25f);
    CHECK(s.object_scores() == std::vector<float>({1.0f, e1, e2}));
    auto p = potentials(s);
    CHECK(p == std::vector<float>({1.0f, e1, 0.0f}));
    CHECK(!std::signbit(p[2]));
    s.inform(1);
    CHECK(potentials(s) == std::vector<float>({1.0f + e1, e1 + e1, 0.0f}));

    // An object out of range fails after the objects before it were added.
    SubpartSimilarityStrategy bad(rows({{0}, {1}, {3}}), rows({{0}}), {{1, 9}}, 1.0f);
    CHECK_THROWS_WITH(
        bad.inform(0), InternalFailure,
        "The index of the selected_sample (9) is bigger than the number of samples (3)");
    CHECK_EQ(bad.accumulated(), e1);
    // Indices are kept as given when one is too wide for 4 bytes.
    const std::size_t huge = std::size_t{1} << 33;
    SubpartSimilarityStrategy wide(rows({{0}, {1}, {3}}), rows({{0}}), {{0, 2}, {huge}}, 1.0f);
    wide.inform(0);
    CHECK_EQ(wide.accumulated(), 1.0f + e2);
    CHECK_THROWS_WITH(wide.inform(1), InternalFailure, "selected_sample (8589934592)");
    CHECK_THROWS_WITH(potentials(wide), InternalFailure, "the index is 8589934592");
    CHECK_THROWS_WITH(SubpartSimilarityStrategy(EmbeddingRows{}, rows({{0}}), {}, 1.0f),
                      InternalFailure, "Empty list of key_embeddings is not supported");
}

TEST_CASE("subpart typicality: empty samples never stop, full samples below the minimum do") {
    SubpartTypicalityStrategy t(rows({{0}, {1}}), {{0, 1}, {}}, 1.0f, 3, 0.9f);
    CHECK_NEAR(t.object_scores()[0], std::exp(-1.0), 1e-6);
    CHECK(t.should_stop(0));
    CHECK(!t.should_stop(1));
    CHECK_THROWS_WITH(t.should_stop(2), InternalFailure, "candidate_index (2)");

    CombinationSelection sel;
    sel.add(SubpartTypicalityStrategy(rows({{0}, {1}}), {{0, 1}, {}}, 1.0f, 3, 0.9f));
    CHECK_EQ(run(sel, {}, 2, 2), "");  // sample 0 is the best candidate and stops the run
    CHECK_EQ(run(sel, {0}, 2, 2), "0,1");
    CHECK_THROWS_WITH(SubpartTypicalityStrategy(rows({{0}}), {{0}}, 1.0f, 1, std::nullopt),
                      InternalFailure, "At least 2 embeddings are required");
}

TEST_CASE("subpart diversifying: objects of one sample inform each other") {
    // Objects at 0, 2 and 5 on a line; sample 0 holds the first two.
    auto objects = [] { return rows({{0}, {2}, {5}}); };
    SubpartDiversifyingStrategy d(objects(), {{0, 1}, {2}}, 1.0f, 3.0f);
    d.inform(0);
    CHECK_EQ(d.objects().selected_set_diversity(), 4.0f);
    CHECK(potentials(d) == std::vector<float>({6.0f, 8.5f}));
    CHECK(!d.should_stop(1));  // 4.5 is not below the threshold 4.5
    SubpartDiversifyingStrategy closer(objects(), {{0, 1}, {2}}, 1.0f, 3.1f);
    closer.inform(0);
    CHECK(closer.should_stop(1));

    SubpartDiversifyingStrategy bad(objects(), {{3}}, 1.0f, std::nullopt);
    CHECK_THROWS_WITH(
        bad.inform(0), InternalFailure,
        "The index of the selected_sample (3) is bigger than the number of samples (3)");
}

TEST_CASE("run_selection validates counts and preselection before informing anything") {
    CombinationSelection counts;
    counts.add(WeightingStrategy({1, 2, 3, 4}, 1.0f));
    counts.add(BalancingStrategy(matrix({{1}, {1}, {1}}), {1.0f}, 1.0f));
    CHECK_THROWS_WITH(counts.run_selection({}, 4, 1), InvalidArgument,
                      "The balancing strategy has 3 samples but n_total_samples is 4");

    CombinationSelection sel;
    sel.add(line_of_three());
    CHECK_THROWS_WITH(
        sel.run_selection(std::vector<std::size_t>{2, 3}, 3, 3), InternalFailure,
        "The index of the selected_sample (3) is bigger than the number of samples (3)");
    // Had sample 2 been informed, it would now hold the only 1e8 and win.
    CHECK_EQ(run(sel, {}, 3, 1), "0");
}

namespace {

// n x d rows: `clusters` far-apart Gaussian groups in shuffled order (1 cluster: one blob),
// shifted by `offset` and scaled by `scale`, with a few duplicates and one row each of NaN and
// infinity.
EmbeddingRows test_rows(std::size_t n, std::size_t d, std::size_t clusters, float spread,
                        float offset, float scale = 1.0f) {
    std::mt19937 gen(7);
    std::normal_distribution<float> normal;
    std::vector<float> centres(clusters * d);
    for (float& c : centres) c = spread * normal(gen);
    EmbeddingRows r;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t c = gen() % clusters;
        std::vector<float> row(d);
        for (std::size_t k = 0; k < d; ++k) {
            row[k] = (offset + centres[c * d + k] + normal(gen)) * scale;
        }
        if (i % 97 == 5) row = std::vector<float>(r.row(i - 1).begin(), r.row(i - 1).end());
        if (i == 300) row[3] = std::numeric_limits<float>::quiet_NaN();
        if (i == 301) row[0] = std::numeric_limits<float>::infinity();
        r.append_row(row);
    }
    return r;
}

}  // namespace

TEST_CASE("diversifying: bounded inform keeps the minima of the full pass bit for bit") {
    // Both strategies store their rows in group order; `plain` keeps the caller's order, so the
    // minima are also checked against distances computed from the rows where they were.
    // Far-apart clusters, touching ones (bounds near their limit), a blob (rows kept in halves,
    // whose bound proves most), rows far from the origin (large norms, so a wide rounding
    // margin) in clusters and in a blob, an odd dimension, and subnormal values.
    struct Case {
        std::size_t clusters, d;
        float spread, offset, scale;
    };
    for (const Case c : {Case{12, 48, 8.0f, 0.0f, 1.0f}, Case{30, 48, 0.4f, 0.0f, 1.0f},
                         Case{1, 49, 0.0f, 0.0f, 1.0f}, Case{12, 48, 8.0f, 300.0f, 1.0f},
                         Case{1, 48, 0.0f, 300.0f, 1.0f}, Case{1, 48, 0.0f, 0.0f, 1e-40f}}) {
        auto rows = [&] { return test_rows(3000, c.d, c.clusters, c.spread, c.offset, c.scale); };
        DiversifyingStrategy bounded(rows(), std::nullopt, 1.0f);
        DiversifyingStrategy full(rows(), std::nullopt, 1.0f);
        full.set_shortcuts(false);
        CHECK(bounded.pruning());
        // Two shards of the rows, [0, 1700) and [1700, 3000), each told every pick: the owner as
        // its own, the other with the owner's pick. Their groups differ from the whole's.
        constexpr std::size_t kCut = 1700;
        auto shard_rows = [&](std::size_t begin, std::size_t end) {
            const EmbeddingRows all = rows();
            EmbeddingRows part;
            for (std::size_t i = begin; i < end; ++i) part.append_row(all.row(i));
            return part;
        };
        DiversifyingStrategy low(shard_rows(0, kCut), std::nullopt, 1.0f);
        DiversifyingStrategy high(shard_rows(kCut, 3000), std::nullopt, 1.0f);
        CHECK(low.pruning() && high.pruning());
        const DistanceCalculator plain(rows());
        std::vector<float> minima(3000, 1e8f);
        // Farthest-point order after the two rows that are not finite, with one repeat.
        std::vector<std::size_t> picks = {0, 300, 301};
        for (std::size_t step = 0; step < 150; ++step) {
            if (step == 140) {
                picks.push_back(picks[20]);
            } else if (step % 3 == 0 && step >= 3) {
                picks.push_back(step * 17 % 3000);
            } else if (step >= 3) {
                const auto& m = full.min_distances();
                picks.push_back(
                    static_cast<std::size_t>(std::max_element(m.begin(), m.end()) - m.begin()));
            }
            bounded.inform(picks[step]);
            full.inform(picks[step]);
            const std::size_t at = picks[step];
            if (at < kCut) {
                const auto pick = low.pick(at);
                low.inform(at, pick);
                high.inform(kElsewhere, pick);
            } else {
                const auto pick = high.pick(at - kCut);
                high.inform(at - kCut, pick);
                low.inform(kElsewhere, pick);
            }
            const std::vector<float> row = plain.distances_from_row(picks[step]);
            for (std::size_t j = 0; j < 3000; ++j) {
                if (j != picks[step]) minima[j] = std::min(minima[j], row[j]);
            }
            CHECK(std::memcmp(minima.data(), full.min_distances().data(), 3000 * sizeof(float)) ==
                  0);
            CHECK(std::memcmp(bounded.min_distances().data(), full.min_distances().data(),
                              3000 * sizeof(float)) == 0);
            CHECK(std::memcmp(low.min_distances().data(), full.min_distances().data(),
                              kCut * sizeof(float)) == 0);
            CHECK(std::memcmp(high.min_distances().data(), full.min_distances().data() + kCut,
                              (3000 - kCut) * sizeof(float)) == 0);
        }
        if (c.offset == 0.0f && c.scale == 1.0f && c.spread != 0.4f) {
            CHECK(bounded.computed_rows() * 4 < full.computed_rows());
        }
    }
}

TEST_CASE("screening logarithm: within its bound over the whole f32 range at every level") {
    // Infinity, a NaN and values below the floor, then every 997th f32 from 1e-8 up.
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> p = {inf, 1.0f, std::nanf(""), 0.0f, -3.0f, 1e-9f, 3.4e38f};
    for (std::uint64_t bits = 0x322bcc77u; bits < 0x7f800000u; bits += 997) {
        const auto b = static_cast<std::uint32_t>(bits);
        float f;
        std::memcpy(&f, &b, sizeof f);
        p.push_back(f);
    }
    for (const simd::Level level : simd::available()) {
        // Twice, which doubles exactly: the sums are checked with the values.
        std::vector<float> score(p.size(), 0.0f), magnitude(p.size(), 0.0f);
        for (int twice = 0; twice < 2; ++twice) {
            selection_kernels(level).log_terms(p.data(), p.size(), -2.0f, score.data(),
                                               magnitude.data());
        }
        double worst = 0.0;
        for (std::size_t i = 1; i < p.size(); ++i) {
            const double ln = std::log(static_cast<double>(std::fmax(p[i], 1e-8f)));
            const double lambda = static_cast<double>(score[i]) / -4.0;
            worst = std::max(worst, std::fabs(lambda - ln) / std::max(std::fabs(ln), 1e-300));
            CHECK_EQ(magnitude[i], std::fabs(score[i]));
        }
        CHECK(worst <= std::pow(2.0, -22.5));
        CHECK(score[0] == -inf && magnitude[0] == inf);
    }
}

TEST_CASE("high-half bound test: the rows it leaves, at every level") {
    // 61 rows: whole vectors and a tail; a NaN sum, a minimum not yet reached, exact equality.
    const std::size_t count = 61;
    const double c[4] = {0.75, 2.0, 0.5, 1.0};
    std::vector<float> sums(count), h(count), m(count);
    for (std::size_t r = 0; r < count; ++r) {
        sums[r] = static_cast<float>(r % 13);
        h[r] = static_cast<float>(r % 5) * 0.5f;
        m[r] = static_cast<float>(r % 7) * 0.5f;
    }
    sums[3] = std::nanf("");
    m[40] = 1e8f;
    sums[8] = 4.0f, h[8] = 0.0f, m[8] = 1.0f;  // 3 >= 3: kept
    std::uint64_t expected = 0;
    for (std::size_t r = 0; r < count; ++r) {
        const bool kept =
            static_cast<double>(sums[r]) * c[0] >=
            (c[1] * static_cast<double>(m[r]) + c[2] * static_cast<double>(h[r])) + c[3];
        if (!kept || m[r] >= 1e8f) expected |= std::uint64_t{1} << r;
    }
    CHECK((expected >> 3 & 1) && (expected >> 40 & 1) && !(expected >> 8 & 1));
    CHECK(expected != 0 && ~expected << 3 != 0);
    for (const simd::Level level : simd::available()) {
        CHECK_EQ(
            selection_kernels(level).unproved_rows(sums.data(), h.data(), m.data(), count, c, 1e8f),
            expected);
    }
}
