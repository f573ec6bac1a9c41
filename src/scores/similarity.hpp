#pragma once
#include <vector>

#include "src/common/embedding.hpp"

namespace orvane {

// One score per key: -(distance to its nearest query) / (mean of those distances over the
// keys); -0.0 for every key when that mean is 0.
std::vector<float> similarity_scores(const EmbeddingRows& keys, EmbeddingRows queries);

}  // namespace orvane
