#pragma once
// Adam descent of the layout under neighbour and mid-near attraction and far-pair repulsion.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "src/layout/pacmap.hpp"

namespace orvane::pacmap {

struct PairWeights {
    float mid_near;
    float neighbour;
    float far;
};
PairWeights phase_weights(std::size_t t, const std::size_t (&num_iters)[3]);

// (n + 1) x dims: rows 0..n-1 hold each point's gradient, element [n][0] the loss.
std::vector<float> pacmap_gradient(const std::vector<float>& y, std::size_t dims,
                                   const std::vector<std::uint32_t>& pair_neighbors,
                                   const std::vector<std::uint32_t>& pair_mid_near,
                                   const std::vector<std::uint32_t>& pair_far,
                                   const PairWeights& weights);

// Plain decimal with the fewest digits that read back as the same f32.
std::string format_loss(float loss);

// f32 integer power by repeated squaring.
float powi(float base, std::uint64_t k);

// One Adam update of y from gradient g (first y.size() entries), t counted from 0.
void adam_step(std::vector<float>& y, std::vector<float>& m, std::vector<float>& v,
               const std::vector<float>& g, std::size_t t, float learning_rate);

void optimise(std::vector<float>& y, std::size_t dims,
              const std::vector<std::uint32_t>& pair_neighbors,
              const std::vector<std::uint32_t>& pair_mid_near,
              const std::vector<std::uint32_t>& pair_far, const std::size_t (&num_iters)[3],
              float learning_rate, LogSink* sink);

}  // namespace orvane::pacmap
