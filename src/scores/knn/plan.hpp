#pragma once
// How every exact k-nearest scan cuts its work: tile sizes, the order of tile pairs and which
// result handler keeps k neighbors. The class and the cluster's tasks read the same plan, so both
// multiply the same GEMM shapes and give the same bits.
#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace orvane::knn {

// Largest k whose tile-pair buffers are kept sorted by insertion; up to kTileLimit they are
// heaps, sorted at the end. Beyond kTileLimit whole rows of distances go through nth_element.
inline constexpr std::size_t kInsertionLimit = 64;
inline constexpr std::size_t kTileLimit = 256;

// Side of the square tiles of the all-rows scan: one product tile per worker, 1 MB, and a
// diagonal that costs a fraction kTriangleTile / N of extra work.
inline constexpr std::size_t kTriangleTile = 512;

// Query-block scans with a small state per query row: the products of kTileRows queries with
// kTileColumns stored rows (4 MB) are consumed while still in cache.
inline constexpr std::size_t kTileRows = 256;
inline constexpr std::size_t kTileColumns = 4096;

// Query rows per block of the whole-row scan against `n_stored` rows: about 16 MB of distances
// per block, so memory stays linear in N. Depends on N only, never on the thread count.
inline std::size_t rows_per_block(std::size_t n_stored) {
    const std::size_t target = std::size_t{4} << 20;
    return std::clamp<std::size_t>(target / std::max<std::size_t>(n_stored, 1), 8, 256);
}

enum class Handler {
    sorted,   // tile pairs into ascending k-buffers
    rows,     // query blocks into whole rows of distances, then nth_element
    nearest,  // query blocks into one running minimum per query row
};

inline Handler typicality_handler(std::size_t k) {
    return k <= kTileLimit ? Handler::sorted : Handler::rows;
}

// Every pair (I, J) of na tiles with nb tiles once, diagonal by diagonal, so that tasks running
// side by side mostly touch different tiles. With `same` (nb is na) only I <= J, the pairs
// within one diagonal first.
std::vector<std::pair<std::size_t, std::size_t>> tile_pair_order(std::size_t na, std::size_t nb,
                                                                 bool same);

}  // namespace orvane::knn
