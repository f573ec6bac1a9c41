#pragma once
// Strategies that choose whole samples from the embeddings of the objects inside them: object
// values are folded per sample, and selecting a sample informs all of its objects.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "src/selection/diversifying_strategy.hpp"
#include "src/common/embedding.hpp"
#include "src/selection/block_ranges.hpp"
#include "src/selection/strategy.hpp"

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

// Over the samples [begin, end) of a mapping. Indices past the scores are passed over (the step's
// checks report them).
using step::ObjectScoreSpan;
ObjectScoreSpan score_span(const SubpartMapping& mapping, const std::vector<float>& scores,
                           std::size_t begin, std::size_t end);
// The spans of every block of a step's samples.
std::vector<ObjectScoreSpan> object_score_spans(const SubpartMapping& mapping,
                                                const std::vector<float>& scores, std::size_t n,
                                                std::size_t blocks);

// A pick's first object index not below the object count, if any.
struct ObjectOutOfRange {
    std::size_t index = kElsewhere;
    std::size_t count = 0;
    // Fails as inform does for that object.
    void raise_if_any() const;
};

class SubpartDiversifyingStrategy : public StrategyTerms<SubpartDiversifyingStrategy> {
public:
    static constexpr const char* kName = "subpart diversifying";
    SubpartDiversifyingStrategy(EmbeddingRows objects, IndexRows sample_to_subpart_indices,
                                float strength, std::optional<float> stopping_distance);

    std::size_t sample_count() const { return mapping_.sample_count(); }
    float strength() const { return strength_; }
    const DiversifyingStrategy& objects() const { return inner_; }
    DiversifyingStrategy& objects() { return inner_; }

    using Step = DiversifyingStrategy::Step;
    // Fails on a bad object index.
    Step prepare_step() const;
    void potentials_range(const Step& step, std::size_t begin, std::span<float> out) const;
    // The sample's objects with their rows, in mapping order, up to the first object out of
    // range (inform fails there, after the objects before it).
    struct Pick {
        std::vector<std::size_t> objects;
        std::vector<DiversifyingStrategy::Pick> rows;
        ObjectOutOfRange out_of_range;
    };
    Pick pick(std::size_t sample) const;
    using StrategyTerms::inform;
    // The objects of a pick from elsewhere are told to the inner strategy as picks from
    // elsewhere.
    void inform(std::size_t selected_sample, const Pick& pick);
    // A pick whose objects are given by their index among this strategy's objects where it holds
    // them, kElsewhere where not (a shard's strategy holds the objects of its own samples).
    void inform_held(std::size_t selected_sample, const Pick& pick);
    bool should_stop(std::size_t candidate_index, const Step& step) const;
    bool should_stop(std::size_t candidate_index) const {
        return should_stop(candidate_index, prepare_step());
    }

    using Saved = DiversifyingStrategy::Saved;
    Saved save() const { return inner_.save(); }
    void restore(Saved saved) noexcept { inner_.restore(std::move(saved)); }
    void set_shortcuts(bool on) { inner_.set_shortcuts(on); }

private:
    DiversifyingStrategy inner_;
    SubpartMapping mapping_;
    float strength_;
};

// Strategies whose objects have fixed scores, computed once: a sample's potential folds its
// objects' scores, each plus the sum of the scores of every object selected so far (a maximum
// for kMean false, a mean for true).
template <class Kind, bool kMean>
class FixedObjectScores : public StrategyTerms<Kind>, public RunningSum {
public:
    std::size_t sample_count() const { return mapping_.sample_count(); }
    float strength() const { return strength_; }
    const std::vector<float>& object_scores() const { return scores_; }

    struct Step {};
    // Fails on a bad object index.
    Step prepare_step() const {
        mapping_.check_objects(scores_.size());
        return {};
    }
    void potentials_range(const Step&, std::size_t begin, std::span<float> out) const;
    // The scores of the sample's objects, in mapping order, up to the first object out of range
    // (inform fails there, after adding the scores before it).
    struct Pick {
        std::vector<float> scores;
        ObjectOutOfRange out_of_range;
    };
    Pick pick(std::size_t sample) const;
    using StrategyTerms<Kind>::inform;
    void inform(std::size_t selected_sample, const Pick& pick);

    // Object scores never change, so each block's span is found once.
    class Bounds {
    public:
        static constexpr bool kMoves = false;
        Bounds(const FixedObjectScores& s, std::size_t n, std::size_t blocks)
            : s_(s), spans_(object_score_spans(s.mapping_, s.scores_, n, blocks)) {}
        void refresh(std::size_t, std::size_t, std::size_t, const unsigned char*) {}
        step::Range range(std::size_t b, const Step&) const {
            const float top = step::subpart_top(spans_[b], s_.accumulated_, kMean);
            return step::contribution_range({-std::numeric_limits<float>::infinity(), top}, 0.0f,
                                            s_.strength_);
        }

    private:
        const FixedObjectScores& s_;
        std::vector<ObjectScoreSpan> spans_;
    };

protected:
    FixedObjectScores(std::vector<float> scores, const IndexRows& sample_to_subpart_indices,
                      float strength)
        : scores_(std::move(scores)), mapping_(sample_to_subpart_indices), strength_(strength) {}

    std::vector<float> scores_;
    SubpartMapping mapping_;
    float strength_;
};

class SubpartSimilarityStrategy : public FixedObjectScores<SubpartSimilarityStrategy, false> {
public:
    static constexpr const char* kName = "subpart similarity";
    // Object scores are computed here; keys must not be empty.
    SubpartSimilarityStrategy(const EmbeddingRows& key_embeddings, EmbeddingRows query_embeddings,
                              IndexRows sample_to_subpart_indices, float strength);
    // From the similarity scores of the objects, computed elsewhere.
    static SubpartSimilarityStrategy from_scores(std::vector<float> similarity,
                                                 const IndexRows& sample_to_subpart_indices,
                                                 float strength);

private:
    SubpartSimilarityStrategy(std::vector<float> values, const IndexRows& mapping, float strength)
        : FixedObjectScores(std::move(values), mapping, strength) {}
};

class SubpartTypicalityStrategy : public FixedObjectScores<SubpartTypicalityStrategy, true> {
public:
    static constexpr const char* kName = "subpart typicality";
    SubpartTypicalityStrategy(EmbeddingRows objects, IndexRows sample_to_subpart_indices,
                              float strength, std::size_t num_nearest_neighbors,
                              std::optional<float> stopping_condition_minimum_typicality);
    // From the typicality scores of the objects, computed elsewhere.
    SubpartTypicalityStrategy(std::vector<float> typicality,
                              const IndexRows& sample_to_subpart_indices, float strength,
                              std::optional<float> stopping_condition_minimum_typicality);

    bool should_stop(std::size_t candidate_index) const;
    bool should_stop(std::size_t candidate_index, const Step&) const {
        return should_stop(candidate_index);
    }

private:
    bool stop_enabled_;
    float stop_threshold_;
};

}  // namespace orvane
