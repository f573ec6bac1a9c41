#pragma once
// Adam descent of the layout under neighbor and mid-near attraction and far-pair repulsion.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "src/common/simd.hpp"
#include "src/layout/pacmap.hpp"
#include "src/layout/pair_lists.hpp"

namespace orvane::pacmap {

struct PairWeights {
    float mid_near;
    float neighbor;
    float far;
};
PairWeights phase_weights(std::size_t t, const std::size_t (&num_iters)[3]);

// Plain decimal with the fewest digits that read back as the same f32.
std::string format_loss(float loss);

// f32 integer power by repeated squaring.
float powi(float base, std::uint64_t k);

// Adam's constants.
inline constexpr float kOneMinusBeta1 = 1.0f - 0.9f;
inline constexpr float kOneMinusBeta2 = 1.0f - 0.999f;
inline constexpr float kEpsilon = 1e-7f;

// Adam's step size at iteration t (bias corrections included), and one Adam step of `count`
// elements, reading y_in and writing y_out (which may be the same).
float step_size(std::size_t t, float learning_rate);
void adam_elements(const float* g, float* m, float* v, const float* y_in, float* y_out,
                   std::size_t count, float lr_t);

// 450 (num_iters) Adam steps of the planar layout y (n x 2) in place.
void optimise(std::vector<float>& y, const LayoutPairs& pairs, const std::size_t (&num_iters)[3],
              float learning_rate, LogSink* sink);

}  // namespace orvane::pacmap
