#pragma once
#include <algorithm>
#include <cstddef>

namespace orvane {

// Query rows per GEMM block against `n_stored` rows: about 16 MB of distances per block, so
// memory stays linear in N. Depends on N only (never on the thread count), which keeps
// results independent of the number of workers.
inline std::size_t rows_per_block(std::size_t n_stored) {
    const std::size_t target = std::size_t{4} << 20;
    return std::clamp<std::size_t>(target / std::max<std::size_t>(n_stored, 1), 8, 256);
}

// Cache-sized tiles for scans that keep a small state per query row: the products of
// kTileRows queries with kTileColumns stored rows (4 MB) are consumed while still in cache.
// Fixed sizes, so results never depend on the number of workers.
inline constexpr std::size_t kTileRows = 256;
inline constexpr std::size_t kTileColumns = 4096;

// Side of the square tiles of a symmetric scan (every row against every row): one product tile
// per worker, 1 MB, and a diagonal that costs a fraction kTriangleTile / N of extra work.
inline constexpr std::size_t kTriangleTile = 512;

}  // namespace orvane
