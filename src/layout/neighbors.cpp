#include "src/layout/neighbors.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <string>
#include <usearch/index_plugins.hpp>

#include "src/layout/errors.hpp"
#include "src/layout/index_memory.hpp"
#include "src/common/large_pages.hpp"
#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"
#include "src/common/total_order.hpp"

namespace orvane::pacmap {

namespace {

constexpr std::size_t kRowsPerTask = 16;
constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};

// Truncation, as the library's own f32 to bf16 cast does; zeros pad the row to the stride.
void to_bf16(const float* row, std::size_t d, std::uint16_t* out) {
    for (std::size_t e = 0; e < d; ++e)
        out[e] = static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(row[e]) >> 16);
}

// The index's vectors, one zero-padded bf16 row per slot, in one block of large pages.
class Bf16Rows {
public:
    Bf16Rows(std::size_t n, std::size_t d) : stride_((d + 15) / 16 * 16), block_(n * stride_ * 2) {}
    explicit operator bool() const { return static_cast<bool>(block_); }
    std::size_t stride() const { return stride_; }
    std::uint16_t* at(std::size_t slot) const { return static_cast<std::uint16_t*>(block_.data()) + slot * stride_; }
    void prefetch(std::size_t slot) const {
        const char* p = reinterpret_cast<const char*>(at(slot));
        for (std::size_t b = 0; b < stride_ * 2; b += 64) __builtin_prefetch(p + b);
    }

private:
    std::size_t stride_;
    pages::Block block_;
};

struct Bf16Distance {
    const Bf16Rows* rows;
    float (*l2sq_bf16)(const std::uint16_t*, const std::uint16_t*, std::size_t);
    template <typename Member>
    float operator()(const std::uint16_t* query, const Member& m) const {
        return l2sq_bf16(query, rows->at(get_slot(m)), rows->stride());
    }
    template <typename Member>
    float operator()(const Member& a, const Member& b) const {
        return l2sq_bf16(rows->at(get_slot(a)), rows->at(get_slot(b)), rows->stride());
    }
};

}  // namespace

KnnCandidates exact_knn(const float* x, std::size_t n, std::size_t d, std::size_t k) {
    KnnCandidates c;
    c.n = n;
    c.k = n == 0 ? 0 : std::min(n - 1, k);
    c.index.assign(n * c.k, 0);
    c.distance.assign(n * c.k, 0.0f);
    c.filled.assign(n, static_cast<std::uint32_t>(c.k));
    if (c.k == 0) return c;
    // One buffer of (distance key, partner) per worker; only k survive per row, so memory stays
    // linear in n.
    std::vector<std::vector<std::uint64_t>> scratch(pool::worker_count());
    const auto distance = layout_kernels().pair_distance;
    const std::size_t n_tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
    pool::run_tasks(n_tasks, [&](std::size_t task, std::size_t worker) {
        auto& keys = scratch[worker];
        keys.resize(n - 1);
        const std::size_t end = std::min(n, (task + 1) * kRowsPerTask);
        for (std::size_t i = task * kRowsPerTask; i < end; ++i) {
            const float* xi = x + i * d;
            std::size_t m = 0;
            for (std::size_t j = 0; j < n; ++j) {
                if (j == i) continue;
                const float dist = distance(xi, x + j * d, d);
                keys[m++] = (std::uint64_t{total_order_key(dist)} << 32) | j;
            }
            if (c.k < keys.size())
                std::nth_element(keys.begin(), keys.begin() + c.k, keys.end());
            std::sort(keys.begin(), keys.begin() + c.k);
            for (std::size_t p = 0; p < c.k; ++p) {
                const auto j = static_cast<std::uint32_t>(keys[p]);
                c.index[i * c.k + p] = j;
                c.distance[i * c.k + p] = from_total_order_key(static_cast<std::uint32_t>(keys[p] >> 32));
            }
        }
    });
    return c;
}

namespace {

// Skipping a row the index had no memory for would return a layout of missing neighbours as if
// it were sound; every other library failure stays a logged skip.
bool out_of_memory(const std::string& library_message) {
    return library_message.rfind("Out of memory", 0) == 0;
}

std::string shape_text(std::size_t n, std::size_t d) {
    return std::to_string(n) + " x " + std::to_string(d) + " embeddings";
}

}  // namespace

KnnCandidates approximate_knn(const float* x, std::size_t n, std::size_t d, std::size_t k,
                              LogSink* sink, SearchTimes* times) {
    using namespace unum::usearch;
    // The graph core of the library, with the vectors kept by us: one contiguous bf16 row per
    // slot, so a distance is one load away and the traversal can prefetch the rows it is about
    // to compare (the dense wrapper goes through a pointer per vector and takes no prefetch).
    // Connectivity 0 is the library's 16 (32 on the base layer); zero expansions in the calls'
    // configs are its 128 for additions and 64 for searches. The core keeps no key table, so
    // keys may repeat, as the wrapper's multi option allows.
    using graph_t = index_gt<float, std::uint64_t, std::uint32_t, LargePageAllocator<byte_t>, NodeTape>;
    const std::size_t workers = pool::worker_count();
    auto made = graph_t::make(index_config_t(0, 0));
    if (!made) {
        const std::string message = made.error.release();
        fail_with(ErrorKind::IndexFailed, "failed to construct index: " + message);
    }
    graph_t index = std::move(made.index);
    const Bf16Rows rows(n, d);
    std::vector<std::uint32_t> slot_of(n, kNoSlot);
    if (!index.try_reserve(index_limits_t(n, workers)) || !rows)
        fail_with(ErrorKind::IndexFailed, "failed to reserve space for vectors: failed to reserve memory");
    const Bf16Distance metric{&rows, layout_kernels().l2sq_bf16};
    // `end` is const: USearch's iterator compares through non-const members, and C++20 would also
    // try them with the operands swapped, which clang 14 flags as ambiguous.
    const auto prefetch = [&rows](auto begin, const auto end) {
        for (auto it = begin; it != end; ++it) rows.prefetch(get_slot(it));
    };
    std::vector<std::vector<std::uint16_t>> query(workers, std::vector<std::uint16_t>(rows.stride()));

    const auto seconds_since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto start = std::chrono::steady_clock::now();
    pool::run_tasks(n, [&](std::size_t i, std::size_t worker) {
        std::uint16_t* q = query[worker].data();
        to_bf16(x + i * d, d, q);
        index_update_config_t config;
        config.thread = worker;
        auto added = index.add(
            static_cast<std::uint64_t>(i), static_cast<const std::uint16_t*>(q), metric, config,
            [&](graph_t::member_ref_t member) {
                std::memcpy(rows.at(member.slot), q, rows.stride() * sizeof(std::uint16_t));
                slot_of[i] = static_cast<std::uint32_t>(member.slot);
            },
            prefetch);
        if (!added) {
            const std::string message = added.error.release();
            if (out_of_memory(message))
                throw OutOfMemory("out of memory while adding row " + std::to_string(i) +
                                  " to the approximate nearest-neighbour index of " +
                                  shape_text(n, d) + " (" + message + ")");
            log_event(sink, LogLevel::Error, [&] {
                return "failed to add vector to index: " + message + "; skipping";
            });
        }
    });

    if (times) times->add_seconds = seconds_since(start);

    start = std::chrono::steady_clock::now();
    KnnCandidates c;
    c.n = n;
    c.k = k;
    c.index.assign(n * k, 0);
    c.distance.assign(n * k, 0.0f);
    c.filled.assign(n, 0);
    pool::run_tasks(n, [&](std::size_t i, std::size_t worker) {
        const std::uint32_t self = slot_of[i];
        const std::uint16_t* q = self == kNoSlot ? query[worker].data() : rows.at(self);
        if (self == kNoSlot) to_bf16(x + i * d, d, query[worker].data());
        index_search_config_t config;
        config.thread = worker;
        // A row that is not in the index has no slot; every stored key then differs from it.
        auto found = index.search(
            q, k, metric, config,
            [self](const graph_t::member_cref_t& member) {
                // Asked only of candidates that join the walk's frontier: fetch the node's
                // neighbour list now, before the walk comes back to expand it.
                const char* node = reinterpret_cast<const char*>(member.key.ptr());
                __builtin_prefetch(node);
                __builtin_prefetch(node + 64);
                return member.slot != self;
            },
            prefetch);
        if (!found) {
            const std::string message = found.error.release();
            if (out_of_memory(message))
                throw OutOfMemory("out of memory while searching row " + std::to_string(i) +
                                  " in the approximate nearest-neighbour index of " +
                                  shape_text(n, d) + " (" + message + ")");
            log_event(sink, LogLevel::Error,
                      [&] { return "index search failed: " + message + "; skipping"; });
            return;
        }
        const std::size_t count = std::min(k, found.size());
        for (std::size_t m = 0; m < count; ++m) {
            const auto match = found[m];
            c.index[i * k + m] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(match.member.key));
            c.distance[i * k + m] = std::sqrt(match.distance);
        }
        c.filled[i] = static_cast<std::uint32_t>(count);
    });
    if (times) times->search_seconds = seconds_since(start);
    return c;
}

std::vector<float> candidate_sigma(const KnnCandidates& c) {
    constexpr float kFloor = 1e-10f;
    std::vector<float> sigma(c.n, kFloor);
    for (std::size_t i = 0; i < c.n; ++i) {
        const std::size_t real = c.filled[i];
        if (real == 0) continue;
        const std::size_t begin = std::min<std::size_t>(real - 1, 3);
        const std::size_t end = std::min<std::size_t>(real, 6);
        float sum = 0.0f;
        for (std::size_t j = begin; j < end; ++j) sum += c.distance[i * c.k + j];
        const float mean = sum / static_cast<float>(end - begin);
        sigma[i] = mean > kFloor ? mean : kFloor;
    }
    return sigma;
}

std::vector<std::uint32_t> pair_neighbors_from(const KnnCandidates& c, std::size_t n_neighbors) {
    const std::size_t per_sample = c.n == 0 ? 0 : std::min(c.n - 1, n_neighbors);
    std::vector<std::uint32_t> pairs(c.n * per_sample * 2, 0);
    if (per_sample == 0) return pairs;
    const std::vector<float> sigma = candidate_sigma(c);
    std::vector<std::vector<std::uint64_t>> scratch(pool::worker_count());
    const std::size_t n_tasks = (c.n + 255) / 256;
    pool::run_tasks(n_tasks, [&](std::size_t task, std::size_t worker) {
        auto& order = scratch[worker];
        const std::size_t end = std::min(c.n, (task + 1) * 256);
        for (std::size_t i = task * 256; i < end; ++i) {
            const std::size_t real = c.filled[i];
            order.resize(real);
            for (std::size_t j = 0; j < real; ++j) {
                const std::uint32_t m = c.index[i * c.k + j];
                const float dist = c.distance[i * c.k + j];
                const float scaled = (dist * dist) / (sigma[i] * sigma[m]);
                order[j] = (std::uint64_t{total_order_key(scaled)} << 32) | j;
            }
            const std::size_t kept = std::min(real, per_sample);
            std::partial_sort(order.begin(), order.begin() + kept, order.end());
            std::uint32_t* row = pairs.data() + i * per_sample * 2;
            for (std::size_t j = 0; j < per_sample; ++j) {
                row[2 * j] = static_cast<std::uint32_t>(i);
                // rows without enough real candidates pair the sample with itself: skipped later
                row[2 * j + 1] =
                    j < kept ? c.index[i * c.k + static_cast<std::uint32_t>(order[j])]
                             : static_cast<std::uint32_t>(i);
            }
        }
    });
    return pairs;
}

std::vector<std::uint32_t> nearest_neighbor_pairs(const float* x, std::size_t n, std::size_t d,
                                                  std::size_t n_neighbors,
                                                  std::size_t approx_threshold, LogSink* sink) {
    if (n >= (std::size_t{1} << 32)) fail("sample indices must fit in 32 bits");
    const std::size_t n_candidates =
        n == 0 ? 0 : (n_neighbors >= n - 1 ? n - 1 : std::min(n - 1, n_neighbors + 50));
    const KnnCandidates c = n >= approx_threshold
                                ? approximate_knn(x, n, d, n_candidates, sink)
                                : exact_knn(x, n, d, n_candidates);
    return pair_neighbors_from(c, n_neighbors);
}

}  // namespace orvane::pacmap
