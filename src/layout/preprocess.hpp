#pragma once
// Working copy of the data, neighbor counts per sample and the random start layout.
#include <cstddef>
#include <vector>

#include "src/layout/pacmap.hpp"

namespace orvane::pacmap {

// What preprocess did to the rows: subtract the smallest element, divide by the largest (unless
// 0), subtract the column means of the result.
struct Scaling {
    float lo = 0.0f;
    float hi = 0.0f;
    std::vector<float> mean;
    // Row `in` (d values) as preprocess treated each fitted row, into `out`.
    void apply(const float* in, float* out) const;
};

// Min-max scaled (by the largest element) and column-centred copy of the n x d matrix x; the
// scaling it applied into `scaling` when given.
std::vector<float> preprocess(const float* x, std::size_t n, std::size_t d, LogSink* sink,
                              Scaling* scaling = nullptr);

struct NeighborCounts {
    std::size_t n_neighbors;
    std::size_t n_mid_near;
    std::size_t n_far;
};
NeighborCounts neighbor_counts(std::size_t n, const PacmapConfig& config, LogSink* sink);

// n x embedding_dimensions standard-normal start positions, row-major.
std::vector<float> initial_layout(std::size_t n, const PacmapConfig& config);

}  // namespace orvane::pacmap
