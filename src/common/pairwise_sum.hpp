#pragma once
// Sums of many f32 values in a fixed tree order: accurate to a few ulps times log2(n) (one running
// f32 sum stalls once the total dwarfs its terms) and identical for any number of workers, since
// the tree's shape depends on n alone.
#include <cstddef>
#include <span>

namespace orvane {

// Leaves of kPairwiseLeaf values are summed in 8 interleaved lanes, the lanes folded pairwise;
// larger ranges split at a multiple of the leaf size and add the halves' sums.
inline constexpr std::size_t kPairwiseLeaf = 128;

float pairwise_sum(std::span<const float> values);

}  // namespace orvane
