#pragma once
// The diversity of a diversifying strategy's selected set where no one process holds its samples.
// Every shard sees every pick's row; from those rows alone it keeps each selected sample's
// minimum as the sample's owner keeps it (the same distances, compared in the same order), and so
// sums the same selected-set diversity without asking the owners.
#include <cstddef>
#include <vector>

#include "src/selection/diversifying_strategy.hpp"

namespace orvane {

class SelectedMinima {
public:
    // Pick `id` (a sample, or an object of the subpart kind) with its row, as its owner gave it:
    // every earlier pick of another id is lowered to its distance, and the pick's own minimum is
    // the one its owner held when it was chosen (the distances of every earlier pick in order).
    void inform(std::size_t id, const DiversifyingStrategy::Pick& pick);
    // The sum of the minima in pick order, from -0.0; 0 while fewer than two picks.
    float diversity() const;
    std::size_t size() const { return ids_.size(); }

    struct Saved {
        std::size_t size;
        std::vector<float> minima;
    };
    Saved save() const { return {ids_.size(), minima_}; }
    void restore(Saved saved) noexcept;

private:
    float distance(std::size_t j, const DiversifyingStrategy::Pick& pick) const;

    std::size_t d_ = 0;
    std::vector<std::size_t> ids_;
    std::vector<float> rows_;  // size() x d_
    std::vector<float> half_norms_;
    std::vector<float> minima_;
};

}  // namespace orvane
