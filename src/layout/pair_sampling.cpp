#include "src/layout/pair_sampling.hpp"

#include <algorithm>
#include <bit>

#include "src/layout/neighbors.hpp"
#include "src/common/worker_pool.hpp"
#include "src/common/total_order.hpp"

namespace orvane::pacmap {

namespace {

// Unbiased index in [0, n) by widening multiplication with rejection of the short zone.
std::uint32_t uniform_index(std::uint32_t n, Generator& g) {
    const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const std::uint64_t product = std::uint64_t{g.next_u32()} * n;
        if (static_cast<std::uint32_t>(product) <= zone)
            return static_cast<std::uint32_t>(product >> 32);
    }
}

constexpr std::size_t kCandidates = 6;
constexpr std::size_t kSamplesPerTask = 64;

}  // namespace

std::vector<std::uint32_t> sample_distinct(std::size_t k, std::uint32_t n, IndexView reject,
                                           std::uint32_t self_index, Generator& g) {
    std::size_t avail = n > reject.size ? n - reject.size : 0;
    if (avail > 0 && !reject.contains(self_index)) --avail;
    const std::size_t want = std::min(k, avail);
    std::vector<std::uint32_t> out;
    out.reserve(want);
    while (out.size() < want) {
        const std::uint32_t j = uniform_index(n, g);
        if (j == self_index || std::find(out.begin(), out.end(), j) != out.end() ||
            reject.contains(j))
            continue;
        out.push_back(j);
    }
    return out;
}

std::vector<std::uint32_t> sample_mid_near_pairs(const float* x, std::size_t n, std::size_t d,
                                                 std::size_t n_mid_near, std::uint64_t seed) {
    std::vector<std::uint32_t> pairs(n * n_mid_near * 2, 0);
    const auto n32 = static_cast<std::uint32_t>(n);
    pool::for_blocks(n, kSamplesPerTask, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) {
            Generator g = seed_generator(seed + i);
            std::uint32_t* rows = pairs.data() + i * n_mid_near * 2;
            const auto self = static_cast<std::uint32_t>(i);
            for (std::size_t t = 0; t < n_mid_near; ++t) {
                const IndexView written{rows + 1, t, 2};
                const auto cand = sample_distinct(kCandidates, n32, written, self, g);
                struct Entry {
                    float distance;
                    std::uint32_t index;
                } table[kCandidates] = {};
                const std::size_t len = cand.size();
                // Random rows: ask for all of them before the first distance needs one.
                for (std::size_t p = 0; p < len; ++p) {
                    const char* row = reinterpret_cast<const char*>(x + std::size_t{cand[p]} * d);
                    for (std::size_t b = 0; b < d * sizeof(float); b += 64)
                        __builtin_prefetch(row + b);
                    __builtin_prefetch(row + d * sizeof(float) - 1);
                }
                for (std::size_t p = 0; p < len; ++p)
                    table[p] = {pair_distance(x + i * d, x + std::size_t{cand[p]} * d, d), cand[p]};
                // Stable insertion sort over the real candidates only.
                for (std::size_t p = 1; p < len; ++p) {
                    const Entry e = table[p];
                    std::size_t q = p;
                    while (q > 0 && total_order_less(e.distance, table[q - 1].distance)) {
                        table[q] = table[q - 1];
                        --q;
                    }
                    table[q] = e;
                }
                // Too few candidates: the closest, or a self-pair that the optimiser skips.
                const std::uint32_t partner =
                    len >= 2 ? table[1].index : (len == 1 ? table[0].index : self);
                rows[2 * t] = self;
                rows[2 * t + 1] = partner;
            }
        }
    });
    return pairs;
}

std::vector<std::uint32_t> sample_far_pairs(std::size_t n,
                                            const std::vector<std::uint32_t>& pair_neighbors,
                                            std::size_t nn, std::size_t n_far, std::uint64_t seed) {
    std::vector<std::uint32_t> pairs(n * n_far * 2, 0);
    const auto n32 = static_cast<std::uint32_t>(n);
    pool::for_blocks(n, kSamplesPerTask, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) {
            Generator g = seed_generator(seed + i);
            const IndexView neighbors{pair_neighbors.data() + i * nn * 2 + 1, nn, 2};
            const auto self = static_cast<std::uint32_t>(i);
            const auto far = sample_distinct(n_far, n32, neighbors, self, g);
            std::uint32_t* rows = pairs.data() + i * n_far * 2;
            for (std::size_t p = 0; p < far.size(); ++p) {
                rows[2 * p] = self;
                rows[2 * p + 1] = far[p];
            }
        }
    });
    return pairs;
}

}  // namespace orvane::pacmap
