// Times the stages of the layout before the optimiser on one data set: adding every row to the
// HNSW index, searching it, ranking the candidates into pairs, sampling the mid-near and far
// pairs, and grouping them per point. Reads n x d float32 values from a raw file, preprocesses them
// as the layout does, and writes the preprocessed copy beside, so that a peer index can be fed
// exactly the same vectors.
//
//   neighbors_split <raw f32 file> <n> <d> <n_neighbors, 0 for the layout's own> <preprocessed
//   output file>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <set>
#include <vector>

#include "src/layout/neighbors.hpp"
#include "src/layout/optimiser.hpp"
#include "src/layout/pair_sampling.hpp"
#include "src/layout/preprocess.hpp"
#include "src/common/worker_pool.hpp"

using namespace orvane::pacmap;

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s <raw f32 file> <n> <d> <n_neighbors> <output file>\n",
                     argv[0]);
        return 2;
    }
    const std::size_t n = std::strtoull(argv[2], nullptr, 10),
                      d = std::strtoull(argv[3], nullptr, 10);
    const std::size_t asked = std::strtoull(argv[4], nullptr, 10);
    const NeighborCounts counts = neighbor_counts(n, driver_config(n), nullptr);
    const std::size_t n_neighbors = asked == 0 ? counts.n_neighbors : asked;
    const std::size_t n_mid_near = asked == 0 ? counts.n_mid_near : asked / 2;
    const std::size_t n_far = asked == 0 ? counts.n_far : asked * 2;
    std::vector<float> x(n * d);
    std::ifstream in(argv[1], std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(x.data()), static_cast<std::streamsize>(x.size() * 4))) {
        std::fprintf(stderr, "could not read %zu x %zu floats\n", n, d);
        return 2;
    }
    const std::vector<float> work = preprocess(x.data(), n, d, nullptr);
    std::ofstream(argv[5], std::ios::binary)
        .write(reinterpret_cast<const char*>(work.data()),
               static_cast<std::streamsize>(work.size() * 4));

    const std::size_t k = std::min(n - 1, n_neighbors + 50);
    SearchTimes times;
    const std::clock_t cpu0 = std::clock();
    const auto t0 = std::chrono::steady_clock::now();
    const KnnCandidates c = approximate_knn(work.data(), n, d, k, nullptr, &times);
    const auto t1 = std::chrono::steady_clock::now();
    PartnerTable pairs = neighbor_partners(
        c, n_neighbors, [&](std::size_t i, std::size_t p) { return c.distance[i * k + p]; });
    const auto t2 = std::chrono::steady_clock::now();
    const std::clock_t cpu1 = std::clock();
    PartnerTable mid_near = sample_mid_near_partners(work.data(), n, d, n_mid_near, 42);
    const auto t3 = std::chrono::steady_clock::now();
    PartnerTable far = sample_far_partners(pairs, n_far, 42);
    const auto t4 = std::chrono::steady_clock::now();
    LayoutPairs grouped;
    grouped.n = n;
    grouped.neighbor = group_partners(std::move(pairs));
    grouped.mid_near = group_partners(std::move(mid_near));
    grouped.far = group_partners(std::move(far));
    const auto t5 = std::chrono::steady_clock::now();
    const auto seconds = [](auto a, auto b) {
        return std::chrono::duration<double>(b - a).count();
    };
    std::printf("add %.3f\nsearch %.3f\nrank %.3f\n", times.add_seconds, times.search_seconds,
                seconds(t1, t2));
    std::printf("total %.3f\nneighbors %zu\n", seconds(t0, t2), n_neighbors);
    std::printf("mid-near %.3f\nfar %.3f\ngroup %.3f\n", seconds(t2, t3), seconds(t3, t4),
                seconds(t4, t5));
    // CPU time of all threads: on a shared machine it moves less than the wall time.
    std::printf("cpu %.3f\n", static_cast<double>(cpu1 - cpu0) / CLOCKS_PER_SEC);
    // Recall of the 10 true nearest neighbours (f32, by brute force) among the first 10
    // candidates, on a fixed subsample of 5,000 rows.
    const std::size_t sample = std::min<std::size_t>(n, 5000), top = std::min<std::size_t>(10, k);
    std::vector<std::size_t> hits(sample, 0);
    orvane::pool::parallel_for(sample, 8, [&](std::size_t begin, std::size_t end) {
        std::vector<std::pair<float, std::uint32_t>> all(n);
        for (std::size_t s = begin; s < end; ++s) {
            const std::size_t i = s * n / sample;
            for (std::size_t j = 0; j < n; ++j)
                all[j] = {j == i ? INFINITY : pair_distance(&work[i * d], &work[j * d], d),
                          static_cast<std::uint32_t>(j)};
            std::partial_sort(all.begin(), all.begin() + top, all.end());
            std::set<std::uint32_t> truth;
            for (std::size_t t = 0; t < top; ++t) truth.insert(all[t].second);
            for (std::size_t t = 0; t < std::min<std::size_t>(top, c.filled[i]); ++t)
                hits[s] += truth.count(c.index[i * k + t]);
        }
    });
    std::size_t total = 0;
    for (const std::size_t h : hits) total += h;
    std::printf("recall10 %.5f\n", static_cast<double>(total) / static_cast<double>(sample * top));
    return 0;
}
