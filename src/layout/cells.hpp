#pragma once
// Rows sorted into cells around a few of them: an order in which near rows sit together, so that
// a search for a point's nearest rows can take its own cell first.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvane::pacmap {

struct Cells {
    std::size_t d = 0;
    std::vector<float> centres;        // count x d
    std::vector<std::uint32_t> order;  // the rows, cell by cell, each cell in index order
    std::vector<std::size_t> offsets;  // count + 1: cell c holds order[offsets[c], offsets[c + 1])
    std::size_t count() const { return offsets.size() - 1; }
};

// The n x d rows of x in `count` cells (at least 1, at most n), each row in the cell of its
// nearest centre: the mean of the rows nearest to one of `count` rows spread evenly over x.
Cells cell_rows(const float* x, std::size_t n, std::size_t d, std::size_t count);

// The cell of each of the `rows` rows of x (d values each), by the nearest centre.
void nearest_cells(const Cells& cells, const float* x, std::size_t rows, std::uint32_t* out);

}  // namespace orvane::pacmap
