#include "src/layout/neighbors.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <string>
#include <usearch/index_dense.hpp>

#include "src/layout/errors.hpp"
#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"
#include "src/common/total_order.hpp"

namespace orvane::pacmap {

namespace {

constexpr std::size_t kRowsPerTask = 16;

// Squared L2 between two bf16 vectors for the index. The library's portable kernel is one serial
// f32 chain (no reassociation allowed without fast-math); sixteen independent sums let the
// compiler use the vector units (AVX2 where the CPU has it, same lanes either way). bf16 widens
// to f32 exactly by a 16-bit shift.
__attribute__((target_clones("avx512f", "avx2", "default"))) float l2sq_bf16(std::size_t a_addr,
                                                                   std::size_t b_addr,
                                                                   std::size_t dims) {
    typedef std::uint16_t u16x16 __attribute__((vector_size(32)));
    typedef std::uint32_t u32x16 __attribute__((vector_size(64)));
    typedef float f32x16 __attribute__((vector_size(64)));
    const auto* a = reinterpret_cast<const std::uint16_t*>(a_addr);
    const auto* b = reinterpret_cast<const std::uint16_t*>(b_addr);
    f32x16 acc = {};
    std::size_t e = 0;
    for (; e + 16 <= dims; e += 16) {
        u16x16 ra, rb;
        std::memcpy(&ra, a + e, sizeof ra);
        std::memcpy(&rb, b + e, sizeof rb);
        const auto fa = reinterpret_cast<f32x16>(__builtin_convertvector(ra, u32x16) << 16);
        const auto fb = reinterpret_cast<f32x16>(__builtin_convertvector(rb, u32x16) << 16);
        const f32x16 diff = fa - fb;
        acc += diff * diff;
    }
    // A tree over the lanes: four dependent additions instead of a chain of sixteen.
    typedef float f32x8 __attribute__((vector_size(32)));
    typedef float f32x4 __attribute__((vector_size(16)));
    const f32x8 h8 = __builtin_shufflevector(acc, acc, 0, 1, 2, 3, 4, 5, 6, 7) +
                     __builtin_shufflevector(acc, acc, 8, 9, 10, 11, 12, 13, 14, 15);
    const f32x4 h4 = __builtin_shufflevector(h8, h8, 0, 1, 2, 3) + __builtin_shufflevector(h8, h8, 4, 5, 6, 7);
    float total = (h4[0] + h4[2]) + (h4[1] + h4[3]);
    for (; e < dims; ++e) {
        const float diff = std::bit_cast<float>(std::uint32_t{a[e]} << 16) -
                           std::bit_cast<float>(std::uint32_t{b[e]} << 16);
        total += diff * diff;
    }
    return total;
}

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
                const float dist = pair_distance(xi, x + j * d, d);
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

KnnCandidates approximate_knn(const float* x, std::size_t n, std::size_t d, std::size_t k,
                              LogSink* sink, SearchTimes* times) {
    using namespace unum::usearch;
    const std::size_t workers = pool::worker_count();
    const metric_punned_t metric(d, reinterpret_cast<std::uintptr_t>(&l2sq_bf16),
                                 metric_punned_signature_t::array_array_size_k,
                                 metric_kind_t::l2sq_k, scalar_kind_t::bf16_k);
    index_dense_config_t config(0, 0, 0);
    config.multi = true;
    auto made = index_dense_t::make(metric, config, default_free_value<default_key_t>(),
                                    index_limits_t(0, workers));
    if (!made) {
        const std::string message = made.error.release();
        fail_with(ErrorKind::IndexFailed, "failed to construct index: " + message);
    }
    index_dense_t index = std::move(made.index);
    try {
        index.reserve(index_limits_t(n, workers));
    } catch (const std::exception& e) {
        fail_with(ErrorKind::IndexFailed,
                  std::string("failed to reserve space for vectors: ") + e.what());
    }

    const auto seconds_since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto start = std::chrono::steady_clock::now();
    pool::run_tasks(n, [&](std::size_t i, std::size_t worker) {
        auto added = index.add(static_cast<default_key_t>(i), x + i * d, worker);
        if (!added) {
            const std::string message = added.error.release();
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
        const auto self = static_cast<default_key_t>(i);
        auto found = index.filtered_search(
            x + i * d, k, [self](const auto& key) { return static_cast<default_key_t>(key) != self; }, worker);
        if (!found) {
            const std::string message = found.error.release();
            log_event(sink, LogLevel::Error,
                      [&] { return "index search failed: " + message + "; skipping"; });
            return;
        }
        const std::size_t count = std::min(k, found.size());
        for (std::size_t m = 0; m < count; ++m) {
            const auto match = found[m];
            c.index[i * k + m] = static_cast<std::uint32_t>(static_cast<default_key_t>(match.member.key));
            c.distance[i * k + m] = std::sqrt(static_cast<float>(match.distance));
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
