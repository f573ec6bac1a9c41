#include "src/layout/pacmap.hpp"

#include <chrono>
#include <cstdio>
#include <utility>

#include "src/common/failure.hpp"
#include "src/common/stop.hpp"
#include "src/layout/errors.hpp"
#include "src/layout/kernels.hpp"
#include "src/layout/neighbors.hpp"
#include "src/layout/optimiser.hpp"
#include "src/layout/pair_sampling.hpp"
#include "src/layout/preprocess.hpp"

namespace orvane::pacmap {

namespace {

const char* error_text(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::SampleSize: return "Sample size must be larger than one";
        case ErrorKind::EmptyMinMax: return "Failed to compute min or max of X: the array is empty";
        case ErrorKind::EmptyMean: return "Failed to calculate mean axis: the array is empty";
        case ErrorKind::InvalidNeighborCount:
            return "The number of nearest neighbors can't be less than 1";
        case ErrorKind::InvalidFarPointCount:
            return "The number of far points can't be less than 1";
        case ErrorKind::IndexFailed: return "";
        case ErrorKind::NonFinite: return "Embeddings must be finite: ";
    }
    return "";
}

std::string shape(std::size_t n, std::size_t slots) {
    return "[" + std::to_string(n * slots) + ", 2]";
}

}  // namespace

void fail_with(ErrorKind kind, const std::string& detail) {
    throw LayoutFailure(kind, error_text(kind) + detail);
}

std::string format_elapsed(std::chrono::nanoseconds elapsed) {
    const auto ns = static_cast<double>(elapsed.count());
    char buf[64];
    if (ns >= 1e9)
        std::snprintf(buf, sizeof buf, "%.2fs", ns / 1e9);
    else if (ns >= 1e6)
        std::snprintf(buf, sizeof buf, "%.2fms", ns / 1e6);
    else if (ns >= 1e3)
        std::snprintf(buf, sizeof buf, "%.2f\u00b5s", ns / 1e3);
    else
        std::snprintf(buf, sizeof buf, "%.2fns", ns);
    return buf;
}

PacmapConfig driver_config(std::size_t n) {
    PacmapConfig config;
    if (n < 14) config.override_neighbors = n / 2;
    return config;
}

std::vector<float> run_pacmap(const float* x, std::size_t n, std::size_t d,
                              const PacmapConfig& config, LogSink* sink) {
    if (n < 2) fail_with(ErrorKind::SampleSize);
    if (config.embedding_dimensions != 2)
        raise_internal_failure("the layout optimiser works in two dimensions");
    LayoutPairs pairs;
    pairs.n = n;
    std::chrono::steady_clock::time_point start;
    {
        std::vector<float> work = preprocess(x, n, d, sink);
        mark_stage(sink, "preprocessed rows");
        const NeighborCounts counts = neighbor_counts(n, config, sink);
        log_event(sink, LogLevel::Info, [] { return std::string("Finding pairs"); });
        const std::uint64_t seed = config.seed.value_or(0);
        // Mid-near pairs first (they draw from their own seed): the neighbour search can then
        // free the preprocessed rows as soon as it holds its own copy.
        PartnerTable mid_near =
            sample_mid_near_partners(work.data(), n, d, counts.n_mid_near, seed);
        mark_stage(sink, "mid-near pairs");
        PartnerTable neighbors = nearest_neighbor_partners(
            work.data(), n, d, counts.n_neighbors, config.approx_threshold, sink,
            [&] { std::vector<float>().swap(work); });
        mark_stage(sink, "neighbour pairs ranked");
        const std::size_t nn = neighbors.slots();
        pairs.far_draws = {n >= config.far_draws_from && counts.n_far <= kMaxDrawn, n, nn,
                           counts.n_far, seed};
        PartnerTable far;
        if (!pairs.far_draws.on) far = sample_far_partners(neighbors, counts.n_far, seed);
        mark_stage(sink, "far pairs");
        start = std::chrono::steady_clock::now();
        log_event(sink, LogLevel::Debug, [&] {
            return "Pair shapes: neighbors " + shape(n, nn) + ", MN " + shape(n, mid_near.slots()) +
                   ", FP " + shape(n, counts.n_far);
        });
        // Grouped in place, one kind at a time.
        stop::Progress grouping("layout pair lists", "lists", 3 * n);
        pairs.neighbor = group_partners(std::move(neighbors), &grouping);
        pairs.mid_near = group_partners(std::move(mid_near), &grouping);
        pairs.far = pairs.far_draws.on ? group_far_draws(pairs.neighbor, pairs.far_draws, &grouping)
                                       : group_partners(std::move(far), &grouping);
        grouping.finish();
        mark_stage(sink, "pairs grouped");
    }
    std::vector<float> y = initial_layout(n, config);
    optimise(y, pairs, config.num_iters, config.learning_rate, sink);
    mark_stage(sink, "optimised");
    log_event(sink, LogLevel::Debug, [&] {
        return "Elapsed time: " + format_elapsed(std::chrono::steady_clock::now() - start);
    });
    return y;
}

}  // namespace orvane::pacmap
