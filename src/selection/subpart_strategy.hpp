#pragma once
// Strategies that choose whole samples from the embeddings of the objects inside them: object
// values are folded per sample, and selecting a sample informs all of its objects.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "src/selection/diversifying_strategy.hpp"
#include "src/common/embedding.hpp"

namespace orvane {

// sample -> object indices, flattened so that the per-step folds walk one buffer.
class SubpartMapping {
public:
    explicit SubpartMapping(const IndexRows& sample_to_subpart_indices);

    std::size_t sample_count() const { return offsets_.size() - 1; }
    // Calls f with the sample's objects, as 4-byte indices when every index fits (half of what
    // the folds of a step read), else as they were given.
    template <class F>
    decltype(auto) with_objects(std::size_t sample, F&& f) const {
        const std::size_t first = offsets_[sample], count = offsets_[sample + 1] - first;
        if (wide_.empty()) return f(std::span<const std::uint32_t>(narrow_.data() + first, count));
        return f(std::span<const std::size_t>(wide_.data() + first, count));
    }

    // Fails as a fold would at the first object (in sample order) not below n_objects. Neither
    // the mapping nor an owner's object count changes, so a count that passed once is not
    // checked again.
    void check_objects(std::size_t n_objects) const;

private:
    mutable std::size_t checked_for_ = 0;
    std::vector<std::size_t> offsets_;
    std::vector<std::uint32_t> narrow_;
    std::vector<std::size_t> wide_;  // only when an index does not fit in 4 bytes
};

// Mean of v over the objects, summed in list order from -0.0; 0.0 for no objects.
float fold_mean(std::span<const std::size_t> objects, std::span<const float> v, float offset);
float fold_mean(std::span<const std::uint32_t> objects, std::span<const float> v, float offset);
// Largest v[o] + offset under the IEEE total order; 0.0 for no objects.
float fold_max(std::span<const std::size_t> objects, std::span<const float> v, float offset);
float fold_max(std::span<const std::uint32_t> objects, std::span<const float> v, float offset);

// Over the samples [begin, end) of a mapping: the largest object score that is a number (-inf if
// none), the most objects of one sample, and whether a sample has none. Indices past the scores
// are passed over (the step's checks report them).
struct ObjectScoreSpan {
    float top;
    std::size_t most;
    bool none;
};
ObjectScoreSpan score_span(const SubpartMapping& mapping, const std::vector<float>& scores,
                           std::size_t begin, std::size_t end);

class SubpartDiversifyingStrategy {
public:
    SubpartDiversifyingStrategy(EmbeddingRows objects, IndexRows sample_to_subpart_indices,
                                float strength, std::optional<float> stopping_distance);

    std::size_t sample_count() const { return mapping_.sample_count(); }
    float strength() const { return strength_; }
    const DiversifyingStrategy& objects() const { return inner_; }
    DiversifyingStrategy& objects() { return inner_; }

    void potentials(std::span<float> out) const;
    std::vector<float> potentials() const;
    // Before potentials_range on any worker: fails on a bad object index, returns the offset S.
    float prepare_step() const;
    void potentials_range(std::size_t begin, std::span<float> out, float s) const;
    void inform(std::size_t selected_sample);
    bool should_stop(std::size_t candidate_index) const;

    using Saved = DiversifyingStrategy::Saved;
    Saved save() const { return inner_.save(); }
    void restore(Saved saved) noexcept { inner_.restore(std::move(saved)); }

private:
    DiversifyingStrategy inner_;
    SubpartMapping mapping_;
    float strength_;
};

class SubpartSimilarityStrategy {
public:
    // Object scores are computed once here; keys must not be empty.
    SubpartSimilarityStrategy(const EmbeddingRows& key_embeddings, EmbeddingRows query_embeddings,
                              IndexRows sample_to_subpart_indices, float strength);

    std::size_t sample_count() const { return mapping_.sample_count(); }
    float strength() const { return strength_; }
    const std::vector<float>& object_scores() const { return scores_; }
    float accumulated() const { return accumulated_; }
    ObjectScoreSpan score_span(std::size_t begin, std::size_t end) const {
        return orvane::score_span(mapping_, scores_, begin, end);
    }

    void potentials(std::span<float> out) const;
    std::vector<float> potentials() const;
    // Before potentials_range on any worker: fails on a bad object index.
    void prepare_step() const { mapping_.check_objects(scores_.size()); }
    void potentials_range(std::size_t begin, std::span<float> out) const;
    void inform(std::size_t selected_sample);

    struct Saved {
        float accumulated;
    };
    Saved save() const { return {accumulated_}; }
    void restore(Saved saved) noexcept { accumulated_ = saved.accumulated; }

private:
    std::vector<float> scores_;
    float accumulated_ = 0.0f;
    SubpartMapping mapping_;
    float strength_;
};

class SubpartTypicalityStrategy {
public:
    SubpartTypicalityStrategy(EmbeddingRows objects, IndexRows sample_to_subpart_indices,
                              float strength, std::size_t num_nearest_neighbors,
                              std::optional<float> stopping_condition_minimum_typicality);

    std::size_t sample_count() const { return mapping_.sample_count(); }
    float strength() const { return strength_; }
    const std::vector<float>& object_scores() const { return scores_; }
    float accumulated() const { return accumulated_; }
    ObjectScoreSpan score_span(std::size_t begin, std::size_t end) const {
        return orvane::score_span(mapping_, scores_, begin, end);
    }

    void potentials(std::span<float> out) const;
    std::vector<float> potentials() const;
    // Before potentials_range on any worker: fails on a bad object index.
    void prepare_step() const { mapping_.check_objects(scores_.size()); }
    void potentials_range(std::size_t begin, std::span<float> out) const;
    void inform(std::size_t selected_sample);
    bool should_stop(std::size_t candidate_index) const;

    struct Saved {
        float accumulated;
    };
    Saved save() const { return {accumulated_}; }
    void restore(Saved saved) noexcept { accumulated_ = saved.accumulated; }

private:
    std::vector<float> scores_;
    float accumulated_ = 0.0f;
    SubpartMapping mapping_;
    bool stop_enabled_;
    float stop_threshold_;
    float strength_;
};

}  // namespace orvane
