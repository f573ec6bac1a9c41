#pragma once
// A row matrix stored as two planes of 16-bit halves: the high halves (sign, exponent and the
// top seven mantissa bits, i.e. each value cut towards zero to bfloat16) and the low halves.
// A bound on a distance reads only the high plane, half the bytes of the rows; a row that must be
// computed is put back together bit for bit. The planes are kept per block of rows inside the
// buffer that held the floats, so the matrix is never held twice; a block's high halves take
// about a megabyte, so that a pass over them reads long runs of memory.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <vector>

namespace orvane {

class SplitRows {
public:
    SplitRows() = default;
    // Takes over `values` (rows x cols floats, row-major) and splits it in place, in parallel.
    SplitRows(std::vector<float>&& values, std::size_t rows, std::size_t cols);

    std::size_t size() const { return rows_; }
    std::size_t dim() const { return cols_; }
    bool empty() const { return rows_ == 0; }

    const std::uint16_t* high(std::size_t i) const { return plane(i, false); }
    const std::uint16_t* low(std::size_t i) const { return plane(i, true); }
    // high(first + r) for r below count, stepping through each block's plane.
    void highs(std::size_t first, std::size_t count, const std::uint16_t** out) const {
        const std::size_t mask = (std::size_t{1} << block_shift_) - 1;
        const std::size_t cols = cols_;
        const std::uint16_t* p = nullptr;
        for (std::size_t r = 0; r < count; ++r) {
            const std::size_t i = first + r;
            p = r == 0 || (i & mask) == 0 ? plane(i, false) : p + cols;
            out[r] = p;
        }
    }
    // The stored floats of row i, exactly as they were handed over.
    void row(std::size_t i, float* out) const;

private:
    const std::uint16_t* plane(std::size_t i, bool low) const {
        const std::size_t block = i >> block_shift_, r = i & ((std::size_t{1} << block_shift_) - 1);
        const std::size_t start = block << block_shift_;
        const std::size_t in_block = std::min(std::size_t{1} << block_shift_, rows_ - start);
        const auto* halves = reinterpret_cast<const std::uint16_t*>(storage_.data());
        return halves + start * cols_ * 2 + ((low ? in_block : 0) + r) * cols_;
    }

    std::vector<float> storage_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::size_t block_shift_ = 0;  // rows per block: a power of two
};

}  // namespace orvane
