#include "src/selection/selected_minima.hpp"

#include "src/common/blas.hpp"
#include "src/scores/distance_calculator.hpp"
#include "src/selection/diversifying_bounds.hpp"

namespace orvane {

// The owner computes clamp((h_j - x_j . v) + h_v) for its row x_j against the pick v: the same
// operands in the same places here.
float SelectedMinima::distance(std::size_t j, const DiversifyingStrategy::Pick& pick) const {
    return clamp_distance(
        (half_norms_[j] - blas::dot(d_, rows_.data() + j * d_, pick.values.data())) +
        pick.half_norm);
}

void SelectedMinima::inform(std::size_t id, const DiversifyingStrategy::Pick& pick) {
    if (ids_.empty()) d_ = pick.values.size();
    const std::size_t n = ids_.size();
    for (std::size_t j = 0; j < n; ++j) {
        if (ids_[j] == id) continue;  // a sample's own pick keeps its minimum
        const float t = distance(j, pick);
        if (t < minima_[j]) minima_[j] = t;
    }
    // The new pick's minimum: that of its earlier entry, or else the one its owner lowered at
    // every earlier pick, in order.
    float m = diversifying::kUnreached;
    std::size_t earlier = 0;
    while (earlier < n && ids_[earlier] != id) ++earlier;
    if (earlier < n) {
        m = minima_[earlier];
    } else {
        const float* v = pick.values.data();
        for (std::size_t j = 0; j < n; ++j) {
            const float t = clamp_distance(
                (pick.half_norm - blas::dot(d_, v, rows_.data() + j * d_)) + half_norms_[j]);
            if (t < m) m = t;
        }
    }
    ids_.push_back(id);
    rows_.insert(rows_.end(), pick.values.begin(), pick.values.end());
    half_norms_.push_back(pick.half_norm);
    minima_.push_back(m);
}

float SelectedMinima::diversity() const {
    if (ids_.size() < 2) return 0.0f;
    float s = -0.0f;
    for (float m : minima_) s = s + m;
    return s;
}

void SelectedMinima::restore(Saved saved) noexcept {
    ids_.resize(saved.size);
    rows_.resize(saved.size * d_);
    half_norms_.resize(saved.size);
    minima_ = std::move(saved.minima);
}

}  // namespace orvane
