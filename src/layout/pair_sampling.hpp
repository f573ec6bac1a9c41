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

// A point's far partners: what sample_distinct draws from the point's own generator, avoiding
// the point and its neighbors. Each draw is first looked up in a table of what is taken, by
// hash, stamped with the point's turn so that no point clears it; only a hit there searches the
// lists. A point then costs its draws rather than their square. One per worker.
class FarSampler {
public:
    // n points, nn neighbor slots a point, n_far partners wanted.
    FarSampler(std::size_t n, std::size_t nn, std::size_t n_far, std::uint64_t seed);
    // `near` holds the point's neighbors other than itself, near_count <= nn of them (its other
    // slots held the point). Writes the partners to out[0, n_far) and returns their count.
    std::size_t draw(std::uint32_t self, const std::uint32_t* near, std::size_t near_count,
                     std::uint32_t* out);

private:
    static constexpr unsigned kSlotBits = 13;
    static std::uint32_t slot(std::uint32_t j) { return (j * 0x9E3779B1u) >> (32 - kSlotBits); }

    std::uint32_t n_;
    std::size_t nn_, n_far_;
    std::uint64_t seed_;
    std::uint16_t turn_ = 0;
    std::vector<std::uint16_t> taken_;
};

// n_far partners a point: random ones that are neither the point nor one of its neighbors. A
// point that cannot have them all leaves the rest of its slots empty.
PartnerTable sample_far_partners(const PartnerTable& neighbors, std::size_t n_far,
                                 std::uint64_t seed);
// The same as n * n_far rows (i, f) from nn neighbor rows a point; missing partners are (0, 0).
std::vector<std::uint32_t> sample_far_pairs(std::size_t n,
                                            const std::vector<std::uint32_t>& pair_neighbors,
                                            std::size_t nn, std::size_t n_far, std::uint64_t seed);

// The far pairs grouped for the gradient without ever holding their lists: each point's sources
// come from drawing every point's partners again (a few times, a stretch of sources at a time),
// and the gradient draws them again each iteration (see LayoutPairs::far_draws). `neighbors` are
// the grouped neighbor lists, from a table of far.nn slots a point. The first pass reports as
// "layout far pairs", as the sampler does; `grouping` advances as in group_partners.
PairLists group_far_draws(const PairLists& neighbors, const FarDraws& far,
                          stop::Progress* grouping = nullptr);

// The far partners of point p, drawn again: `draws` is a FarDrawContext. For the gradient
// kernels, which take it as a plain function. `out` has room for n_far.
struct FarDrawContext {
    const PairLists* neighbors;
    FarDraws far;
};
std::size_t draw_far_partners(const void* draws, std::uint32_t p, std::uint32_t* out);

}  // namespace orvane::pacmap
