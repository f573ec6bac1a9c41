#include <cmath>

#include "src/scores/distance_calculator.hpp"
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
