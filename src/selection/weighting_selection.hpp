#pragma once
// Favours samples with large weights: the potential of a sample is the total weight the
// selected set would have with it added.
#include <cstddef>
#include <span>
#include <vector>

namespace orvane {

class WeightingStrategy {
public:
    WeightingStrategy(std::vector<float> weights, float strength);

    std::size_t sample_count() const { return weights_.size(); }
    float strength() const { return strength_; }
    float accumulated() const { return accumulated_; }
    const std::vector<float>& weights() const { return weights_; }

    // `out` has sample_count() entries.
    void potentials(std::span<float> out) const;
    std::vector<float> potentials() const;
    // Potentials of samples [begin, begin + out.size()).
    void potentials_range(std::size_t begin, std::span<float> out) const {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = weights_[begin + i] + accumulated_;
    }
    void inform(std::size_t selected_sample);

    // What inform changes, to undo a run that failed.
    struct Saved {
        float accumulated;
    };
    Saved save() const { return {accumulated_}; }
    void restore(Saved saved) noexcept { accumulated_ = saved.accumulated; }

private:
    std::vector<float> weights_;
    float accumulated_ = 0.0f;
    float strength_;
};

}  // namespace orvane
