#include "src/selection/split_rows.hpp"

#include <algorithm>
#include <cstring>

#include "src/common/worker_pool.hpp"
#include "src/selection/kernels.hpp"

namespace orvane {

SplitRows::SplitRows(std::vector<float>&& values, std::size_t rows, std::size_t cols)
    : storage_(std::move(values)), rows_(rows), cols_(cols) {
    block_shift_ = 6;
    while (block_shift_ < 12 && (std::size_t{2} << block_shift_) * cols * 2 <= (1u << 20)) {
        ++block_shift_;
    }
    const std::size_t block_rows = std::size_t{1} << block_shift_;
    // The halves are written over the floats they come from, through a copy of the block made
    // with memcpy, so that no load of the floats is reordered across a store of the halves.
    auto* bytes = reinterpret_cast<unsigned char*>(storage_.data());
    struct Scratch {
        std::vector<std::uint32_t> bits;
        std::vector<std::uint16_t> halves;
    };
    std::vector<Scratch> scratch(pool::worker_count());
    pool::for_blocks(rows, block_rows, [&](std::size_t begin, std::size_t end, std::size_t w) {
        const std::size_t n = (end - begin) * cols;
        auto& [bits, halves] = scratch[w];
        bits.resize(n);
        halves.resize(2 * n);
        unsigned char* block = bytes + begin * cols * sizeof(float);
        std::memcpy(bits.data(), block, n * sizeof(float));
        for (std::size_t e = 0; e < n; ++e) {
            halves[e] = static_cast<std::uint16_t>(bits[e] >> 16);
            halves[n + e] = static_cast<std::uint16_t>(bits[e] & 0xFFFFu);
        }
        std::memcpy(block, halves.data(), 2 * n * sizeof(std::uint16_t));
    });
}

void SplitRows::row(std::size_t i, float* out) const {
    static const SelectionKernels& kernels = selection_kernels();
    kernels.join_halves(high(i), low(i), cols_, out);
}

}  // namespace orvane
