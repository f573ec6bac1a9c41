#pragma once
// New points placed into a finished layout. A point's place depends on the fitted rows, their
// places and its own values alone: never on the other new points, their order or number, or the
// worker count.
#include <cstddef>
#include <vector>

#include "src/layout/pacmap.hpp"

namespace orvane::pacmap {

// x: the n fitted rows (n x d, as the layout took them); y: their places (n x 2); q: m new rows
// (m x d). Returns m x 2 places. Every value must be finite (the callers check).
std::vector<float> extend_layout(const float* x, std::size_t n, std::size_t d, const float* y,
                                 const float* q, std::size_t m, const PacmapConfig& config);

}  // namespace orvane::pacmap
