#pragma once
#include <span>
#include <vector>

#include "src/common/embedding.hpp"

namespace orvane {

// One score per key: -(distance to its nearest query) / (mean of those distances over the
// keys); -0.0 for every key when that mean is 0.
std::vector<float> similarity_scores(const EmbeddingRows& keys, EmbeddingRows queries);

// The scores from every key's distance to its nearest query (not half squared: the distance);
// the mean is a pairwise sum.
std::vector<float> similarity_from_distances(std::span<const float> dist);

}  // namespace orvane
