#pragma once
// Spreads the selection over embedding space: per sample the smallest half squared distance to
// a selected sample, plus the diversity of the selected set itself.
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "src/scores/distance_calculator.hpp"
#include "src/common/embedding.hpp"

namespace orvane {

class DiversifyingStrategy {
public:
    // Distances are half squared, so the stopping distance d is compared as d * (d * 0.5).
    DiversifyingStrategy(EmbeddingRows embeddings, std::optional<float> stopping_distance,
                         float strength);

    std::size_t sample_count() const { return calculator_.size(); }
    float strength() const { return strength_; }
    bool stopping_enabled() const { return stop_enabled_; }
    float stop_threshold() const { return stop_threshold_; }
    const std::vector<float>& min_distances() const { return min_distances_; }
    const std::vector<std::size_t>& selected() const { return selected_; }

    // Sum of min_distances over `selected` in list order; 0 while fewer than two are selected
    // (a lone selected sample still holds the 1e8 start value).
    float selected_set_diversity() const;

    void potentials(std::span<float> out) const;
    std::vector<float> potentials() const;
    void inform(std::size_t selected_sample);
    bool should_stop(std::size_t candidate_index) const;

    // What inform changes, to undo a run that failed: selections are only appended, so their
    // count suffices; the minima need a copy.
    struct Saved {
        std::size_t n_selected;
        std::vector<float> min_distances;
    };
    Saved save() const { return {selected_.size(), min_distances_}; }
    void restore(Saved saved) noexcept {
        selected_.resize(saved.n_selected);
        min_distances_ = std::move(saved.min_distances);
    }

private:
    DistanceCalculator calculator_;
    std::vector<std::size_t> selected_;
    std::vector<float> min_distances_;
    std::vector<float> distance_row_;  // distances from the last informed sample
    bool stop_enabled_;
    float stop_threshold_;
    float strength_;
};

}  // namespace orvane
