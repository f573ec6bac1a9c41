#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "src/scores/distance_calculator.hpp"
#include "src/scores/kernels.hpp"
#include "src/scores/knn/plan.hpp"
#include "src/scores/knn/tile_pairs.hpp"
#include "src/scores/knn/recompute.hpp"
#include "src/common/failure.hpp"
#include "src/scores/similarity.hpp"
#include "src/scores/typicality.hpp"
#include "tests/native/check.hpp"

using namespace orvane;

static EmbeddingRows rows_of(std::initializer_list<std::initializer_list<float>> rows) {
    EmbeddingRows r;
    for (auto& row : rows) r.append_row(std::vector<float>(row));
    return r;
}

TEST_CASE("distance calculator: per-row and dense variants agree, clamp and NaN rules") {
    DistanceCalculator calc(rows_of({{0, 0}, {3, 4}, {0, 0}, {NAN, 1}}));
    auto a = calc.distances_from_row(0);
    auto b = calc.distances_from_row_dense(0);
    CHECK_EQ(a[1], 12.5f);
    CHECK_EQ(b[1], 12.5f);
    CHECK(!std::signbit(a[2]) && a[2] == 0.0f);  // identical rows: +0.0, never -0.0
    CHECK_EQ(a[3], 0.0f);                        // NaN distance clamps to 0
    auto c = calc.distances_from_row(3);
    for (float v : c) CHECK_EQ(v, 0.0f);
}

TEST_CASE("distance calculator: shape failures") {
    CHECK_THROWS_WITH(DistanceCalculator(rows_of({{1, 2}, {3}})), InternalFailure,
                      "called `Result::unwrap()` on an `Err` value");
    DistanceCalculator calc(rows_of({{1, 2}}));
    std::vector<float> v{1, 2, 3};
    CHECK_THROWS_WITH(calc.distances_from_vector(v), InternalFailure,
                      "not compatible for matrix multiplication");
    CHECK_THROWS_WITH(calc.distances_from_row(1), InternalFailure, "index < dim");
    DistanceCalculator empty{EmbeddingRows{}};
    CHECK_EQ(empty.size(), std::size_t{0});
}

TEST_CASE("block products give the dense per-row distances on random data") {
    const std::size_t n = 300, d = 40;
    std::vector<float> values(n * d);
    unsigned s = 7;
    for (float& v : values) {
        s = s * 1103515245u + 12345u;
        v = static_cast<float>((s >> 9) % 2000) / 1000.0f - 1.0f;
    }
    DistanceCalculator calc(EmbeddingRows::from_matrix(values, n, d));
    std::vector<float> out(5 * n);
    block_products(calc, calc.matrix().row(10), 5, out.data());
    const auto& h = calc.half_norms();
    for (std::size_t r = 0; r < 5; ++r) {
        auto dense = calc.distances_from_row_dense(10 + r);
        for (std::size_t j = 0; j < n; ++j)
            CHECK_NEAR(block_distance(h[j], out[r * n + j], h[10 + r]), dense[j], 1e-4);
    }
}

TEST_CASE("similarity and typicality worked values") {
    auto s = similarity_scores(rows_of({{0, 0}, {3, 4}}), rows_of({{0, 0}}));
    CHECK(s[0] == 0.0f && std::signbit(s[0]));
    CHECK_EQ(s[1], -2.0f);
    CHECK_THROWS_WITH(similarity_scores(rows_of({{0, 0}}), EmbeddingRows{}), InternalFailure,
                      "Empty list of query_embeddings is not supported");

    DistanceCalculator line(rows_of({{0}, {1}, {3}}));
    auto t = typicality_scores(line, 3, 1);
    CHECK_NEAR(t[0], std::exp(-0.75), 1e-6);
    CHECK_NEAR(t[1], std::exp(-0.75), 1e-6);
    CHECK_NEAR(t[2], std::exp(-1.5), 1e-6);
    CHECK_THROWS_WITH(typicality_scores(line, 3, 0), InternalFailure,
                      "num_nearest_neighbors (K) has to be positive");
}

TEST_CASE("tile scans: every level this machine has keeps the same buffers") {
    // Rows on a coarse grid, so that many pairs are duplicates whose expansion is recomputed;
    // k = 5 keeps sorted buffers, k = 90 heaps.
    const std::size_t rows = 100, cols = 150, d = 3;
    std::uint32_t s = 7;
    const auto next = [&s] { return (s = s * 1664525u + 1013904223u) >> 8; };
    std::vector<float> x(cols * d), p(rows * cols), h(cols);
    for (float& v : x) v = static_cast<float>(next() % 5) * 0.1f;
    for (std::size_t i = 0; i < cols; ++i) {
        h[i] = knn::half_norms({x.data() + i * d, 1, 0}, d)[0];
        for (std::size_t j = 0; i < rows && j < cols; ++j) {
            float dot = 0.0f;
            for (std::size_t e = 0; e < d; ++e) dot += x[i * d + e] * x[j * d + e];
            p[i * cols + j] = dot;
        }
    }
    const float slack = knn::expansion_slack(d);
    const auto scan = [&](const ScoreKernels& kernels, std::size_t k) {
        const float inf = std::numeric_limits<float>::infinity();
        std::vector<float> by_rows(rows * k, inf), diagonal(rows * k, inf), by_cols(cols * k, inf),
            scratch(2 * cols);
        kernels.feed_tile_rows(p.data(), rows, cols, h.data(), h.data(), false, by_rows.data(), k,
                               x.data(), x.data(), d, slack, scratch.data());
        // the diagonal tile: the first rows x rows products, row-major with `rows` columns
        std::vector<float> square(rows * rows);
        for (std::size_t i = 0; i < rows; ++i)
            std::copy_n(p.data() + i * cols, rows, square.data() + i * rows);
        kernels.feed_tile_rows(square.data(), rows, rows, h.data(), h.data(), true, diagonal.data(),
                               k, x.data(), x.data(), d, slack, scratch.data());
        kernels.feed_tile_columns(p.data(), rows, cols, h.data(), h.data(), by_cols.data(), k,
                                  x.data(), x.data(), d, slack, scratch.data());
        by_rows.insert(by_rows.end(), diagonal.begin(), diagonal.end());
        by_rows.insert(by_rows.end(), by_cols.begin(), by_cols.end());
        return by_rows;
    };
    for (const std::size_t k : {std::size_t{5}, std::size_t{90}}) {
        const auto base = scan(score_kernels(simd::Level::baseline), k);
        CHECK(base[k - 1] < std::numeric_limits<float>::infinity());
        // Duplicates come out at exactly 0: a row's buffer starts with a zero.
        CHECK(std::count(base.begin(), base.end(), 0.0f) > 0);
        for (const simd::Level level : simd::available()) {
            const auto got = scan(score_kernels(level), k);
            CHECK(std::memcmp(got.data(), base.data(), got.size() * sizeof(float)) == 0);
        }
    }
}

TEST_CASE("tile pairs of blocks, started from bounds and merged, give the one-matrix buffers") {
    // Two blocks of 1,024 and 276 rows; coarse values give many equal distances, so the values a
    // bound ties with are exercised too.
    const std::size_t n = 1300, d = 8, k = 6, split = 2 * knn::kTriangleTile;
    std::uint32_t s = 11;
    const auto next = [&s] { return (s = s * 1664525u + 1013904223u) >> 8; };
    EmbeddingRows rows;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<float> row(d);
        for (float& v : row) v = static_cast<float>(next() % 4);
        rows.append_row(row);
    }
    const DistanceCalculator calc(std::move(rows));
    const float* x = calc.matrix().data.data();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> one(n * k, inf), merged(n * k, inf);
    knn::feed_tile_pairs({x, calc.half_norms().data(), one.data(), n},
                         {x, calc.half_norms().data(), one.data(), n}, true, d, k, nullptr, 0);

    const knn::RowBlock a{x, split, 0}, b{x + split * d, n - split, split};
    for (const auto& [p, q] : {std::pair{a, b}, std::pair{a, a}, std::pair{b, b}}) {
        std::vector<float> best;
        for (const knn::RowBlock& blk : p.first == q.first ? std::vector{p} : std::vector{p, q}) {
            for (std::size_t i = blk.first; i < blk.first + blk.rows; ++i) {
                best.insert(best.end(), k, merged[i * k + k - 1]);  // the row's bound so far
            }
        }
        knn::smallest_by_tile_pairs(p, q, d, k, best);
        knn::merge_sorted_smallest({merged.data() + p.first * k, p.rows * k},
                                   {best.data(), p.rows * k}, k);
        if (p.first != q.first) {
            knn::merge_sorted_smallest({merged.data() + q.first * k, q.rows * k},
                                       {best.data() + p.rows * k, q.rows * k}, k);
        }
    }
    CHECK(one[k - 1] < inf);
    CHECK(std::memcmp(merged.data(), one.data(), one.size() * sizeof(float)) == 0);
}
