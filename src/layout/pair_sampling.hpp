#pragma once
// Mid-near and far partners, drawn per sample from generators seeded with seed + i, so the
// pairs never depend on the number of workers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "src/layout/pair_lists.hpp"
#include "src/layout/random.hpp"

namespace orvane::pacmap {

// A read-only, possibly strided list of sample indices.
struct IndexView {
    const std::uint32_t* data = nullptr;
    std::size_t size = 0;
    std::size_t stride = 1;
    std::uint32_t operator[](std::size_t p) const { return data[p * stride]; }
    bool contains(std::uint32_t v) const {
        for (std::size_t p = 0; p < size; ++p)
            if (data[p * stride] == v) return true;
        return false;
    }
};

// Up to k distinct indices in [0, n), none equal to self_index or in reject, in draw order.
std::vector<std::uint32_t> sample_distinct(std::size_t k, std::uint32_t n, IndexView reject,
                                           std::uint32_t self_index, Generator& g);
// The same draws into out[0, k), without allocating; returns how many there are.
std::size_t sample_distinct(std::size_t k, std::uint32_t n, IndexView reject,
                            std::uint32_t self_index, Generator& g, std::uint32_t* out);

// n_mid_near partners a point: each the second closest of six random candidates.
PartnerTable sample_mid_near_partners(const float* x, std::size_t n, std::size_t d,
                                      std::size_t n_mid_near, std::uint64_t seed);
// The same as n * n_mid_near rows (i, m).
std::vector<std::uint32_t> sample_mid_near_pairs(const float* x, std::size_t n, std::size_t d,
                                                 std::size_t n_mid_near, std::uint64_t seed);

// n_far partners a point: random ones that are neither the point nor one of its neighbors. A
// point that cannot have them all leaves the rest of its slots empty.
PartnerTable sample_far_partners(const PartnerTable& neighbors, std::size_t n_far,
                                 std::uint64_t seed);
// The same as n * n_far rows (i, f) from nn neighbor rows a point; missing partners are (0, 0).
std::vector<std::uint32_t> sample_far_pairs(std::size_t n,
                                            const std::vector<std::uint32_t>& pair_neighbors,
                                            std::size_t nn, std::size_t n_far, std::uint64_t seed);

}  // namespace orvane::pacmap
