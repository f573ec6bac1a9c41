#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "src/common/stop.hpp"
#include "src/scores/distance_calculator.hpp"

namespace orvane {

// Largest k served by the sorted insertion buffers of the tile pairs; beyond it whole rows go
// through nth_element.
inline constexpr std::size_t kInsertionLimit = 64;

// Rows cut into square tiles of kTriangleTile rows (the last may be shorter), their half norms,
// and their ascending k-buffers of smallest half squared distances.
struct TileRows {
    const float* x;
    const float* h;
    float* best;
    std::size_t rows;
};

// Multiplies every pair of tiles (I of a, J of b) once and offers the product to the buffers of
// both tiles' rows. With `same` (b is a) only pairs I <= J, and no row is its own neighbor.
// Buffers end as the k smallest values offered, in any order of the offers. The class and the
// cluster's tasks both go through here, so both multiply the same tile shapes. `progress`, when
// given, advances by `units` over the whole call.
void feed_tile_pairs(TileRows a, TileRows b, bool same, std::size_t d, std::size_t k,
                     stop::Progress* progress, std::size_t units);

// score_i = mean over i's k nearest neighbors j of exp(-r_ij / mean r), where
// r = sqrt(half squared distance) and k = min(K, N - 1).
std::vector<float> typicality_scores(const DistanceCalculator& calc, std::size_t n, std::size_t k);

// The scores from the n x k matrix t of every row's neighbor distances r (any order within a
// row); the mean is a pairwise sum, so it does not drift with n x k.
std::vector<float> typicality_from_distances(std::span<const float> t, std::size_t n,
                                             std::size_t k);

// The check every typicality owner makes on construction.
void require_two_embeddings(std::size_t n);

}  // namespace orvane
