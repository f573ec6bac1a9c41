#include "src/layout/pair_sampling.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "src/layout/neighbors.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"
#include "src/common/total_order.hpp"

namespace orvane::pacmap {

namespace {
#include "src/layout/list_decode.inc"

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

std::size_t sample_distinct(std::size_t k, std::uint32_t n, IndexView reject,
                            std::uint32_t self_index, Generator& g, std::uint32_t* out) {
    std::size_t avail = n > reject.size ? n - reject.size : 0;
    if (avail > 0 && !reject.contains(self_index)) --avail;
    const std::size_t want = std::min(k, avail);
    std::size_t got = 0;
    while (got < want) {
        const std::uint32_t j = uniform_index(n, g);
        if (j == self_index || std::find(out, out + got, j) != out + got || reject.contains(j))
            continue;
        out[got++] = j;
    }
    return got;
}

std::vector<std::uint32_t> sample_distinct(std::size_t k, std::uint32_t n, IndexView reject,
                                           std::uint32_t self_index, Generator& g) {
    std::vector<std::uint32_t> out(std::min<std::size_t>(k, n));
    out.resize(sample_distinct(k, n, reject, self_index, g, out.data()));
    return out;
}

namespace {

// One sample's mid-near draws, a round at a time: draw() picks the round's candidates and asks for
// their rows, finish() takes the second closest.
struct MidNearDraws {
    const float* x;
    std::size_t d;
    std::uint32_t n;
    std::uint32_t self;
    std::uint32_t* partners;
    Generator g;
    std::size_t round = 0;
    std::uint32_t candidates[kCandidates] = {};
    std::size_t len = 0;

    void draw() {
        const IndexView written{partners, round, 1};
        len = sample_distinct(kCandidates, n, written, self, g, candidates);
        for (std::size_t p = 0; p < len; ++p) {
            const char* row = reinterpret_cast<const char*>(x + std::size_t{candidates[p]} * d);
            for (std::size_t b = 0; b < d * sizeof(float); b += 64) __builtin_prefetch(row + b);
            __builtin_prefetch(row + d * sizeof(float) - 1);
        }
    }

    void finish() {
        struct Entry {
            float distance;
            std::uint32_t index;
        } table[kCandidates] = {};
        for (std::size_t p = 0; p < len; ++p)
            table[p] = {
                pair_distance(x + std::size_t{self} * d, x + std::size_t{candidates[p]} * d, d),
                candidates[p]};
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
        partners[round++] = partner;
    }
};

}  // namespace

PartnerTable sample_mid_near_partners(const float* x, std::size_t n, std::size_t d,
                                      std::size_t n_mid_near, std::uint64_t seed) {
    PartnerTable table(n, n_mid_near);
    const auto n32 = static_cast<std::uint32_t>(n);
    constexpr std::size_t kLanes = 2;
    stop::Progress progress("layout mid-near pairs", "points", n);
    pool::for_blocks(n, kSamplesPerTask, [&](std::size_t begin, std::size_t end, std::size_t) {
        std::vector<std::uint32_t> partners(kLanes * n_mid_near);
        // Two samples in turns: one's random rows arrive while the other computes. Each sample
        // still takes its rounds in order, as each round's draw avoids the partners before it.
        for (std::size_t first = begin; first < end; first += kLanes) {
            const std::size_t lanes = std::min(kLanes, end - first);
            MidNearDraws draws[kLanes] = {
                {x, d, n32, static_cast<std::uint32_t>(first), partners.data(),
                 seed_generator(seed + first)},
                {x, d, n32, static_cast<std::uint32_t>(first + 1), partners.data() + n_mid_near,
                 seed_generator(seed + first + 1)}};
            if (n_mid_near == 0) continue;
            for (std::size_t l = 0; l < lanes; ++l) draws[l].draw();
            for (std::size_t t = 0; t < n_mid_near; ++t)
                for (std::size_t l = 0; l < lanes; ++l) {
                    draws[l].finish();
                    if (t + 1 < n_mid_near) draws[l].draw();
                }
            for (std::size_t l = 0; l < lanes; ++l)
                for (std::size_t t = 0; t < n_mid_near; ++t)
                    table.set(first + l, t, draws[l].partners[t]);
        }
        progress.advance(end - begin);
    });
    progress.finish();
    return table;
}

std::vector<std::uint32_t> sample_mid_near_pairs(const float* x, std::size_t n, std::size_t d,
                                                 std::size_t n_mid_near, std::uint64_t seed) {
    return sample_mid_near_partners(x, n, d, n_mid_near, seed).rows();
}

FarSampler::FarSampler(std::size_t n, std::size_t nn, std::size_t n_far, std::uint64_t seed)
    : n_(static_cast<std::uint32_t>(n)),
      nn_(nn),
      n_far_(n_far),
      seed_(seed),
      taken_(std::size_t{1} << kSlotBits, 0) {}

std::size_t FarSampler::draw(std::uint32_t self, const std::uint32_t* near, std::size_t near_count,
                             std::uint32_t* out) {
    // What sample_distinct counts: the nn slots as the list to avoid, the point among them when
    // a slot held it.
    std::size_t avail = n_ > nn_ ? n_ - nn_ : 0;
    if (avail > 0 && near_count == nn_) --avail;
    const std::size_t want = std::min(n_far_, avail);
    if (++turn_ == 0) {
        std::fill(taken_.begin(), taken_.end(), std::uint16_t{0});
        turn_ = 1;
    }
    const std::uint16_t turn = turn_;
    std::uint16_t* taken = taken_.data();
    taken[slot(self)] = turn;
    for (std::size_t s = 0; s < near_count; ++s) taken[slot(near[s])] = turn;
    Generator g = seed_generator(seed_ + self);
    // uniform_index's draws a batch at a time: its rejections (up to half the draws) are then
    // kept out without a branch the predictor cannot guess. Draws after the last partner taken
    // go unused; a fixed batch still beat one sized to what is missing.
    const std::uint32_t zone = want == 0 ? 0 : (n_ << std::countl_zero(n_)) - 1;
    std::size_t got = 0;
    while (got < want) {
        std::uint32_t drawn[64];
        std::size_t m = 0;
        for (std::size_t b = 0; b < 64; ++b) {
            const std::uint64_t product = std::uint64_t{g.next_u32()} * n_;
            drawn[m] = static_cast<std::uint32_t>(product >> 32);
            m += static_cast<std::uint32_t>(product) <= zone;
        }
        for (std::size_t c = 0; c < m && got < want; ++c) {
            const std::uint32_t j = drawn[c];
            std::uint16_t& t = taken[slot(j)];
            if (t == turn && (j == self || std::find(out, out + got, j) != out + got ||
                              std::find(near, near + near_count, j) != near + near_count))
                continue;
            t = turn;
            out[got++] = j;
        }
    }
    return got;
}

PartnerTable sample_far_partners(const PartnerTable& neighbors, std::size_t n_far,
                                 std::uint64_t seed) {
    const std::size_t n = neighbors.points(), nn = neighbors.slots();
    PartnerTable table(n, n_far);
    stop::Progress progress("layout far pairs", "points", n);
    pool::for_blocks(n, kSamplesPerTask, [&](std::size_t begin, std::size_t end, std::size_t) {
        std::vector<std::uint32_t> far(n_far), near(nn);
        FarSampler sampler(n, nn, n_far, seed);
        for (std::size_t i = begin; i < end; ++i) {
            const auto self = static_cast<std::uint32_t>(i);
            std::size_t near_count = 0;
            for (std::size_t s = 0; s < nn; ++s) {
                const std::uint32_t j = neighbors.get(i, s);
                if (j != self) near[near_count++] = j;
            }
            const std::size_t got = sampler.draw(self, near.data(), near_count, far.data());
            for (std::size_t p = 0; p < n_far; ++p) table.set(i, p, p < got ? far[p] : self);
        }
        progress.advance(end - begin);
    });
    progress.finish();
    return table;
}

namespace {

// A worker's sampler and a point's neighbors, for draw_far_partners.
struct FarScratch {
    std::size_t n = 0, nn = 0, n_far = 0;
    std::uint64_t seed = 0;
    FarSampler sampler{0, 0, 0, 0};
    std::vector<std::uint32_t> near;
};

}  // namespace

std::size_t draw_far_partners(const void* draws, std::uint32_t p, std::uint32_t* out) {
    const auto& c = *static_cast<const FarDrawContext*>(draws);
    thread_local FarScratch scratch;
    if (scratch.n != c.far.n || scratch.nn != c.far.nn || scratch.n_far != c.far.n_far ||
        scratch.seed != c.far.seed) {
        scratch.n = c.far.n;
        scratch.nn = c.far.nn;
        scratch.n_far = c.far.n_far;
        scratch.seed = c.far.seed;
        scratch.sampler = FarSampler(c.far.n, c.far.nn, c.far.n_far, c.far.seed);
        scratch.near.assign(c.far.nn + 8, 0);
    }
    const PairLists& nb = *c.neighbors;
    const std::uint64_t first = nb.forward_offsets.empty() ? p * c.far.nn : nb.forward_offsets[p];
    const std::uint64_t count =
        nb.forward_offsets.empty() ? c.far.nn : nb.forward_offsets[p + 1] - first;
    PackedReader{nb.forward.bytes(), first * nb.forward.width(), nb.forward.width()}.read(
        scratch.near.data(), count);
    return scratch.sampler.draw(p, scratch.near.data(), count, out);
}

PairLists group_far_draws(const PairLists& neighbors, const FarDraws& far,
                          stop::Progress* grouping) {
    const FarDrawContext context{&neighbors, far};
    return group_sources(far.n, draw_far_partners, &context, far.n_far, "layout far pairs",
                         grouping);
}

std::vector<std::uint32_t> sample_far_pairs(std::size_t n,
                                            const std::vector<std::uint32_t>& pair_neighbors,
                                            std::size_t nn, std::size_t n_far, std::uint64_t seed) {
    return sample_far_partners(PartnerTable::from_rows(pair_neighbors, n, nn), n_far, seed)
        .rows(true);
}

}  // namespace orvane::pacmap
