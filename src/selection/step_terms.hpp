#pragma once
// What every term of a selection step shares: the contribution of a potential, the block a task
// scores, and the best of a block.
#include <cmath>
#include <cstddef>
#include <limits>

namespace orvane::step {

constexpr float kPotentialFloor = 1e-8f;
// The score of a sample already taken: below every score a free sample can have.
constexpr float kExcluded = std::numeric_limits<float>::lowest();

// strength * ln(maxNum(p, 1e-8)): a NaN potential takes the floor. Written as a comparison, which
// compiles inline where std::fmax is a call.
inline float floored(float potential) {
    return potential > kPotentialFloor ? potential : kPotentialFloor;
}
inline float contribution(float potential, float strength) {
    return strength * std::log(floored(potential));
}

// Samples per task of a step. Fixed, so no result depends on the number of workers.
constexpr std::size_t kStepBlock = 4096;

// The best of one block: highest score, ties to the lowest index, and whether a NaN was seen.
struct BlockBest {
    std::size_t index;
    float score;
    bool nan;
};

}  // namespace orvane::step
