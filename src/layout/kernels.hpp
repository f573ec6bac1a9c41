#pragma once
// The vector kernels of the layout, one copy per instruction-set level (src/common/simd.hpp).
#include <cstddef>
#include <cstdint>

#include "src/common/simd.hpp"

namespace orvane::pacmap {

// One kind of pairs as the gradient kernel reads them (see PairLists in pair_lists.hpp).
struct KindView {
    const std::uint8_t* forward;           // packed partners, `width` bits each; null: drawn
    const std::uint64_t* forward_offsets;  // n + 1, or null when every point has `stride`
    std::uint64_t stride;
    unsigned width;
    const std::uint8_t* const* backward_blocks;  // one stream start per kListBlock points
    const std::uint32_t* backward_meta;          // sources << 6 | their width
    float w, c1, c2;
    bool repel;
};

// The most partners a point of a drawn kind may have.
constexpr std::size_t kMaxDrawn = 1024;

struct BlockView {
    const float* y;
    KindView kinds[3];
    std::size_t n_kinds;
    bool uncached_positions;  // ask for partners' positions a point early: they are not in cache
    // Where one kind's forward lists are drawn again: draw(draws, p, out) writes p's partners.
    std::size_t (*draw)(const void* draws, std::uint32_t p, std::uint32_t* out);
    const void* draws;
};

// New points moving alone against a finished layout (extend.cpp), one a lane: their places,
// Adam's moments and step scales, and their partners. A point's partners fill runs of eight
// pair slots, the neighbours' runs first (padding slots weigh nothing); `pairs` holds, for run r
// and slot l, the lanes' eight x, then eight y, then eight weights at 24 (8 r + l).
constexpr std::size_t kWalkLanes = 8;
struct WalkGroup {
    float pos[2][kWalkLanes], m[2][kWalkLanes], v[2][kWalkLanes];
    float learning_rate[kWalkLanes];
    std::uint32_t neighbor_runs, runs;
    const float* pairs;
};

// Points screened together, and what the screen reports of one of their products.
constexpr std::size_t kScreenGroup = 16;
struct ScreenPass {
    std::uint32_t row, lane;
    float dot;
};
// The same screen on 8-bit codes: a pass's row, point and exact integer sum.
struct CodePass {
    std::uint32_t row, lane;
    std::int32_t sum;
};

// One step of a walk: the pair weights of its iteration and Adam's two bias corrections.
struct WalkStep {
    float neighbor, far, bias_m, bias_v;
};

struct LayoutKernels {
    // Writes the gradient of points [first, last) to g (two floats per point) and returns their
    // share of the loss when asked for it.
    float (*gradient_of_block)(const BlockView& b, std::size_t first, std::size_t last, float* g,
                               bool with_loss);
    // Squared L2 from bf16 row q to each of the rows `slots` of `rows`; `stride` is every row's
    // length, a multiple of 16.
    void (*l2sq_bf16_rows)(const std::uint16_t* q, const std::uint16_t* rows, std::size_t stride,
                           const std::uint32_t* slots, std::size_t m, float* out);
    // Euclidean distance with eight interleaved partial sums.
    float (*pair_distance)(const float* a, const float* b, std::size_t d);
    // For the kScreenGroup points of `group` (d-major: value c of point l at
    // group[c * kScreenGroup + l]) and the rows [0, w) of `rows` (row-major, d values each):
    // every (row j, point l) whose lower end (b[l] + a[j]) - 2 dot is at most reach[l], dot the
    // product of the two as this level rounds it, summed from -a[j] / 2 and a[j] / 2 added back;
    // rows in order and points in order within a row. Writes them to out (room for
    // kScreenGroup * w) and returns their count.
    std::size_t (*screen_products)(const float* group, const float* rows, std::size_t w,
                                   std::size_t d, const float* a, const float* b,
                                   const float* reach, ScreenPass* out);
    // n_steps Adam steps of each point of the group.
    void (*walk)(WalkGroup& group, const WalkStep* steps, std::size_t n_steps);
    // The screen on codes, where the level has 8-bit dot products (null elsewhere). For the
    // kScreenGroup points of `group` (unsigned, four values at a time: value 4 q + i of point l
    // at group[64 q + 4 l + i]) and the rows [0, w) of `rows` (signed, 4 `quads` values each, in
    // tiles of 16 rows: value 4 q + i of row 16 t + r at rows[64 quads t + 64 q + 4 r + i], the
    // last tile padded; `start` as long): every (row j, point l) whose sum
    // start[j] + sum_c group_c rows_jc is at least least[l], in the order of screen_products.
    // Writes them to out (room for kScreenGroup * w) and returns their count.
    std::size_t (*screen_codes)(const std::uint8_t* group, const std::int8_t* rows, std::size_t w,
                                std::size_t quads, const std::int32_t* start,
                                const std::int32_t* least, CodePass* out);
};

// The copy for `level`, which must be one of simd::available().
const LayoutKernels& layout_kernels(simd::Level level);
// The copy of the level in use.
const LayoutKernels& layout_kernels();

// Defined by the copies; a build has some of them.
extern const LayoutKernels layout_kernels_baseline, layout_kernels_avx2, layout_kernels_avx512,
    layout_kernels_avx512_vnni, layout_kernels_neon;

}  // namespace orvane::pacmap
