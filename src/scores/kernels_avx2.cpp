// The AVX2 copy of the score kernels; built with that level's flags on x86-64 only.
#include <cstddef>
#include <cstring>
#include <limits>

#include "src/scores/kernels.hpp"

namespace orvane {

namespace {
#include "src/scores/tile_scan.inc"
}  // namespace

const ScoreKernels score_kernels_avx2 = {feed_tile_rows, feed_tile_columns};

}  // namespace orvane
