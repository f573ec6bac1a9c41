#pragma once
// Spreads the selection over embedding space: per sample the smallest half squared distance to
// a selected sample, plus the diversity of the selected set itself.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/scores/distance_calculator.hpp"
#include "src/selection/split_rows.hpp"
#include "src/common/embedding.hpp"
#include "src/selection/strategy.hpp"

namespace orvane {

class DiversifyingStrategy : public StrategyTerms<DiversifyingStrategy> {
public:
    static constexpr const char* kName = "diversifying";
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

    // A step's potentials add s = selected_set_diversity() to each minimum.
    struct Step {
        float s;
    };
    Step prepare_step() const { return {selected_set_diversity()}; }
    void potentials_range(const Step& step, std::size_t begin, std::span<float> out) const {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = min_distances_[begin + i] + step.s;
    }
    // A selected row, with the half norm its owner computed for it.
    struct Pick {
        std::vector<float> values;
        float half_norm;
    };
    Pick pick(std::size_t sample) const;
    using StrategyTerms::inform;
    // A pick from elsewhere lowers this strategy's minima but is not one of its selections:
    // selected() and selected_set_diversity() cover its own samples only.
    void inform(std::size_t selected_sample, const Pick& pick);

    // Off: every inform computes all N distances (for comparing against the bounded path).
    void set_shortcuts(bool on) { pruning_ = on && buckets_.built(); }
    bool pruning() const { return pruning_; }
    // Distances computed by inform so far (a measure of what the bounds save).
    std::size_t computed_rows() const { return computed_rows_; }
    bool should_stop(std::size_t candidate_index, const Step& step) const;
    bool should_stop(std::size_t candidate_index) const {
        return should_stop(candidate_index, prepare_step());
    }

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
        buckets_.refresh(min_distances_);
    }

    // Each block's largest minimum among its free samples; minima fall wherever a pick lands.
    using Bounds = KeyRangeBounds<DiversifyingStrategy, true>;
    step::Range block_keys(std::size_t begin, std::size_t end, const unsigned char* taken) const {
        return step::minimum_range(min_distances_.data(), taken, begin, end);
    }
    step::Range key_contributions(step::Range minima, const Step& step) const {
        return step::contribution_range(minima, step.s, strength_);
    }

private:
    // Rows grouped around centres at construction, so that inform can prove whole groups and
    // single rows keep their minimum without computing their distance. Rows with a value that is
    // not finite, or norms near overflow, sit in a last group that is always computed. The
    // calculator then holds the rows in group order, so the rows of a group are read in
    // sequence, and hands them to `split_` in halves; per-sample state (minima, selections) keeps
    // the caller's order.
    struct Buckets {
        std::size_t count = 0;                // groups with a centre; group `count` is the rest
        std::vector<float> centres;           // count x D
        std::vector<float> radius;            // per group: largest gap (rounded up)
        std::vector<float> top_half_norm;     // per group: largest half norm of a member
        std::vector<float> max_min;           // per group: at least the largest member minimum
        std::vector<std::uint32_t> offsets;   // count + 2 entries into the stored rows
        std::vector<std::uint32_t> members;   // per stored row: its sample, ascending in a group
        std::vector<std::uint32_t> position;  // per sample: its stored row
        std::vector<float> gap;               // per stored row: distance to its centre (rounded up)
        std::vector<float> stored_min;        // per stored row: its sample's minimum, read in order

        bool built() const { return !offsets.empty(); }
        // Whether rows lie closer to their centres than centres to each other.
        bool separate_rows() const;
        void build(DistanceCalculator& calc);
        // Takes the minima over from the samples' own list.
        void refresh(const std::vector<float>& min_distances) noexcept;
    };

    std::size_t stored_row(std::size_t sample) const {
        return buckets_.built() ? buckets_.position[sample] : sample;
    }
    std::size_t sample_at(std::size_t row) const {
        return buckets_.built() ? buckets_.members[row] : row;
    }
    void inform_all_rows(std::size_t selected_sample, const Pick& pick);
    void inform_bounded(std::size_t selected_sample, const Pick& pick);
    // Stored row i, rebuilt from its halves once they are split.
    std::vector<float> stored_values(std::size_t i) const;

    DistanceCalculator calculator_;
    // The rows in halves, where the groups do not separate them (the calculator then holds
    // none).
    SplitRows split_;
    std::vector<std::size_t> selected_;
    std::vector<float> min_distances_;
    // The full pass's distances from the last informed sample, by stored row.
    std::vector<float> distance_row_;
    Buckets buckets_;
    bool pruning_ = false;
    std::size_t computed_rows_ = 0;
    bool stop_enabled_;
    float stop_threshold_;
    float strength_;
};

}  // namespace orvane
