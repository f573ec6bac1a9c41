#pragma once
// The layout's pairs in the few bytes a pair that the gradient needs: each point's partners as
// bit-packed indices, and each point's sources (the points that list it) Elias-Fano coded.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane::stop {
class Progress;
}

namespace orvane::pacmap {

// A fixed number of partner slots per point, each an index of the fewest bits that hold n - 1,
// packed one after the other. A slot holding its own point is empty. Tasks that fill a table in
// parallel start at multiples of 64 points, so that no two of them write into one 64-bit word.
class PartnerTable {
public:
    PartnerTable() = default;
    PartnerTable(std::size_t n, std::size_t slots);

    std::size_t points() const { return n_; }
    std::size_t slots() const { return slots_; }
    unsigned width() const { return width_; }
    const std::uint8_t* bytes() const {
        return reinterpret_cast<const std::uint8_t*>(words_.data());
    }

    std::uint32_t at(std::size_t entry) const;
    void put(std::size_t entry, std::uint32_t value);
    std::uint32_t get(std::size_t p, std::size_t slot) const { return at(p * slots_ + slot); }
    void set(std::size_t p, std::size_t slot, std::uint32_t value) {
        put(p * slots_ + slot, value);
    }

    // Keeps the first `entries` entries and frees the rest.
    void truncate(std::size_t entries);

    // The table as (i, j) rows, n x slots of them; an empty slot reads (i, i), or (0, 0) with
    // zero_empty (the far sampler's filler).
    std::vector<std::uint32_t> rows(bool zero_empty = false) const;
    // The j of rows (i, j) grouped by i, `slots` a point.
    static PartnerTable from_rows(const std::vector<std::uint32_t>& rows, std::size_t n,
                                  std::size_t slots);

private:
    std::size_t n_ = 0, slots_ = 0;
    unsigned width_ = 1;
    std::vector<std::uint64_t> words_;
};

// Points per entry of PairLists::backward_blocks.
inline constexpr std::size_t kListBlock = 256;
// The most sources one point can have: a point's count and width share 32 bits.
inline constexpr std::uint32_t kMaxSources = (std::uint32_t{1} << 26) - 1;

// The pairs of one kind, grouped by point in the order the gradient visits them: each point's
// gradient is gathered by one task, so no two tasks add into the same entry and the sums do not
// depend on the number of workers. For every point p: its partners j of the rows (p, j), in row
// order, then the i of the rows (i, p), ascending. Rows pairing a point with itself are dropped:
// they carry no loss and no gradient.
struct PairLists {
    PairLists() = default;
    PairLists(PairLists&&) = default;
    PairLists& operator=(PairLists&&) = default;
    PairLists(const PairLists&) = delete;  // backward_blocks point into backward

    std::size_t n = 0;
    // Point p's partners are entries [forward_offsets[p], forward_offsets[p + 1]), or, when no
    // row was dropped (forward_offsets empty), its forward.slots() slots.
    PartnerTable forward;
    std::vector<std::uint64_t> forward_offsets;
    // Point p's sources: backward_meta[p] >> 6 of them, as differences from the one before (the
    // first from zero) packed at width backward_meta[p] & 63, right after those of p - 1, or at
    // backward_blocks[p / kListBlock] when p starts a block. The blocks' streams are built a
    // stretch of points at a time, one vector each.
    std::vector<std::vector<std::uint64_t>> backward;
    std::vector<const std::uint8_t*> backward_blocks;
    std::vector<std::uint32_t> backward_meta;

    std::vector<std::uint32_t> forward_of(std::size_t p) const;
    // Writes p's partners to `out`, which has room for eight more than forward.slots(); returns
    // their number.
    std::size_t read_forward(std::size_t p, std::uint32_t* out) const;
    std::vector<std::uint32_t> backward_of(std::size_t p) const;
};

// Groups a table in place (its storage becomes the forward lists), advancing `progress` by one
// for each point whose lists are complete.
PairLists group_partners(PartnerTable&& table, stop::Progress* progress = nullptr);
// Groups (i, j) rows over n points, in any order; rows with the same i keep their order.
PairLists group_pairs(std::vector<std::uint32_t>&& rows, std::size_t n);

// Lists whose forward entries are not held but produced again on demand: `forward(context, p,
// out)` writes point p's entries (at most `most`) to out and returns their count. Builds their
// sources as group_partners does, advancing `progress` as group_partners does; the first pass,
// which counts them, reports as a progress of its own named `counting` when that is not null.
using ForwardEntries = std::size_t (*)(const void* context, std::uint32_t p, std::uint32_t* out);
PairLists group_sources(std::size_t n, ForwardEntries forward, const void* context,
                        std::size_t most, const char* counting, stop::Progress* progress);

// Far partners that are drawn again wherever they are needed, from the seed and each point's
// neighbors, instead of held: past a few million points their lists would be the largest part
// of a layout's memory, while the gradient waits on memory anyway.
struct FarDraws {
    bool on = false;
    std::size_t n = 0, nn = 0, n_far = 0;  // points, neighbor slots a point, partners a point
    std::uint64_t seed = 0;
};

struct LayoutPairs {
    std::size_t n = 0;
    PairLists neighbor, mid_near, far;
    // When on, `far` holds only the sources.
    FarDraws far_draws;
};

}  // namespace orvane::pacmap
