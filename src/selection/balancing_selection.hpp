#pragma once
// Steers the class mix of the selected set towards a target: the potential of a sample is the
// reciprocal of the cross-entropy between the target and the mix with that sample added.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "src/common/embedding.hpp"
#include "src/selection/kernels.hpp"
#include "src/selection/strategy.hpp"

namespace orvane {

class BalancingStrategy : public StrategyTerms<BalancingStrategy> {
public:
    static constexpr const char* kName = "balancing";
    // class_distributions is N x M; fails unless M equals target.size().
    BalancingStrategy(EmbeddingMatrix class_distributions, std::vector<float> target,
                      float strength);

    std::size_t sample_count() const { return distributions_.rows; }
    float strength() const { return strength_; }
    const std::vector<float>& class_totals() const { return class_totals_; }

    // Samples that share a row of class_distributions share their potential, so with few
    // distinct rows a step computes one contribution per distinct row.
    struct Step {
        bool shared;
        std::vector<float> contributions;  // per distinct row
    };
    Step prepare_step() const;
    // Potentials of samples [begin, begin + out.size()), each from its own row.
    void potentials_range(const Step&, std::size_t begin, std::span<float> out) const;
    void add_terms(const Step& step, std::size_t begin, std::span<float> score,
                   std::span<float> potential) const;
    void screen_terms(const Step& step, std::size_t begin, std::span<float> score,
                      std::span<float> magnitude, std::span<float> width, std::span<float> work,
                      const SelectionKernels& kernels) const;
    float exact_term(const Step& step, std::size_t i, float score) const;
    bool exact_in_screen(const Step& step) const { return step.shared; }
    struct Pick {
        std::vector<float> class_row;
    };
    Pick pick(std::size_t sample) const;
    using StrategyTerms::inform;
    void inform(std::size_t selected_sample, const Pick& pick);

    // Off: every sample's potential is computed from its own row.
    void set_shortcuts(bool on) { sharing_ = on && !distinct_.empty(); }
    // Shared contributions bound a block by the distinct rows it holds, if they fit a mask.
    bool bounds_hold() const { return sharing_ && distinct_.size() <= step::kMaxMaskRows; }

    struct Saved {
        std::vector<float> class_totals;
    };
    Saved save() const { return {class_totals_}; }
    void restore(Saved saved) noexcept { class_totals_ = std::move(saved.class_totals); }

    // Each block's set of distinct rows among its free samples.
    class Bounds {
    public:
        static constexpr bool kMoves = false;
        Bounds(const BalancingStrategy& s, std::size_t, std::size_t blocks)
            : s_(s), masks_(blocks) {}
        void refresh(std::size_t b, std::size_t begin, std::size_t end,
                     const unsigned char* taken) {
            std::uint64_t mask = 0;
            for (std::size_t i = begin; i < end; ++i) {
                if (!taken[i]) mask |= std::uint64_t{1} << s_.row_of_[i];
            }
            masks_[b] = mask;
        }
        step::Range range(std::size_t b, const Step& step) const {
            return step::shared_range(masks_[b], step.contributions);
        }

    private:
        const BalancingStrategy& s_;
        std::vector<std::uint64_t> masks_;
    };

private:
    float potential_of(const float* p, float* scratch) const;
    // Bounds lo[i] <= potential <= hi[i] on the potentials of samples [begin, begin + lo.size()),
    // with the screening logarithm (src/selection/screen_margin.hpp) in place of libm's; -inf and
    // inf where they prove nothing. For at most kMaxScreenTerms classes.
    void potential_bounds(std::size_t begin, std::span<float> lo, std::span<float> hi,
                          const SelectionKernels& kernels) const;

    EmbeddingMatrix distributions_;
    std::vector<float> target_;
    std::vector<float> class_totals_;
    float strength_;

    std::vector<std::size_t> distinct_;  // first sample of each distinct row
    std::vector<std::uint16_t> row_of_;  // per sample: its distinct row
    bool sharing_ = false;
};

}  // namespace orvane
