#include "src/layout/pair_lists.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "src/common/failure.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"
#include "src/common/zeroed.hpp"

namespace orvane::pacmap {

namespace {
#include "src/layout/list_decode.inc"

// ORs `count` bits of value (count <= 57, value below 2^count) into the stream at `bit`.
void or_bits(std::uint64_t* words, std::uint64_t bit, std::uint64_t value, unsigned count) {
    const std::uint64_t w = bit >> 6;
    const unsigned shift = bit & 63;
    words[w] |= value << shift;
    if (shift + count > 64) words[w + 1] |= value >> (64 - shift);
}

// The value before; several workers count into one array. The builtin rather than
// std::atomic_ref, which libc++ 14 lacks.
template <class T>
T relaxed_increment(T& counter) {
    return __atomic_fetch_add(&counter, T{1}, __ATOMIC_RELAXED);
}

// Words for `bits`, and the spare ones that the vector reads may touch past the end.
std::uint64_t words_for(std::uint64_t bits) { return (bits + 63) / 64 + 5; }

}  // namespace

PartnerTable::PartnerTable(std::size_t n, std::size_t slots)
    : n_(n),
      slots_(slots),
      width_(n < 2 ? 1u : static_cast<unsigned>(std::bit_width(std::uint64_t{n} - 1))) {
    assign_zeros(words_, words_for(std::uint64_t{n} * slots * width_));
}

std::uint32_t PartnerTable::at(std::size_t entry) const {
    return static_cast<std::uint32_t>(bits_from(bytes(), std::uint64_t{entry} * width_) &
                                      ((std::uint64_t{1} << width_) - 1));
}

void PartnerTable::put(std::size_t entry, std::uint32_t value) {
    const std::uint64_t bit = std::uint64_t{entry} * width_;
    const std::uint64_t w = bit >> 6, mask = (std::uint64_t{1} << width_) - 1;
    const unsigned shift = bit & 63;
    words_[w] = (words_[w] & ~(mask << shift)) | (std::uint64_t{value} << shift);
    if (shift + width_ > 64) {
        const unsigned in_next = shift + width_ - 64;
        words_[w + 1] = (words_[w + 1] & ~((std::uint64_t{1} << in_next) - 1)) |
                        (std::uint64_t{value} >> (64 - shift));
    }
}

void PartnerTable::truncate(std::size_t entries) {
    words_.resize(words_for(std::uint64_t{entries} * width_));
    words_.shrink_to_fit();
}

std::vector<std::uint32_t> PartnerTable::rows(bool zero_empty) const {
    std::vector<std::uint32_t> out(2 * n_ * slots_, 0);
    for (std::size_t p = 0; p < n_; ++p)
        for (std::size_t s = 0; s < slots_; ++s) {
            const std::uint32_t j = get(p, s);
            if (zero_empty && j == p) continue;
            out[2 * (p * slots_ + s)] = static_cast<std::uint32_t>(p);
            out[2 * (p * slots_ + s) + 1] = j;
        }
    return out;
}

PartnerTable PartnerTable::from_rows(const std::vector<std::uint32_t>& rows, std::size_t n,
                                     std::size_t slots) {
    PartnerTable t(n, slots);
    for (std::size_t e = 0; e < n * slots; ++e) t.put(e, rows[2 * e + 1]);
    return t;
}

std::size_t PairLists::read_forward(std::size_t p, std::uint32_t* out) const {
    const std::uint64_t first = forward_offsets.empty() ? p * forward.slots() : forward_offsets[p];
    const std::uint64_t last =
        forward_offsets.empty() ? first + forward.slots() : forward_offsets[p + 1];
    PackedReader{forward.bytes(), first * forward.width(), forward.width()}.read(out, last - first);
    return last - first;
}

std::vector<std::uint32_t> PairLists::forward_of(std::size_t p) const {
    std::vector<std::uint32_t> out(forward.slots() + 8);
    out.resize(read_forward(p, out.data()));
    return out;
}

std::vector<std::uint32_t> PairLists::backward_of(std::size_t p) const {
    std::uint64_t bit = 0;
    for (std::size_t q = p - p % kListBlock; q < p; ++q)
        bit += std::uint64_t{backward_meta[q] >> 6} * (backward_meta[q] & 63);
    std::vector<std::uint32_t> out(backward_meta[p] >> 6);
    DeltaReader{backward_blocks[p / kListBlock], bit, backward_meta[p] & 63}.read(out.data(),
                                                                                  out.size());
    return out;
}

// Adds the backward lists of `out` (out.n points, count[p] sources each). `entries` makes, once
// per task, a reader whose reader(p, visit) calls visit on each of p's forward entries.
template <class Entries>
void add_sources(PairLists& out, const std::vector<std::uint32_t>& count, stop::Progress* progress,
                 const Entries& entries) {
    const std::size_t n = out.n, n_blocks = (n + kListBlock - 1) / kListBlock;
    // The sources of a stretch of points at a time, so that the unpacked lists never take more
    // than an eighth of what all of them would: every stretch reads all lists once, drops the
    // sources into place in any order (so the pass can run in parallel), sorts each point's and
    // packs it into the stretch's own stream.
    std::vector<std::uint64_t> block_sources(n_blocks, 0);
    std::uint64_t total = 0;
    for (std::size_t p = 0; p < n; ++p) block_sources[p / kListBlock] += count[p];
    for (std::uint64_t c : block_sources) total += c;
    const std::uint64_t budget = std::max<std::uint64_t>(total / 8, std::uint64_t{1} << 16);
    out.backward_meta.assign(n, 0);
    out.backward_blocks.assign(n_blocks, nullptr);
    std::vector<std::uint32_t> sources;
    std::vector<std::uint64_t> cursor, block_word(n_blocks + 1, 0);
    for (std::size_t b0 = 0; b0 < n_blocks;) {
        std::size_t b1 = b0;
        std::uint64_t held = 0;
        while (b1 < n_blocks && (b1 == b0 || held + block_sources[b1] <= budget))
            held += block_sources[b1++];
        const std::size_t a = b0 * kListBlock, z = std::min(n, b1 * kListBlock);
        cursor.assign(z - a, 0);
        std::uint64_t at = 0;
        for (std::size_t q = a; q < z; ++q) {
            cursor[q - a] = at;
            at += count[q];
        }
        assign_zeros(sources, held);
        pool::for_blocks(n, kListBlock, [&](std::size_t first, std::size_t last, std::size_t) {
            auto entries_of = entries();
            // A locked increment waits for the stores before it, and a store of a source
            // mostly misses the cache: taking the slots of a batch before storing any of its
            // sources lets the stores' misses overlap.
            constexpr std::size_t kBatch = 256;
            std::uint32_t targets[kBatch], from[kBatch];
            std::uint64_t slots[kBatch];
            std::size_t m = 0;
            const auto place = [&] {
                for (std::size_t e = 0; e < m; ++e)
                    slots[e] = relaxed_increment(cursor[targets[e]]);
                for (std::size_t e = 0; e < m; ++e) sources[slots[e]] = from[e];
                m = 0;
            };
            for (std::size_t p = first; p < last; ++p)
                entries_of(p, [&](std::uint32_t j) {
                    // Without a branch: an eighth of the entries fall in the stretch, at random.
                    const std::size_t t = std::size_t{j} - a;
                    targets[m] = static_cast<std::uint32_t>(t);
                    from[m] = static_cast<std::uint32_t>(p);
                    m += t < z - a;
                    if (m == kBatch) place();
                });
            place();
        });
        stop::poll();
        // Now cursor[q - a] is where q's sources end. Sorted, each list takes the width of its
        // largest difference; each block's lists start on a word of their own.
        pool::for_blocks(z - a, kListBlock, [&](std::size_t first, std::size_t last, std::size_t) {
            std::uint64_t bits = 0;
            for (std::size_t q = first; q < last; ++q) {
                const std::uint32_t k = count[a + q];
                std::uint32_t* list = sources.data() + (cursor[q] - k);
                std::sort(list, list + k);
                std::uint32_t widest = 0, before = 0;
                for (std::uint32_t e = 0; e < k; ++e) {
                    widest = std::max(widest, list[e] - before);
                    before = list[e];
                }
                const auto width = static_cast<std::uint32_t>(std::bit_width(widest));
                out.backward_meta[a + q] = (k << 6) | width;
                bits += std::uint64_t{k} * width;
            }
            block_word[(a + first) / kListBlock + 1] = (bits + 63) / 64;
        });
        block_word[b0] = 0;
        for (std::size_t b = b0; b < b1; ++b) block_word[b + 1] += block_word[b];
        std::vector<std::uint64_t>& stream = out.backward.emplace_back();
        assign_zeros(stream, words_for(block_word[b1] * 64));
        for (std::size_t b = b0; b < b1; ++b)
            out.backward_blocks[b] =
                reinterpret_cast<const std::uint8_t*>(stream.data() + block_word[b]);
        pool::for_blocks(z - a, kListBlock, [&](std::size_t first, std::size_t last, std::size_t) {
            std::uint64_t bit = block_word[(a + first) / kListBlock] * 64;
            for (std::size_t q = first; q < last; ++q) {
                const std::uint32_t k = count[a + q], width = out.backward_meta[a + q] & 63;
                const std::uint32_t* list = sources.data() + (cursor[q] - k);
                std::uint32_t before = 0;
                for (std::uint32_t e = 0; e < k; ++e, bit += width) {
                    if (width != 0) or_bits(stream.data(), bit, list[e] - before, width);
                    before = list[e];
                }
            }
        });
        if (progress) progress->advance(z - a);
        stop::poll();
        b0 = b1;
    }
}

PairLists group_partners(PartnerTable&& table, stop::Progress* progress) {
    PairLists out;
    const std::size_t n = table.points(), slots = table.slots();
    const std::size_t n_blocks = (n + kListBlock - 1) / kListBlock;
    out.n = n;
    std::vector<std::uint32_t> count(n, 0);
    std::vector<std::uint64_t> dropped(n_blocks, 0);
    pool::for_blocks(n, kListBlock, [&](std::size_t first, std::size_t last, std::size_t) {
        std::uint64_t self = 0;
        std::vector<std::uint32_t> row(slots + 8);
        for (std::size_t p = first; p < last; ++p) {
            PackedReader{table.bytes(), p * slots * table.width(), table.width()}.read(row.data(),
                                                                                       slots);
            for (std::size_t s = 0; s < slots; ++s) {
                if (row[s] == p) {
                    ++self;
                    continue;
                }
                relaxed_increment(count[row[s]]);
            }
        }
        dropped[first / kListBlock] = self;
    });
    if (std::any_of(count.begin(), count.end(), [](std::uint32_t c) { return c > kMaxSources; }))
        raise_internal_failure("a point is the partner of too many others");
    // A sweep over all pairs takes seconds at ten million points: stop checks between passes
    // and every block of points.
    stop::poll();
    if (std::any_of(dropped.begin(), dropped.end(), [](std::uint64_t d) { return d != 0; })) {
        // Writes trail reads: entry w lands at w <= e.
        out.forward_offsets.assign(n + 1, 0);
        std::size_t w = 0;
        for (std::size_t p = 0; p < n; ++p) {
            if (p % kListBlock == 0) stop::poll();
            out.forward_offsets[p] = w;
            for (std::size_t s = 0; s < slots; ++s) {
                const std::uint32_t j = table.get(p, s);
                if (j != p) table.put(w++, j);
            }
        }
        out.forward_offsets[n] = w;
        table.truncate(w);
        stop::poll();
    }
    out.forward = std::move(table);
    add_sources(out, count, progress, [&out, slots] {
        return [&out, row = std::vector<std::uint32_t>(slots + 8)](std::size_t p,
                                                                   auto&& visit) mutable {
            const std::size_t m = out.read_forward(p, row.data());
            for (std::size_t e = 0; e < m; ++e) visit(row[e]);
        };
    });
    return out;
}

PairLists group_sources(std::size_t n, ForwardEntries forward, const void* context,
                        std::size_t most, const char* counting, stop::Progress* progress) {
    PairLists out;
    out.n = n;
    std::vector<std::uint32_t> count(n, 0);
    {
        std::optional<stop::Progress> first_pass;
        if (counting) first_pass.emplace(counting, "points", n);
        pool::for_blocks(n, kListBlock, [&](std::size_t first, std::size_t last, std::size_t) {
            std::vector<std::uint32_t> entries(most);
            for (std::size_t p = first; p < last; ++p) {
                const std::size_t m =
                    forward(context, static_cast<std::uint32_t>(p), entries.data());
                for (std::size_t e = 0; e < m; ++e) relaxed_increment(count[entries[e]]);
            }
            if (first_pass) first_pass->advance(last - first);
        });
        if (first_pass) first_pass->finish();
    }
    if (std::any_of(count.begin(), count.end(), [](std::uint32_t c) { return c > kMaxSources; }))
        raise_internal_failure("a point is the partner of too many others");
    stop::poll();
    add_sources(out, count, progress, [&] {
        return [&, entries = std::vector<std::uint32_t>(most)](std::size_t p,
                                                               auto&& visit) mutable {
            const std::size_t m = forward(context, static_cast<std::uint32_t>(p), entries.data());
            for (std::size_t e = 0; e < m; ++e) visit(entries[e]);
        };
    });
    return out;
}

PairLists group_pairs(std::vector<std::uint32_t>&& rows, std::size_t n) {
    const std::size_t n_rows = rows.size() / 2;
    std::vector<std::size_t> count(n, 0);
    for (std::size_t r = 0; r < n_rows; ++r) {
        const std::uint32_t i = rows[2 * r], j = rows[2 * r + 1];
        if (i >= n || j >= n) fail_index(std::max(i, j), n);
        ++count[i];
    }
    const std::size_t slots = n == 0 ? 0 : *std::max_element(count.begin(), count.end());
    PartnerTable table(n, slots);
    for (std::size_t p = 0; p < n; ++p)
        for (std::size_t s = 0; s < slots; ++s) table.set(p, s, static_cast<std::uint32_t>(p));
    std::fill(count.begin(), count.end(), 0);
    for (std::size_t r = 0; r < n_rows; ++r) {
        const std::uint32_t i = rows[2 * r];
        table.set(i, count[i]++, rows[2 * r + 1]);
    }
    std::vector<std::uint32_t>().swap(rows);
    return group_partners(std::move(table));
}

}  // namespace orvane::pacmap
