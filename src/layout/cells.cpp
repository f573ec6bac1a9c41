#include "src/layout/cells.hpp"

#include <algorithm>
#include <limits>

#include "src/common/blas.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane::pacmap {

namespace {

constexpr std::size_t kBlock = 1024;

// Nearest of `centres` (count x d, squared norms `norms`) for rows [begin, end) of x, through
// one product: |x - c|^2 is |x|^2 + |c|^2 - 2 x.c and |x|^2 is the same for every centre. Ties
// and rounding only move a row to another near cell.
void assign(const float* centres, const std::vector<float>& norms, std::size_t count, std::size_t d,
            const float* x, std::size_t begin, std::size_t end, std::uint32_t* out) {
    std::vector<float> dots((end - begin) * count);
    blas::gemm_abt(end - begin, count, d, x + begin * d, centres, dots.data());
    for (std::size_t i = begin; i < end; ++i) {
        const float* row = dots.data() + (i - begin) * count;
        float best = std::numeric_limits<float>::infinity();
        std::uint32_t at = 0;
        for (std::size_t c = 0; c < count; ++c) {
            const float e = norms[c] - 2.0f * row[c];
            if (e < best) best = e, at = static_cast<std::uint32_t>(c);
        }
        out[i] = at;
    }
}

std::vector<float> squared_norms(const std::vector<float>& centres, std::size_t d) {
    std::vector<float> norms(centres.size() / d, 0.0f);
    for (std::size_t c = 0; c < norms.size(); ++c)
        for (std::size_t k = 0; k < d; ++k) norms[c] += centres[c * d + k] * centres[c * d + k];
    return norms;
}

void assign_all(const std::vector<float>& centres, std::size_t d, const float* x, std::size_t rows,
                std::uint32_t* out) {
    const std::vector<float> norms = squared_norms(centres, d);
    pool::for_blocks(rows, kBlock, [&](std::size_t begin, std::size_t end, std::size_t) {
        assign(centres.data(), norms, norms.size(), d, x, begin, end, out);
    });
}

}  // namespace

Cells cell_rows(const float* x, std::size_t n, std::size_t d, std::size_t count) {
    count = std::clamp<std::size_t>(count, 1, std::max<std::size_t>(n, 1));
    Cells cells;
    cells.d = d;
    cells.centres.resize(count * d);
    for (std::size_t c = 0; c < count; ++c)
        std::copy_n(x + c * n / count * d, d, cells.centres.data() + c * d);
    std::vector<std::uint32_t> cell(n);
    if (count > 1) {
        // One step of Lloyd's: centres at the means of their rows, then the rows assigned again.
        assign_all(cells.centres, d, x, n, cell.data());
        std::vector<double> sums(count * d, 0.0);
        std::vector<std::size_t> sizes(count, 0);
        for (std::size_t i = 0; i < n; ++i) {
            ++sizes[cell[i]];
            for (std::size_t k = 0; k < d; ++k) sums[cell[i] * d + k] += x[i * d + k];
        }
        for (std::size_t c = 0; c < count; ++c) {
            if (sizes[c] == 0) continue;
            for (std::size_t k = 0; k < d; ++k)
                cells.centres[c * d + k] =
                    static_cast<float>(sums[c * d + k] / static_cast<double>(sizes[c]));
        }
        assign_all(cells.centres, d, x, n, cell.data());
    } else {
        std::fill(cell.begin(), cell.end(), 0u);
    }
    cells.offsets.assign(count + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++cells.offsets[cell[i] + 1];
    for (std::size_t c = 0; c < count; ++c) cells.offsets[c + 1] += cells.offsets[c];
    cells.order.resize(n);
    std::vector<std::size_t> at(cells.offsets.begin(), cells.offsets.end() - 1);
    for (std::size_t i = 0; i < n; ++i) cells.order[at[cell[i]]++] = static_cast<std::uint32_t>(i);
    return cells;
}

void nearest_cells(const Cells& cells, const float* x, std::size_t rows, std::uint32_t* out) {
    if (cells.count() == 1) {
        std::fill_n(out, rows, 0u);
        return;
    }
    assign_all(cells.centres, cells.d, x, rows, out);
}

}  // namespace orvane::pacmap
