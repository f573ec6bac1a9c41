#include "src/selection/subpart_strategy.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "src/common/failure.hpp"
#include "src/common/input_texts.hpp"
#include "src/common/total_order.hpp"
#include "src/common/worker_pool.hpp"
#include "src/selection/selection_checks.hpp"
#include "src/scores/similarity.hpp"
#include "src/scores/typicality.hpp"

namespace orvane {

SubpartMapping::SubpartMapping(const IndexRows& sample_to_subpart_indices) {
    offsets_.reserve(sample_to_subpart_indices.size() + 1);
    offsets_.push_back(0);
    bool narrow = true;
    for (const auto& objects : sample_to_subpart_indices) {
        offsets_.push_back(offsets_.back() + objects.size());
        for (std::size_t o : objects) narrow = narrow && o <= UINT32_MAX;
    }
    if (narrow) {
        narrow_.reserve(offsets_.back());
        for (const auto& objects : sample_to_subpart_indices) {
            for (std::size_t o : objects) narrow_.push_back(static_cast<std::uint32_t>(o));
        }
    } else {
        wide_.reserve(offsets_.back());
        for (const auto& objects : sample_to_subpart_indices) {
            wide_.insert(wide_.end(), objects.begin(), objects.end());
        }
    }
}

void SubpartMapping::check_objects(std::size_t n_objects) const {
    if (n_objects != 0 && n_objects == checked_for_) return;
    auto check = [&](const auto& indices) {
        for (std::size_t o : indices) {
            if (o >= n_objects) fail_index(o, n_objects);
        }
    };
    if (wide_.empty())
        check(narrow_);
    else
        check(wide_);
    checked_for_ = n_objects;
}

namespace {

inline float object_value(std::span<const float> v, std::size_t object, float offset) {
    if (object >= v.size()) fail_index(object, v.size());
    return v[object] + offset;
}

// Inlined into the per-step loops, where a call per sample costs as much as the fold.
template <class Index>
[[gnu::always_inline]] inline float mean_of(std::span<const Index> objects,
                                            std::span<const float> v, float offset) {
    if (objects.empty()) return 0.0f;
    float sum = -0.0f;
    for (std::size_t o : objects) sum = sum + object_value(v, o, offset);
    return sum / static_cast<float>(objects.size());
}

template <class Index>
[[gnu::always_inline]] inline float max_of(std::span<const Index> objects, std::span<const float> v,
                                           float offset) {
    if (objects.empty()) return 0.0f;
    float best = object_value(v, objects[0], offset);
    for (std::size_t o : objects.subspan(1)) {
        const float x = object_value(v, o, offset);
        if (total_order_key(x) > total_order_key(best)) best = x;
    }
    return best;
}

}  // namespace

float fold_mean(std::span<const std::size_t> objects, std::span<const float> v, float offset) {
    return mean_of(objects, v, offset);
}
float fold_mean(std::span<const std::uint32_t> objects, std::span<const float> v, float offset) {
    return mean_of(objects, v, offset);
}
float fold_max(std::span<const std::size_t> objects, std::span<const float> v, float offset) {
    return max_of(objects, v, offset);
}
float fold_max(std::span<const std::uint32_t> objects, std::span<const float> v, float offset) {
    return max_of(objects, v, offset);
}

ObjectScoreSpan score_span(const SubpartMapping& mapping, const std::vector<float>& scores,
                           std::size_t begin, std::size_t end) {
    ObjectScoreSpan span{-std::numeric_limits<float>::infinity(), 0, false};
    for (std::size_t i = begin; i < end; ++i) {
        mapping.with_objects(i, [&](auto objects) {
            span.most = std::max(span.most, objects.size());
            span.none = span.none || objects.empty();
            for (std::size_t o : objects) {
                if (o < scores.size() && scores[o] > span.top) span.top = scores[o];
            }
        });
    }
    return span;
}

std::vector<ObjectScoreSpan> object_score_spans(const SubpartMapping& mapping,
                                                const std::vector<float>& scores, std::size_t n,
                                                std::size_t blocks) {
    std::vector<ObjectScoreSpan> spans(blocks);
    pool::run_tasks(blocks, [&](std::size_t b, std::size_t) {
        const std::size_t begin = b * step::kStepBlock;
        spans[b] = score_span(mapping, scores, begin, std::min(n, begin + step::kStepBlock));
    });
    return spans;
}

// ---- subpart diversifying ----

SubpartDiversifyingStrategy::SubpartDiversifyingStrategy(EmbeddingRows objects,
                                                         IndexRows sample_to_subpart_indices,
                                                         float strength,
                                                         std::optional<float> stopping_distance)
    : inner_(std::move(objects), stopping_distance, 1.0f),
      mapping_(sample_to_subpart_indices),
      strength_(strength) {}

SubpartDiversifyingStrategy::Step SubpartDiversifyingStrategy::prepare_step() const {
    mapping_.check_objects(inner_.sample_count());
    return inner_.prepare_step();
}

void SubpartDiversifyingStrategy::potentials_range(const Step& step, std::size_t begin,
                                                   std::span<float> out) const {
    const float s = step.s;
    const std::span<const float> min_distances = inner_.min_distances();
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = mapping_.with_objects(
            begin + i, [&](auto objects) { return mean_of(objects, min_distances, s); });
    }
}

void ObjectOutOfRange::raise_if_any() const {
    if (index != kElsewhere) check_selected_sample(index, count);
}

SubpartDiversifyingStrategy::Pick SubpartDiversifyingStrategy::pick(std::size_t sample) const {
    check_selected_sample(sample, sample_count());
    Pick out;
    const std::size_t m = inner_.sample_count();
    mapping_.with_objects(sample, [&](auto objects) {
        for (std::size_t o : objects) {
            if (o >= m) {
                out.out_of_range = {o, m};
                return;
            }
            out.rows.push_back(inner_.pick(o));
            out.objects.push_back(o);
        }
    });
    return out;
}

void SubpartDiversifyingStrategy::inform(std::size_t selected_sample, const Pick& pick) {
    const bool own = selected_sample != kElsewhere;
    if (own) check_selected_sample(selected_sample, sample_count());
    // One object at a time, so objects of one sample become each other's nearest neighbors.
    for (std::size_t k = 0; k < pick.rows.size(); ++k) {
        inner_.inform(own ? pick.objects[k] : kElsewhere, pick.rows[k]);
    }
    pick.out_of_range.raise_if_any();
}

void SubpartDiversifyingStrategy::inform_held(std::size_t selected_sample, const Pick& pick) {
    if (selected_sample != kElsewhere) check_selected_sample(selected_sample, sample_count());
    for (std::size_t k = 0; k < pick.rows.size(); ++k) inner_.inform(pick.objects[k], pick.rows[k]);
    pick.out_of_range.raise_if_any();
}

bool SubpartDiversifyingStrategy::should_stop(std::size_t candidate_index, const Step& step) const {
    check_candidate_index(candidate_index, sample_count());
    if (!inner_.stopping_enabled()) return false;
    return mapping_.with_objects(candidate_index, [&](auto objects) {
        if (objects.empty()) return false;
        const float s = step.s;
        return fold_mean(objects, inner_.min_distances(), s) < (inner_.stop_threshold() + s);
    });
}

// ---- subpart similarity and typicality: fixed object scores plus an accumulated sum ----

namespace {

template <class Pick, class Index>
Pick scores_of(std::span<const Index> objects, const std::vector<float>& scores) {
    Pick out;
    out.scores.reserve(objects.size());
    for (std::size_t o : objects) {
        if (o >= scores.size()) {
            out.out_of_range = {o, scores.size()};
            break;
        }
        out.scores.push_back(scores[o]);
    }
    return out;
}

// Similarity scores are at most 0, and so would be every sum of them: each potential would sit
// at the floor and the strategy would change no pick. exp(score) keeps the order of the scores
// and makes them positive, as typicality's are: 1 for an object on a query, e^-1 at the mean
// distance, towards 0 farther away.
std::vector<float> exp_of(std::vector<float> values) {
    for (float& v : values) v = std::exp(v);
    return values;
}

std::vector<float> scores_of_keys(const EmbeddingRows& keys, EmbeddingRows queries) {
    if (keys.empty()) raise_internal_failure(kEmptyKeyEmbeddings);
    return exp_of(similarity_scores(keys, std::move(queries)));
}

std::vector<float> typicality_of_objects(EmbeddingRows objects, std::size_t k) {
    require_two_embeddings(objects.size());
    const std::size_t n = objects.size();
    const DistanceCalculator calculator(std::move(objects));
    return typicality_scores(calculator, n, k);
}

}  // namespace

template <class Kind, bool kMean>
void FixedObjectScores<Kind, kMean>::potentials_range(const Step&, std::size_t begin,
                                                      std::span<float> out) const {
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = mapping_.with_objects(begin + i, [&](auto objects) {
            if constexpr (kMean) {
                return mean_of(objects, scores_, accumulated_);
            } else {
                return max_of(objects, scores_, accumulated_);
            }
        });
    }
}

template <class Kind, bool kMean>
auto FixedObjectScores<Kind, kMean>::pick(std::size_t sample) const -> Pick {
    check_selected_sample(sample, sample_count());
    return mapping_.with_objects(sample,
                                 [&](auto objects) { return scores_of<Pick>(objects, scores_); });
}

template <class Kind, bool kMean>
void FixedObjectScores<Kind, kMean>::inform(std::size_t selected_sample, const Pick& pick) {
    if (selected_sample != kElsewhere) check_selected_sample(selected_sample, sample_count());
    for (float score : pick.scores) accumulated_ = accumulated_ + score;
    pick.out_of_range.raise_if_any();
}

SubpartSimilarityStrategy::SubpartSimilarityStrategy(const EmbeddingRows& key_embeddings,
                                                     EmbeddingRows query_embeddings,
                                                     IndexRows sample_to_subpart_indices,
                                                     float strength)
    : FixedObjectScores(scores_of_keys(key_embeddings, std::move(query_embeddings)),
                        sample_to_subpart_indices, strength) {}

SubpartSimilarityStrategy SubpartSimilarityStrategy::from_scores(
    std::vector<float> similarity, const IndexRows& sample_to_subpart_indices, float strength) {
    return SubpartSimilarityStrategy(exp_of(std::move(similarity)), sample_to_subpart_indices,
                                     strength);
}

SubpartTypicalityStrategy::SubpartTypicalityStrategy(
    std::vector<float> typicality, const IndexRows& sample_to_subpart_indices, float strength,
    std::optional<float> stopping_condition_minimum_typicality)
    : FixedObjectScores(std::move(typicality), sample_to_subpart_indices, strength),
      stop_enabled_(stopping_condition_minimum_typicality.has_value()),
      stop_threshold_(stopping_condition_minimum_typicality.value_or(0.0f)) {}

SubpartTypicalityStrategy::SubpartTypicalityStrategy(
    EmbeddingRows objects, IndexRows sample_to_subpart_indices, float strength,
    std::size_t num_nearest_neighbors, std::optional<float> stopping_condition_minimum_typicality)
    : FixedObjectScores(typicality_of_objects(std::move(objects), num_nearest_neighbors),
                        sample_to_subpart_indices, strength),
      stop_enabled_(stopping_condition_minimum_typicality.has_value()),
      stop_threshold_(stopping_condition_minimum_typicality.value_or(0.0f)) {}

template class FixedObjectScores<SubpartSimilarityStrategy, false>;
template class FixedObjectScores<SubpartTypicalityStrategy, true>;

bool SubpartTypicalityStrategy::should_stop(std::size_t candidate_index) const {
    check_candidate_index(candidate_index, sample_count());
    if (!stop_enabled_) return false;
    return mapping_.with_objects(candidate_index, [&](auto objects) {
        // Empty samples never trigger the stop.
        if (objects.empty()) return false;
        return fold_mean(objects, scores_, accumulated_) < (stop_threshold_ + accumulated_);
    });
}

}  // namespace orvane
