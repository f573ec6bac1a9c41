#include "src/layout/neighbors.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <string>

#include "src/layout/errors.hpp"
#include "src/layout/wave_graph.hpp"
#include "src/common/failure.hpp"
#include "src/common/worker_pool.hpp"
#include "src/common/total_order.hpp"
#include "src/scores/knn/handlers.hpp"
#include "src/scores/knn/query_blocks.hpp"

namespace orvane::pacmap {

namespace {

constexpr std::size_t kRowsPerTask = 16;

// Truncation, as USearch's own f32 to bf16 cast does; zeros pad the row to the stride.
void to_bf16(const float* row, std::size_t d, std::uint16_t* out) {
    for (std::size_t e = 0; e < d; ++e)
        out[e] = static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(row[e]) >> 16);
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
    // Blocks of rows against every row, in distances of the layout's own kernel; each row keeps
    // only its k nearest (distance key, partner), so memory stays linear in n.
    const auto distance = layout_kernels().pair_distance;
    const auto fill = [&](std::size_t r0, std::size_t rows, std::size_t c0, std::size_t cols,
                          float* out) {
        for (std::size_t r = 0; r < rows; ++r) {
            const float* xi = x + (r0 + r) * d;
            for (std::size_t j = 0; j < cols; ++j)
                out[r * cols + j] = distance(xi, x + (c0 + j) * d, d);
        }
    };
    const auto key = [](float dist, std::size_t j) {
        return (std::uint64_t{total_order_key(dist)} << 32) | j;
    };
    const auto done = [&](std::size_t i, std::span<const std::uint64_t> keys) {
        for (std::size_t p = 0; p < c.k; ++p) {
            c.index[i * c.k + p] = static_cast<std::uint32_t>(keys[p]);
            c.distance[i * c.k + p] =
                from_total_order_key(static_cast<std::uint32_t>(keys[p] >> 32));
        }
    };
    knn::BoundedHeaps heaps(c.k, key, done);
    knn::scan_query_tiles(n, n, kRowsPerTask, knn::kTileColumns, fill, heaps);
    return c;
}

namespace {

std::string shape_text(std::size_t n, std::size_t d) {
    return std::to_string(n) + " x " + std::to_string(d) + " embeddings";
}

}  // namespace

KnnCandidates approximate_knn(const float* x, std::size_t n, std::size_t d, std::size_t k, LogSink*,
                              SearchTimes* times) {
    // Connectivity 16 (32 on the base level), expansion 128 while linking and 64 while searching,
    // bf16 rows compared by squared L2; built in waves so that the graph, and with it every
    // candidate list, depends on the rows alone.
    const Bf16Rows rows(n, d);
    WaveGraph graph(rows, n, layout_kernels().l2sq_bf16_rows);
    if ((n > 0 && !rows) || !graph.ok())
        throw OutOfMemory(
            "failed to reserve space for vectors: out of memory for the approximate "
            "nearest-neighbor index of " +
            shape_text(n, d));

    const auto seconds_since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto start = std::chrono::steady_clock::now();
    pool::parallel_for(n, 256, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) to_bf16(x + i * d, d, rows.at(i));
    });
    try {
        graph.build();
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("out of memory while linking the approximate nearest-neighbor index of " +
                          shape_text(n, d));
    }
    if (times) times->add_seconds = seconds_since(start);

    start = std::chrono::steady_clock::now();
    KnnCandidates c;
    c.n = n;
    c.k = k;
    c.index.assign(n * k, 0);
    c.distance.assign(n * k, 0.0f);
    c.filled.assign(n, 0);
    const std::size_t workers = pool::worker_count();
    std::vector<WaveGraph::Scratch> scratch;
    std::vector<std::array<std::vector<std::uint64_t>, WaveGraph::kLanes>> found(workers);
    for (std::size_t w = 0; w < workers; ++w) scratch.push_back(graph.scratch());
    const std::size_t n_tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
    pool::run_tasks(n_tasks, [&](std::size_t task, std::size_t worker) {
        const std::size_t end = std::min(n, (task + 1) * kRowsPerTask);
        auto& out = found[worker];
        for (std::size_t first = task * kRowsPerTask; first < end; first += WaveGraph::kLanes) {
            const std::size_t count = std::min(WaveGraph::kLanes, end - first);
            const std::uint16_t* queries[WaveGraph::kLanes];
            std::uint32_t excluded[WaveGraph::kLanes];
            for (std::size_t j = 0; j < count; ++j) {
                queries[j] = rows.at(first + j);
                excluded[j] = static_cast<std::uint32_t>(first + j);
            }
            graph.search(queries, excluded, count, k, scratch[worker], out.data());
            for (std::size_t j = 0; j < count; ++j) {
                const std::size_t i = first + j;
                for (std::size_t m = 0; m < out[j].size(); ++m) {
                    c.index[i * k + m] = static_cast<std::uint32_t>(out[j][m]);
                    c.distance[i * k + m] = std::sqrt(
                        from_total_order_key(static_cast<std::uint32_t>(out[j][m] >> 32)));
                }
                c.filled[i] = static_cast<std::uint32_t>(out[j].size());
            }
        }
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
                row[2 * j + 1] = j < kept ? c.index[i * c.k + static_cast<std::uint32_t>(order[j])]
                                          : static_cast<std::uint32_t>(i);
            }
        }
    });
    return pairs;
}

std::vector<std::uint32_t> nearest_neighbor_pairs(const float* x, std::size_t n, std::size_t d,
                                                  std::size_t n_neighbors,
                                                  std::size_t approx_threshold, LogSink* sink) {
    if (n >= (std::size_t{1} << 32)) raise_internal_failure("sample indices must fit in 32 bits");
    const std::size_t n_candidates =
        n == 0 ? 0 : (n_neighbors >= n - 1 ? n - 1 : std::min(n - 1, n_neighbors + 50));
    const KnnCandidates c = n >= approx_threshold ? approximate_knn(x, n, d, n_candidates, sink)
                                                  : exact_knn(x, n, d, n_candidates);
    return pair_neighbors_from(c, n_neighbors);
}

}  // namespace orvane::pacmap
