#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "src/scores/distance_calculator.hpp"

namespace orvane {

// score_i = mean over i's k nearest neighbors j of exp(-r_ij / mean r), where
// r = sqrt(half squared distance) and k = min(K, N - 1).
std::vector<float> typicality_scores(const DistanceCalculator& calc, std::size_t n, std::size_t k);

// The scores from the n x k matrix t of every row's neighbor distances r (any order within a
// row); the mean is a pairwise sum, so it does not drift with n x k.
std::vector<float> typicality_from_distances(std::span<const float> t, std::size_t n,
                                             std::size_t k);

// The check every typicality owner makes on construction.
void require_two_embeddings(std::size_t n);

// The effective neighbor count k = min(K, n - 1), after the checks typicality makes on n and K.
std::size_t neighbor_count(std::size_t K, std::size_t n);

}  // namespace orvane
