#pragma once
// Favours samples with large weights: the potential of a sample is the total weight the
// selected set would have with it added.
#include <cstddef>
#include <span>
#include <vector>

#include "src/selection/strategy.hpp"

namespace orvane {

class WeightingStrategy : public StrategyTerms<WeightingStrategy>, public RunningSum {
public:
    static constexpr const char* kName = "weighting";
    WeightingStrategy(std::vector<float> weights, float strength);

    std::size_t sample_count() const { return weights_.size(); }
    float strength() const { return strength_; }

    struct Step {};
    Step prepare_step() const { return {}; }
    void potentials_range(const Step&, std::size_t begin, std::span<float> out) const {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = weights_[begin + i] + accumulated_;
    }
    struct Pick {
        float weight;
    };
    Pick pick(std::size_t sample) const;
    using StrategyTerms::inform;
    void inform(std::size_t selected_sample, const Pick& pick);

    // Each block's range of weights; a potential is monotone in its weight.
    class Bounds {
    public:
        static constexpr bool kMoves = false;
        Bounds(const WeightingStrategy& s, std::size_t n, std::size_t blocks)
            : s_(s), weights_(blocks) {
            (void)n;
        }
        void refresh(std::size_t b, std::size_t begin, std::size_t end,
                     const unsigned char* taken) {
            weights_[b] = step::key_range(s_.weights_.data(), taken, begin, end);
        }
        step::Range range(std::size_t b, const Step&) const {
            return step::contribution_range(weights_[b], s_.accumulated_, s_.strength_);
        }

    private:
        const WeightingStrategy& s_;
        std::vector<step::Range> weights_;
    };

private:
    std::vector<float> weights_;
    float strength_;
};

}  // namespace orvane
