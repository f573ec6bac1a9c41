#include "src/selection/diversifying_strategy.hpp"

#include "src/selection/selection_checks.hpp"

namespace orvane {

namespace {
constexpr float kUnreached = 1e8f;
}

DiversifyingStrategy::DiversifyingStrategy(EmbeddingRows embeddings,
                                           std::optional<float> stopping_distance, float strength)
    : calculator_(std::move(embeddings)),
      min_distances_(calculator_.size(), kUnreached),
      stop_enabled_(stopping_distance.has_value()),
      stop_threshold_(stopping_distance ? *stopping_distance * (*stopping_distance * 0.5f) : 0.0f),
      strength_(strength) {}

float DiversifyingStrategy::selected_set_diversity() const {
    if (selected_.size() < 2) return 0.0f;
    // Entries of earlier selections keep falling, so the sum is recomputed rather than kept.
    float s = -0.0f;
    for (std::size_t index : selected_) s = s + min_distances_[index];
    return s;
}

void DiversifyingStrategy::potentials(std::span<float> out) const {
    const float s = selected_set_diversity();
    for (std::size_t i = 0; i < min_distances_.size(); ++i) out[i] = min_distances_[i] + s;
}

std::vector<float> DiversifyingStrategy::potentials() const {
    std::vector<float> out(sample_count());
    potentials(out);
    return out;
}

void DiversifyingStrategy::inform(std::size_t selected_sample) {
    check_selected_sample(selected_sample, sample_count());
    distance_row_ = calculator_.distances_from_row(selected_sample);
    selected_.push_back(selected_sample);
    // A sample's own selection must not lower its own entry to zero.
    const float old = min_distances_[selected_sample];
    for (std::size_t j = 0; j < min_distances_.size(); ++j) {
        if (distance_row_[j] < min_distances_[j]) min_distances_[j] = distance_row_[j];
    }
    min_distances_[selected_sample] = old;
}

bool DiversifyingStrategy::should_stop(std::size_t candidate_index) const {
    check_candidate_index(candidate_index, sample_count());
    if (!stop_enabled_) return false;
    const float s = selected_set_diversity();
    return (min_distances_[candidate_index] + s) < (stop_threshold_ + s);
}

}  // namespace orvane
