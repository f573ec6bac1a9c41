// Seconds per iteration of the layout's optimiser at n points, with as many pairs a point as a
// layout of that size draws, their partners uniform at random (as a shuffled data set's are),
// and a digest of the result, so that two builds can be compared for time and for bits.
//
//   optimiser_step <n> [k] [held|drawn]
//
// The optimiser runs 1/k of each phase's iterations (at least one each; k = 10 by default). The
// far partners are sampled as a layout samples them, against the random neighbors, and either
// held in lists or drawn again every iteration; both give the same digest.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "src/layout/optimiser.hpp"
#include "src/layout/pair_lists.hpp"
#include "src/layout/pair_sampling.hpp"
#include "src/layout/preprocess.hpp"

namespace {

double grouping_seconds = 0.0;

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

orvane::pacmap::PartnerTable random_table(std::size_t n, std::size_t slots, std::uint64_t salt) {
    orvane::pacmap::PartnerTable table(n, slots);
    for (std::size_t p = 0; p < n; ++p)
        for (std::size_t s = 0; s < slots; ++s)
            table.set(p, s, static_cast<std::uint32_t>(mix(salt + p * slots + s) % n));
    return table;
}

template <class Group>
orvane::pacmap::PairLists timed(Group&& group) {
    const auto start = std::chrono::steady_clock::now();
    orvane::pacmap::PairLists lists = group();
    grouping_seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return lists;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4 ||
        (argc == 4 && std::strcmp(argv[3], "held") != 0 && std::strcmp(argv[3], "drawn") != 0)) {
        std::fprintf(stderr, "usage: %s <n> [k] [held|drawn]\n", argv[0]);
        return 2;
    }
    const bool drawn = argc == 4 && std::strcmp(argv[3], "drawn") == 0;
    const std::size_t n = std::strtoull(argv[1], nullptr, 10);
    const std::size_t k =
        argc >= 3 ? std::max<std::size_t>(1, std::strtoull(argv[2], nullptr, 10)) : 10;
    orvane::pacmap::PacmapConfig config = orvane::pacmap::driver_config(n);
    config.seed = 7;
    for (std::size_t& phase : config.num_iters) phase = std::max<std::size_t>(1, phase / k);
    const orvane::pacmap::NeighborCounts counts =
        orvane::pacmap::neighbor_counts(n, config, nullptr);
    orvane::pacmap::LayoutPairs pairs;
    pairs.n = n;
    orvane::pacmap::PartnerTable neighbors = random_table(n, counts.n_neighbors, 1ULL << 60);
    orvane::pacmap::PartnerTable far;
    if (!drawn) far = orvane::pacmap::sample_far_partners(neighbors, counts.n_far, *config.seed);
    pairs.neighbor = timed([&] { return orvane::pacmap::group_partners(std::move(neighbors)); });
    pairs.mid_near = timed([&] {
        return orvane::pacmap::group_partners(random_table(n, counts.n_mid_near, 2ULL << 60));
    });
    pairs.far_draws = {drawn, n, counts.n_neighbors, counts.n_far, *config.seed};
    pairs.far = timed([&] {
        return drawn ? orvane::pacmap::group_far_draws(pairs.neighbor, pairs.far_draws)
                     : orvane::pacmap::group_partners(std::move(far));
    });
    std::vector<float> y = orvane::pacmap::initial_layout(n, config);
    const auto start = std::chrono::steady_clock::now();
    orvane::pacmap::optimise(y, pairs, config.num_iters, config.learning_rate, nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t iterations = config.num_iters[0] + config.num_iters[1] + config.num_iters[2];
    std::uint64_t digest = 0;
    for (const float v : y) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        digest = mix(digest ^ bits);
    }
    std::printf(
        "%zu points, %zu + %zu + %zu pairs a point: grouped in %.1f s, %.3f s an iteration (%zu), "
        "digest %016llx\n",
        n, counts.n_neighbors, counts.n_mid_near, counts.n_far, grouping_seconds,
        seconds / iterations, iterations, static_cast<unsigned long long>(digest));
    return 0;
}
