#include "src/layout/neighbors.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <string>

#include "src/layout/errors.hpp"
#include "src/layout/wave_graph.hpp"
#include "src/common/failure.hpp"
#include "src/common/stop.hpp"
#include "src/common/worker_pool.hpp"
#include "src/common/zeroed.hpp"
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

namespace {

// The index's candidates: every row's list, nearest first, by the index's own distances. The
// rows stay, so that a candidate's distance can be had again with the same bits (the kernel gives
// a row the bits it has in any group); the graph's links are gone once the search is done.
struct IndexCandidates {
    Bf16Rows rows;
    KnnCandidates c;  // without distances

    float distance(std::size_t i, std::size_t p) const {
        const std::uint32_t slot = c.index[i * c.k + p];
        float squared;
        layout_kernels().l2sq_bf16_rows(rows.at(i), rows.at(0), rows.stride(), &slot, 1, &squared);
        return std::sqrt(squared);
    }
};

// Connectivity 16 (32 on the base level), expansion 128 while linking and 64 while searching,
// bf16 rows compared by squared L2; built in waves so that the graph, and with it every candidate
// list, depends on the rows alone. `release` runs once the bf16 rows exist: the caller's f32 rows
// are not read after it.
IndexCandidates search_index(const float* x, std::size_t n, std::size_t d, std::size_t k,
                             LogSink* sink, SearchTimes* times, FunctionRef<void()> release) {
    IndexCandidates out{Bf16Rows(n, d), {}};
    const Bf16Rows& rows = out.rows;
    const auto seconds_since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto start = std::chrono::steady_clock::now();
    const auto out_of_memory = [&] {
        return OutOfMemory(
            "failed to reserve space for vectors: out of memory for the approximate "
            "nearest-neighbor index of " +
            shape_text(n, d));
    };
    if (n > 0 && !rows) throw out_of_memory();
    // Fixed blocks, each a task with a stop check before it: at ten million rows a few chunks a
    // worker would keep Ctrl-C waiting.
    pool::for_blocks(n, 4096, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) to_bf16(x + i * d, d, rows.at(i));
    });
    release();
    mark_stage(sink, "bf16 rows");
    WaveGraph graph(rows, n, layout_kernels().l2sq_bf16_rows);
    if (!graph.ok()) throw out_of_memory();
    stop::Progress linking("layout index", "rows", n);
    try {
        graph.build(&linking);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("out of memory while linking the approximate nearest-neighbor index of " +
                          shape_text(n, d));
    }
    linking.finish();
    if (times) times->add_seconds = seconds_since(start);
    mark_stage(sink, "graph linked");

    start = std::chrono::steady_clock::now();
    stop::Progress searching("layout neighbours", "rows", n);
    KnnCandidates& c = out.c;
    c.n = n;
    c.k = k;
    assign_zeros(c.index, n * k);
    assign_zeros(c.filled, n);
    const std::size_t workers = pool::worker_count();
    std::vector<WaveGraph::Scratch> scratch;
    std::vector<std::array<std::vector<std::uint64_t>, WaveGraph::kLanes>> found(workers);
    for (std::size_t w = 0; w < workers; ++w) scratch.push_back(graph.scratch());
    const std::size_t n_tasks = (n + kRowsPerTask - 1) / kRowsPerTask;
    pool::run_tasks(n_tasks, [&](std::size_t task, std::size_t worker) {
        const std::size_t end = std::min(n, (task + 1) * kRowsPerTask);
        auto& found_here = found[worker];
        for (std::size_t first = task * kRowsPerTask; first < end; first += WaveGraph::kLanes) {
            const std::size_t count = std::min(WaveGraph::kLanes, end - first);
            const std::uint16_t* queries[WaveGraph::kLanes];
            std::uint32_t excluded[WaveGraph::kLanes];
            for (std::size_t j = 0; j < count; ++j) {
                queries[j] = rows.at(first + j);
                excluded[j] = static_cast<std::uint32_t>(first + j);
            }
            graph.search(queries, excluded, count, k, scratch[worker], found_here.data());
            for (std::size_t j = 0; j < count; ++j) {
                const std::size_t i = first + j;
                for (std::size_t m = 0; m < found_here[j].size(); ++m)
                    c.index[i * k + m] = static_cast<std::uint32_t>(found_here[j][m]);
                c.filled[i] = static_cast<std::uint32_t>(found_here[j].size());
            }
        }
        searching.advance(end - task * kRowsPerTask);
    });
    searching.finish();
    if (times) times->search_seconds = seconds_since(start);
    mark_stage(sink, "candidates searched");
    return out;
}

}  // namespace

KnnCandidates approximate_knn(const float* x, std::size_t n, std::size_t d, std::size_t k,
                              LogSink* sink, SearchTimes* times) {
    IndexCandidates found = search_index(x, n, d, k, sink, times, [] {});
    KnnCandidates& c = found.c;
    c.distance.assign(n * k, 0.0f);
    pool::parallel_for(n, 256, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            for (std::size_t p = 0; p < c.filled[i]; ++p)
                c.distance[i * k + p] = found.distance(i, p);
    });
    return std::move(c);
}

std::vector<float> candidate_sigma(const KnnCandidates& c, CandidateDistance distance) {
    constexpr float kFloor = 1e-10f;
    std::vector<float> sigma(c.n, kFloor);
    pool::for_blocks(c.n, 4096, [&](std::size_t first, std::size_t last, std::size_t) {
        for (std::size_t i = first; i < last; ++i) {
            const std::size_t real = c.filled[i];
            if (real == 0) continue;
            const std::size_t begin = std::min<std::size_t>(real - 1, 3);
            const std::size_t end = std::min<std::size_t>(real, 6);
            float sum = 0.0f;
            for (std::size_t j = begin; j < end; ++j) sum += distance(i, j);
            const float mean = sum / static_cast<float>(end - begin);
            sigma[i] = mean > kFloor ? mean : kFloor;
        }
    });
    return sigma;
}

std::vector<float> candidate_sigma(const KnnCandidates& c) {
    return candidate_sigma(c,
                           [&](std::size_t i, std::size_t p) { return c.distance[i * c.k + p]; });
}

PartnerTable neighbor_partners(const KnnCandidates& c, std::size_t n_neighbors,
                               CandidateDistance distance) {
    const std::size_t per_sample = c.n == 0 ? 0 : std::min(c.n - 1, n_neighbors);
    PartnerTable table(c.n, per_sample);
    if (per_sample == 0) return table;
    const std::vector<float> sigma = candidate_sigma(c, distance);
    std::vector<std::vector<std::uint64_t>> scratch(pool::worker_count());
    const std::size_t n_tasks = (c.n + 255) / 256;
    stop::Progress ranking("layout neighbour ranking", "points", c.n);
    pool::run_tasks(n_tasks, [&](std::size_t task, std::size_t worker) {
        auto& order = scratch[worker];
        const std::size_t end = std::min(c.n, (task + 1) * 256);
        for (std::size_t i = task * 256; i < end; ++i) {
            const std::size_t real = c.filled[i];
            order.resize(real);
            for (std::size_t j = 0; j < real; ++j) {
                const std::uint32_t m = c.index[i * c.k + j];
                const float dist = distance(i, j);
                const float scaled = (dist * dist) / (sigma[i] * sigma[m]);
                order[j] = (std::uint64_t{total_order_key(scaled)} << 32) | j;
            }
            const std::size_t kept = std::min(real, per_sample);
            std::partial_sort(order.begin(), order.begin() + kept, order.end());
            for (std::size_t j = 0; j < per_sample; ++j)
                table.set(i, j,
                          j < kept ? c.index[i * c.k + static_cast<std::uint32_t>(order[j])]
                                   : static_cast<std::uint32_t>(i));
        }
        ranking.advance(end - task * 256);
    });
    ranking.finish();
    return table;
}

std::vector<std::uint32_t> pair_neighbors_from(const KnnCandidates& c, std::size_t n_neighbors) {
    return neighbor_partners(c, n_neighbors,
                             [&](std::size_t i, std::size_t p) { return c.distance[i * c.k + p]; })
        .rows();
}

PartnerTable nearest_neighbor_partners(const float* x, std::size_t n, std::size_t d,
                                       std::size_t n_neighbors, std::size_t approx_threshold,
                                       LogSink* sink, FunctionRef<void()> release) {
    if (n >= (std::size_t{1} << 32)) raise_internal_failure("sample indices must fit in 32 bits");
    const std::size_t n_candidates =
        n == 0 ? 0 : (n_neighbors >= n - 1 ? n - 1 : std::min(n - 1, n_neighbors + 50));
    if (n < approx_threshold) {
        const KnnCandidates c = exact_knn(x, n, d, n_candidates);
        release();
        return neighbor_partners(
            c, n_neighbors, [&](std::size_t i, std::size_t p) { return c.distance[i * c.k + p]; });
    }
    // The candidates' distances are had again from the rows rather than kept: they would be the
    // largest array of the layout.
    const IndexCandidates found = search_index(x, n, d, n_candidates, sink, nullptr, release);
    return neighbor_partners(found.c, n_neighbors,
                             [&](std::size_t i, std::size_t p) { return found.distance(i, p); });
}

std::vector<std::uint32_t> nearest_neighbor_pairs(const float* x, std::size_t n, std::size_t d,
                                                  std::size_t n_neighbors,
                                                  std::size_t approx_threshold, LogSink* sink) {
    return nearest_neighbor_partners(x, n, d, n_neighbors, approx_threshold, sink).rows();
}

}  // namespace orvane::pacmap
