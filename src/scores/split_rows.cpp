#include "src/scores/split_rows.hpp"

#include <algorithm>
#include <cstring>

#include "src/common/worker_pool.hpp"

namespace orvane {

SplitRows::SplitRows(std::vector<float>&& values, std::size_t rows, std::size_t cols)
    : storage_(std::move(values)), rows_(rows), cols_(cols) {
    // The halves are written over the floats they come from; all access to the buffer goes
    // through bytes (memcpy) while it changes type, so no load is reordered across a store.
    auto* bytes = reinterpret_cast<unsigned char*>(storage_.data());
    std::vector<std::vector<std::uint32_t>> scratch(pool::worker_count());
    pool::for_blocks(rows, kBlockRows, [&](std::size_t begin, std::size_t end, std::size_t w) {
        const std::size_t n = (end - begin) * cols;
        auto& bits = scratch[w];
        bits.resize(n);
        unsigned char* block = bytes + begin * cols * sizeof(float);
        std::memcpy(bits.data(), block, n * sizeof(float));
        for (std::size_t e = 0; e < n; ++e) {
            const auto high = static_cast<std::uint16_t>(bits[e] >> 16);
            const auto low = static_cast<std::uint16_t>(bits[e] & 0xFFFFu);
            std::memcpy(block + 2 * e, &high, 2);
            std::memcpy(block + 2 * (n + e), &low, 2);
        }
    });
}

void SplitRows::row(std::size_t i, float* out) const {
    const std::uint16_t* h = high(i);
    const std::uint16_t* l = low(i);
    for (std::size_t k = 0; k < cols_; ++k) {
        const std::uint32_t bits = (static_cast<std::uint32_t>(h[k]) << 16) | l[k];
        std::memcpy(out + k, &bits, sizeof bits);
    }
}

}  // namespace orvane
