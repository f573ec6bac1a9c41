#pragma once
// Entry points of the optimiser that only the tests call: the gradient and one Adam update on
// their own, outside the loop of optimise().
#include <cstddef>
#include <cstdint>
#include <vector>

#include "src/layout/optimiser.hpp"

namespace orvane::pacmap {

// Gradient of the planar layout y (n x 2) with the loss in the extra last row: (n + 1) x 2.
std::vector<float> pacmap_gradient(const std::vector<float>& y, const LayoutPairs& pairs,
                                   const PairWeights& weights, simd::Level level = simd::active());
// The same from ungrouped pair rows (copied); dims must be 2.
std::vector<float> pacmap_gradient(const std::vector<float>& y, std::size_t dims,
                                   const std::vector<std::uint32_t>& pair_neighbors,
                                   const std::vector<std::uint32_t>& pair_mid_near,
                                   const std::vector<std::uint32_t>& pair_far,
                                   const PairWeights& weights);

// One Adam update of y from gradient g (first y.size() entries), t counted from 0.
void adam_step(std::vector<float>& y, std::vector<float>& m, std::vector<float>& v,
               const std::vector<float>& g, std::size_t t, float learning_rate);

}  // namespace orvane::pacmap
