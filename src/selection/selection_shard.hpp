#pragma once
// One contiguous range of a selection's samples, with its own strategies over them, for a
// selection spread over several processes. A driver asks every shard for its best sample,
// takes the best of those (ties to the lowest index), and tells every shard of the pick with
// the rows its owner encoded; the shards then hold, for their samples, exactly the state one
// selection over all samples would hold, and their bests give its picks.
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "src/selection/greedy_steps.hpp"
#include "src/selection/selected_minima.hpp"
#include "src/selection/strategy_kinds.hpp"

namespace orvane {

class SelectionShard {
public:
    // Samples [first, first + count) of n_total.
    SelectionShard(std::size_t first, std::size_t count, std::size_t n_total);
    ~SelectionShard();
    // Moved only between runs: a run's steps refer to the strategies where they are.
    SelectionShard(SelectionShard&&) noexcept;

    std::size_t first() const { return first_; }
    std::size_t count() const { return count_; }

    // Strategies over the shard's samples, in the order the whole selection added them. A
    // weighting strategy takes the whole's scale (the largest weight of all samples, and whether
    // none is negative), so that its steps switch to relative terms where the whole's do. A
    // subpart diversifying strategy holds the objects of the shard's samples, `object_ids`
    // giving each one's index among all objects (ascending).
    void add(WeightingStrategy s, float largest_weight, bool nonnegative);
    void add(DiversifyingStrategy s);
    void add(BalancingStrategy s);
    void add(SubpartDiversifyingStrategy s, std::vector<std::size_t> object_ids);
    void add(SubpartSimilarityStrategy s);
    void add(SubpartTypicalityStrategy s);

    // A run: taken samples are those told as picks since; end_run(false) puts every strategy
    // back as begin_run() found it.
    void begin_run();
    void end_run(bool keep);

    // Sample `global`'s pick, encoded for every shard's inform; it must be one of this shard's.
    std::vector<unsigned char> encode_pick(std::size_t global) const;
    // A pick encoded by its owner's encode_pick.
    void inform(std::span<const unsigned char> encoded);

    struct Best {
        std::size_t index;  // global; none when the shard holds no sample
        float score;
        bool nan;
        bool taken;
        bool stop;                        // a stopping check fires for it (when not taken)
        std::vector<unsigned char> pick;  // its encoded pick (when not taken and not stopping)
    };
    // The shard's best sample at this step of the current run.
    std::optional<Best> best();

private:
    template <class Kind>
    void add_kind(Kind s);
    Steps prepare() const;

    std::size_t first_, count_, n_total_;
    Strategies strategies_;
    // Per diversifying strategy, then per subpart diversifying strategy (over objects).
    std::vector<SelectedMinima> minima_;
    std::vector<SelectedMinima> object_minima_;
    std::vector<std::vector<std::size_t>> object_ids_;

    struct Run;
    std::unique_ptr<Run> run_;
};

}  // namespace orvane
