#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "src/common/failure.hpp"
#include "src/scores/similarity.hpp"
#include "src/selection/combination_selection.hpp"
#include "src/selection/selection_shard.hpp"
#include "tests/native/check.hpp"

using namespace orvane;

namespace {

// Samples in clusters with exact duplicates, 0 to 3 objects each, objects shared by neighbours
// (across shard boundaries too), weights with ties, few distinct class rows.
struct Data {
    std::size_t n, d = 8, m;
    std::vector<float> x, objects, weights, classes;
    IndexRows mapping;

    explicit Data(std::size_t n_samples) : n(n_samples), m(n_samples / 2) {
        std::mt19937 gen(7);
        std::normal_distribution<float> normal;
        std::uniform_int_distribution<int> pick(0, 11);
        std::vector<float> centres(12 * d);
        for (float& c : centres) c = 6.0f * normal(gen);
        for (std::size_t i = 0; i < n; ++i) {
            const int c = pick(gen);
            for (std::size_t k = 0; k < d; ++k) x.push_back(centres[c * d + k] + normal(gen));
            if (i % 97 == 5) std::copy_n(x.end() - 2 * d, d, x.end() - d);  // a duplicate
            weights.push_back(static_cast<float>(pick(gen) % 5) + 0.25f);
            for (int k = 0; k < 3; ++k) classes.push_back(k == c % 3 ? 0.7f : 0.15f);
        }
        for (std::size_t o = 0; o < m * d; ++o) objects.push_back(3.0f * normal(gen));
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<std::size_t> own;
            for (std::size_t k = 0; k < i % 4; ++k) own.push_back((i / 2 + 7 * k) % m);
            mapping.push_back(own);
        }
    }
    EmbeddingRows rows_of(const std::vector<float>& v, std::size_t lo, std::size_t hi) const {
        EmbeddingRows r;
        for (std::size_t i = lo; i < hi; ++i) {
            r.append_row(std::span<const float>(v.data() + i * d, d));
        }
        return r;
    }
};

// The shards' picks, driven as a distributed run drives them.
std::vector<std::size_t> shard_run(std::vector<SelectionShard>& shards,
                                   const std::vector<std::size_t>& pre, std::size_t n,
                                   std::size_t n_select) {
    auto owner = [&](std::size_t i) -> SelectionShard& {
        for (auto& s : shards) {
            if (i >= s.first() && i < s.first() + s.count()) return s;
        }
        throw InvalidArgument("no owner");
    };
    for (auto& s : shards) s.begin_run();
    std::vector<std::size_t> selected = pre;
    std::vector<unsigned char> taken(n, 0);
    std::size_t distinct = 0;
    auto tell = [&](const std::vector<unsigned char>& pick, std::size_t i) {
        for (auto& s : shards) s.inform(pick);
        if (!taken[i]) taken[i] = 1, ++distinct;
    };
    for (std::size_t i : pre) tell(owner(i).encode_pick(i), i);
    while (selected.size() < n_select && distinct < n) {
        std::optional<SelectionShard::Best> best;
        for (auto& s : shards) {
            auto b = s.best();
            if (b && b->nan) raise_internal_failure("NaN");
            if (b && (!best || b->score > best->score ||
                      (b->score == best->score && b->index < best->index))) {
                best = std::move(b);
            }
        }
        if (best->taken || best->stop) break;
        tell(best->pick, best->index);
        selected.push_back(best->index);
    }
    for (auto& s : shards) s.end_run(true);
    return selected;
}

}  // namespace

TEST_CASE("shards told each other's picks choose what one selection chooses, run after run") {
    const Data data(9000);
    const std::vector<float> similarity = similarity_scores(data.rows_of(data.objects, 0, data.m),
                                                            data.rows_of(data.objects, 10, 13));
    for (const bool all_kinds : {false, true}) {
        CombinationSelection whole;
        // The whole: every strategy over all samples; objects as given.
        whole.add(WeightingStrategy(data.weights, 1.0f));
        whole.add(DiversifyingStrategy(data.rows_of(data.x, 0, data.n), 0.05f, 2.0f));
        whole.add(BalancingStrategy({data.classes, data.n, 3}, {0.2f, 0.3f, 0.5f}, 0.5f));
        std::vector<float> typicality(data.m);
        for (std::size_t o = 0; o < data.m; ++o) typicality[o] = 0.2f + 0.6f * float(o % 7) / 7;
        if (all_kinds) {
            whole.add(SubpartDiversifyingStrategy(data.rows_of(data.objects, 0, data.m),
                                                  data.mapping, 1.0f, 0.01f));
            whole.add(SubpartSimilarityStrategy::from_scores(similarity, data.mapping, 0.5f));
            whole.add(SubpartTypicalityStrategy(typicality, data.mapping, 0.25f, 0.05f));
        }
        for (const std::vector<std::size_t>& bounds :
             {std::vector<std::size_t>{0, 5000, 9000}, {0, 2999, 3000, 9000}}) {
            std::vector<SelectionShard> shards;
            for (std::size_t s = 0; s + 1 < bounds.size(); ++s) {
                const std::size_t lo = bounds[s], hi = bounds[s + 1];
                SelectionShard& shard = shards.emplace_back(lo, hi - lo, data.n);
                WeightingStrategy whole_w(data.weights, 1.0f);
                shard.add(
                    WeightingStrategy({data.weights.begin() + lo, data.weights.begin() + hi}, 1.0f),
                    whole_w.largest_weight(), whole_w.nonnegative());
                shard.add(DiversifyingStrategy(data.rows_of(data.x, lo, hi), 0.05f, 2.0f));
                shard.add(BalancingStrategy(
                    {{data.classes.begin() + 3 * lo, data.classes.begin() + 3 * hi}, hi - lo, 3},
                    {0.2f, 0.3f, 0.5f}, 0.5f));
                if (!all_kinds) continue;
                // The shard's objects, ascending, and its mapping into them.
                std::vector<std::size_t> ids;
                for (std::size_t i = lo; i < hi; ++i) {
                    ids.insert(ids.end(), data.mapping[i].begin(), data.mapping[i].end());
                }
                std::sort(ids.begin(), ids.end());
                ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
                IndexRows local;
                std::vector<float> sim, typ, rows;
                for (std::size_t i = lo; i < hi; ++i) {
                    auto& l = local.emplace_back();
                    for (std::size_t o : data.mapping[i]) {
                        l.push_back(std::lower_bound(ids.begin(), ids.end(), o) - ids.begin());
                    }
                }
                for (std::size_t o : ids) {
                    sim.push_back(similarity[o]);
                    typ.push_back(typicality[o]);
                    rows.insert(rows.end(), data.objects.begin() + o * data.d,
                                data.objects.begin() + (o + 1) * data.d);
                }
                shard.add(
                    SubpartDiversifyingStrategy(
                        EmbeddingRows::from_matrix(rows, ids.size(), data.d), local, 1.0f, 0.01f),
                    ids);
                shard.add(SubpartSimilarityStrategy::from_scores(sim, local, 0.5f));
                shard.add(SubpartTypicalityStrategy(typ, local, 0.25f, 0.05f));
            }
            // Runs on the whole are repeated on a copy made for each set of shards.
            CombinationSelection copy = whole;
            for (const auto& [pre, count] :
                 std::vector<std::pair<std::vector<std::size_t>, std::size_t>>{
                     {{4, 4, 8999}, 60}, {{}, 40}, {{17}, 1}}) {
                const auto expected = copy.run_selection(pre, data.n, count);
                const auto got = shard_run(shards, pre, data.n, count);
                CHECK(got == expected);
                CHECK(expected.size() > pre.size() || count <= pre.size());
            }
        }
    }
}

TEST_CASE("a shard refuses a pick it cannot read and strategies of another size") {
    SelectionShard shard(2, 3, 10);
    CHECK_THROWS_WITH(shard.add(WeightingStrategy({1.0f, 2.0f}, 1.0f), 2.0f, true), InvalidArgument,
                      "has 2 samples but its shard has 3");
    shard.add(WeightingStrategy({1.0f, 2.0f, 3.0f}, 1.0f), 3.0f, true);
    auto pick = shard.encode_pick(3);
    pick.pop_back();
    CHECK_THROWS_WITH(shard.inform(pick), InternalFailure, "cannot read");
    CHECK_THROWS_WITH(shard.encode_pick(5), InvalidArgument, "not in this shard");
}
