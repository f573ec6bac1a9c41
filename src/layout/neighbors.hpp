#pragma once
// Neighbor pairs: candidate search (exact below the threshold, HNSW from it), density scaling
// and per-row ranking.
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <vector>

#include "src/common/worker_pool.hpp"
#include "src/layout/kernels.hpp"
#include "src/layout/pacmap.hpp"
#include "src/layout/pair_lists.hpp"

namespace orvane::pacmap {

// Euclidean distance with eight interleaved partial sums, at the level in use.
inline float pair_distance(const float* a, const float* b, std::size_t d) {
    return layout_kernels().pair_distance(a, b, d);
}

// Per-sample candidate lists, nearest first. Only the first filled[i] slots of row i are real.
struct KnnCandidates {
    std::size_t n = 0;
    std::size_t k = 0;
    std::vector<std::uint32_t> index;  // n x k
    std::vector<float> distance;       // n x k
    std::vector<std::uint32_t> filled;
};

KnnCandidates exact_knn(const float* x, std::size_t n, std::size_t d, std::size_t k);
// Wall time of the two index stages, for benchmarks.
struct SearchTimes {
    double add_seconds = 0.0;
    double search_seconds = 0.0;
};

KnnCandidates approximate_knn(const float* x, std::size_t n, std::size_t d, std::size_t k,
                              LogSink* sink, SearchTimes* times = nullptr);

// The distance from sample i to the candidate in place p of its list.
using CandidateDistance = FunctionRef<float(std::size_t, std::size_t)>;

// Local scale per sample: mean distance to its 4th..6th nearest real candidates, floored. Without
// `distance`, the candidates' own distances.
std::vector<float> candidate_sigma(const KnnCandidates& c, CandidateDistance distance);
std::vector<float> candidate_sigma(const KnnCandidates& c);

// min(n - 1, n_neighbors) partners a point, best scaled distance first; a point with fewer real
// candidates leaves the rest of its slots empty.
PartnerTable neighbor_partners(const KnnCandidates& c, std::size_t n_neighbors,
                               CandidateDistance distance);
// The same as n * min(n - 1, n_neighbors) rows (i, j), grouped by i; missing partners are (i, i).
std::vector<std::uint32_t> pair_neighbors_from(const KnnCandidates& c, std::size_t n_neighbors);

// The neighbor partners of the n x d rows x. `release` runs as soon as x is no longer read.
PartnerTable nearest_neighbor_partners(
    const float* x, std::size_t n, std::size_t d, std::size_t n_neighbors,
    std::size_t approx_threshold, LogSink* sink, FunctionRef<void()> release = [] {});
// The same as rows.
std::vector<std::uint32_t> nearest_neighbor_pairs(const float* x, std::size_t n, std::size_t d,
                                                  std::size_t n_neighbors,
                                                  std::size_t approx_threshold, LogSink* sink);

}  // namespace orvane::pacmap
