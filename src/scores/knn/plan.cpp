#include "src/scores/knn/plan.hpp"

namespace orvane::knn {

std::vector<std::pair<std::size_t, std::size_t>> tile_pair_order(std::size_t na, std::size_t nb,
                                                                 bool same) {
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    pairs.reserve(same ? na * (na + 1) / 2 : na * nb);
    if (same) {
        for (std::size_t off = 0; off < na; ++off) {
            for (std::size_t i = 0; i + off < na; ++i) pairs.emplace_back(i, i + off);
        }
    } else if (na > 0 && nb > 0) {
        for (std::size_t off = 0; off < na + nb - 1; ++off) {
            for (std::size_t i = off < nb ? 0 : off - nb + 1; i < na && i <= off; ++i) {
                pairs.emplace_back(i, nb - 1 - (off - i));
            }
        }
    }
    return pairs;
}

}  // namespace orvane::knn
