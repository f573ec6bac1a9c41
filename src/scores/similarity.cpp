#include "src/scores/similarity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "src/scores/distance_calculator.hpp"
#include "src/common/failure.hpp"
#include "src/common/input_texts.hpp"
#include "src/common/pairwise_sum.hpp"
#include "src/common/stop.hpp"
#include "src/scores/knn/blocks.hpp"

namespace orvane {

std::vector<float> similarity_scores(const EmbeddingRows& keys, EmbeddingRows queries) {
    if (queries.empty()) raise_internal_failure(kEmptyQueryEmbeddings);
    const DistanceCalculator calc(std::move(queries));
    const std::size_t nk = keys.size(), nq = calc.size(), d = calc.dim();
    for (std::size_t k = 0; k < nk; ++k) {
        if (keys.row_length(k) != d) calc.fail_shape(keys.row_length(k));
    }
    if (nk == 0) raise_internal_failure("called `Option::unwrap()` on a `None` value");

    // Keys of equal length D are one contiguous nk x D block; each key keeps its nearest query.
    std::vector<float> dist(nk, std::numeric_limits<float>::infinity());
    stop::Progress progress("similarity", "keys", nk);
    knn::merge_nearest({keys.values().data(), nk, 0}, {calc.matrix().data.data(), nq, 0}, d, dist,
                       &progress);
    knn::finish_nearest(dist);
    progress.finish();

    return similarity_from_distances(dist);
}

std::vector<float> similarity_from_distances(std::span<const float> dist) {
    const std::size_t nk = dist.size();
    const float mean = pairwise_sum(dist) / static_cast<float>(nk);
    std::vector<float> scores(nk);
    for (std::size_t k = 0; k < nk; ++k) scores[k] = mean != 0.0f ? (-dist[k]) / mean : -dist[k];
    return scores;
}

}  // namespace orvane
