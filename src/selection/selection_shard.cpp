#include "src/selection/selection_shard.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "src/common/failure.hpp"

namespace orvane {

namespace {

template <class Kind>
using PicksOf = std::vector<typename Kind::Pick>;
using Picks = StrategyKinds::Each<PicksOf>;

// A pick on the wire: the global sample index, then each strategy's pick in kind order and
// insertion order, as fixed-width native values (every shard runs the same build).
class Writer {
public:
    template <class T>
    void put(T v) {
        const auto* p = reinterpret_cast<const unsigned char*>(&v);
        out.insert(out.end(), p, p + sizeof v);
    }
    void put_floats(const std::vector<float>& v) {
        put<std::uint64_t>(v.size());
        if (v.empty()) return;
        const auto* p = reinterpret_cast<const unsigned char*>(v.data());
        out.insert(out.end(), p, p + v.size() * sizeof(float));
    }
    void put(const ObjectOutOfRange& o) {
        put<std::uint64_t>(o.index);
        put<std::uint64_t>(o.count);
    }
    void put(const DiversifyingStrategy::Pick& p) {
        put_floats(p.values);
        put(p.half_norm);
    }
    std::vector<unsigned char> out;
};

class Reader {
public:
    explicit Reader(std::span<const unsigned char> in) : in_(in) {}
    template <class T>
    T get() {
        T v;
        need(sizeof v);
        std::memcpy(&v, in_.data() + at_, sizeof v);
        at_ += sizeof v;
        return v;
    }
    std::vector<float> get_floats() {
        const auto n = static_cast<std::size_t>(get<std::uint64_t>());
        if (n > (in_.size() - at_) / sizeof(float)) fail();
        std::vector<float> v(n);
        if (n == 0) return v;  // an empty vector's data() may be null, which memcpy must not get
        std::memcpy(v.data(), in_.data() + at_, n * sizeof(float));
        at_ += n * sizeof(float);
        return v;
    }
    ObjectOutOfRange get_out_of_range() {
        ObjectOutOfRange o;
        o.index = static_cast<std::size_t>(get<std::uint64_t>());
        o.count = static_cast<std::size_t>(get<std::uint64_t>());
        return o;
    }
    DiversifyingStrategy::Pick get_row() {
        DiversifyingStrategy::Pick p;
        p.values = get_floats();
        p.half_norm = get<float>();
        return p;
    }
    void finish() const {
        if (at_ != in_.size()) fail();
    }

private:
    void need(std::size_t n) const {
        if (n > in_.size() - at_) fail();
    }
    [[noreturn]] static void fail() {
        raise_internal_failure("a selection shard was told a pick it cannot read");
    }
    std::span<const unsigned char> in_;
    std::size_t at_ = 0;
};

}  // namespace

struct SelectionShard::Run {
    std::vector<std::size_t> taken;  // local, in pick order
    std::optional<GreedySteps> steps;
    StrategyKinds::Each<SavedOf> saved;
    std::vector<SelectedMinima::Saved> minima, object_minima;
};

SelectionShard::SelectionShard(std::size_t first, std::size_t count, std::size_t n_total)
    : first_(first), count_(count), n_total_(n_total) {
    if (first > n_total || count > n_total - first) {
        throw InvalidArgument("a shard of samples [" + std::to_string(first) + ", " +
                              std::to_string(first + count) + ") does not fit in " +
                              std::to_string(n_total) + " samples");
    }
}

SelectionShard::~SelectionShard() = default;
SelectionShard::SelectionShard(SelectionShard&&) noexcept = default;

template <class Kind>
void SelectionShard::add_kind(Kind s) {
    if (run_) raise_internal_failure("a strategy cannot join a shard during a run");
    if (s.sample_count() != count_) {
        throw InvalidArgument("The " + std::string(Kind::kName) + " strategy has " +
                              std::to_string(s.sample_count()) + " samples but its shard has " +
                              std::to_string(count_));
    }
    strategies_.of<Kind>().push_back(std::move(s));
}

void SelectionShard::add(WeightingStrategy s, float largest_weight, bool nonnegative) {
    s.share_scale(largest_weight, nonnegative);
    add_kind(std::move(s));
}
void SelectionShard::add(DiversifyingStrategy s) {
    add_kind(std::move(s));
    minima_.emplace_back();
}
void SelectionShard::add(BalancingStrategy s) { add_kind(std::move(s)); }
void SelectionShard::add(SubpartDiversifyingStrategy s, std::vector<std::size_t> object_ids) {
    if (object_ids.size() != s.objects().sample_count() ||
        !std::is_sorted(object_ids.begin(), object_ids.end())) {
        throw InvalidArgument("a shard's object ids must list each of its objects, ascending");
    }
    add_kind(std::move(s));
    object_minima_.emplace_back();
    object_ids_.push_back(std::move(object_ids));
}
void SelectionShard::add(SubpartSimilarityStrategy s) { add_kind(std::move(s)); }
void SelectionShard::add(SubpartTypicalityStrategy s) { add_kind(std::move(s)); }

void SelectionShard::begin_run() {
    run_ = std::make_unique<Run>();
    strategies_.each([&](auto tag, const auto& list) {
        auto& out = run_->saved.template of<typename decltype(tag)::type>();
        for (const auto& s : list) out.push_back(s.save());
    });
    for (const auto& m : minima_) run_->minima.push_back(m.save());
    for (const auto& m : object_minima_) run_->object_minima.push_back(m.save());
}

void SelectionShard::end_run(bool keep) {
    if (run_ && !keep) {
        strategies_.each([&](auto tag, auto& list) {
            auto& states = run_->saved.template of<typename decltype(tag)::type>();
            for (std::size_t i = 0; i < states.size(); ++i) list[i].restore(std::move(states[i]));
        });
        for (std::size_t i = 0; i < minima_.size(); ++i) {
            minima_[i].restore(std::move(run_->minima[i]));
        }
        for (std::size_t i = 0; i < object_minima_.size(); ++i) {
            object_minima_[i].restore(std::move(run_->object_minima[i]));
        }
    }
    run_.reset();
}

std::vector<unsigned char> SelectionShard::encode_pick(std::size_t global) const {
    if (global < first_ || global - first_ >= count_) {
        throw InvalidArgument("sample " + std::to_string(global) + " is not in this shard");
    }
    const std::size_t local = global - first_;
    Writer w;
    w.put<std::uint64_t>(global);
    for (const auto& s : strategies_.of<WeightingStrategy>()) w.put(s.pick(local).weight);
    for (const auto& s : strategies_.of<DiversifyingStrategy>()) w.put(s.pick(local));
    for (const auto& s : strategies_.of<BalancingStrategy>()) w.put_floats(s.pick(local).class_row);
    const auto& subparts = strategies_.of<SubpartDiversifyingStrategy>();
    for (std::size_t k = 0; k < subparts.size(); ++k) {
        const auto pick = subparts[k].pick(local);
        w.put<std::uint64_t>(pick.rows.size());
        for (std::size_t o = 0; o < pick.rows.size(); ++o) {
            w.put<std::uint64_t>(object_ids_[k][pick.objects[o]]);
            w.put(pick.rows[o]);
        }
        w.put(pick.out_of_range);
    }
    auto fixed = [&](const auto& list) {
        for (const auto& s : list) {
            const auto pick = s.pick(local);
            w.put_floats(pick.scores);
            w.put(pick.out_of_range);
        }
    };
    fixed(strategies_.of<SubpartSimilarityStrategy>());
    fixed(strategies_.of<SubpartTypicalityStrategy>());
    return std::move(w.out);
}

void SelectionShard::inform(std::span<const unsigned char> encoded) {
    // Decoded whole before any strategy changes.
    Reader r(encoded);
    const auto global = static_cast<std::size_t>(r.get<std::uint64_t>());
    if (global >= n_total_) fail_index(global, n_total_);
    const bool own = global >= first_ && global - first_ < count_;
    const std::size_t local = own ? global - first_ : kElsewhere;
    Picks picks;
    for (std::size_t k = 0; k < strategies_.of<WeightingStrategy>().size(); ++k) {
        picks.of<WeightingStrategy>().push_back({r.get<float>()});
    }
    for (std::size_t k = 0; k < strategies_.of<DiversifyingStrategy>().size(); ++k) {
        picks.of<DiversifyingStrategy>().push_back(r.get_row());
    }
    for (std::size_t k = 0; k < strategies_.of<BalancingStrategy>().size(); ++k) {
        picks.of<BalancingStrategy>().push_back({r.get_floats()});
    }
    // Object ids as sent (global) beside the picks, whose objects become this shard's own
    // indices where it holds them.
    std::vector<std::vector<std::size_t>> global_objects(object_ids_.size());
    for (std::size_t k = 0; k < object_ids_.size(); ++k) {
        SubpartDiversifyingStrategy::Pick pick;
        const auto n = static_cast<std::size_t>(r.get<std::uint64_t>());
        for (std::size_t o = 0; o < n; ++o) {
            const auto id = static_cast<std::size_t>(r.get<std::uint64_t>());
            const auto& ids = object_ids_[k];
            const auto at = std::lower_bound(ids.begin(), ids.end(), id);
            pick.objects.push_back(at != ids.end() && *at == id
                                       ? static_cast<std::size_t>(at - ids.begin())
                                       : kElsewhere);
            pick.rows.push_back(r.get_row());
            global_objects[k].push_back(id);
        }
        pick.out_of_range = r.get_out_of_range();
        picks.of<SubpartDiversifyingStrategy>().push_back(std::move(pick));
    }
    auto fixed = [&](auto tag) {
        using Kind = typename decltype(tag)::type;
        for (std::size_t k = 0; k < strategies_.of<Kind>().size(); ++k) {
            typename Kind::Pick pick;
            pick.scores = r.get_floats();
            pick.out_of_range = r.get_out_of_range();
            picks.of<Kind>().push_back(std::move(pick));
        }
    };
    fixed(KindTag<SubpartSimilarityStrategy>{});
    fixed(KindTag<SubpartTypicalityStrategy>{});
    r.finish();

    strategies_.each([&](auto tag, auto& list) {
        using Kind = typename decltype(tag)::type;
        const auto& kind_picks = picks.of<Kind>();
        for (std::size_t k = 0; k < list.size(); ++k) {
            if constexpr (std::is_same_v<Kind, SubpartDiversifyingStrategy>) {
                list[k].inform_held(local, kind_picks[k]);
            } else {
                list[k].inform(local, kind_picks[k]);
            }
        }
    });
    const auto& rows = picks.of<DiversifyingStrategy>();
    for (std::size_t k = 0; k < minima_.size(); ++k) minima_[k].inform(global, rows[k]);
    const auto& subparts = picks.of<SubpartDiversifyingStrategy>();
    for (std::size_t k = 0; k < object_minima_.size(); ++k) {
        for (std::size_t o = 0; o < subparts[k].rows.size(); ++o) {
            object_minima_[k].inform(global_objects[k][o], subparts[k].rows[o]);
        }
    }
    if (run_ && own) {
        run_->taken.push_back(local);
        if (run_->steps) run_->steps->take(local);
    }
}

Steps SelectionShard::prepare() const {
    Steps steps = prepare_steps(strategies_);
    // The selected set's diversity is the whole's, which this shard's strategies do not hold.
    auto& diversifying = steps.of<DiversifyingStrategy>();
    for (std::size_t k = 0; k < diversifying.size(); ++k)
        diversifying[k].s = minima_[k].diversity();
    auto& subparts = steps.of<SubpartDiversifyingStrategy>();
    for (std::size_t k = 0; k < subparts.size(); ++k) subparts[k].s = object_minima_[k].diversity();
    return steps;
}

std::optional<SelectionShard::Best> SelectionShard::best() {
    if (!run_) raise_internal_failure("a shard's best sample is asked outside a run");
    if (count_ == 0) return std::nullopt;
    if (!run_->steps) run_->steps.emplace(strategies_, count_, run_->taken, false);
    const Steps steps = prepare();
    const step::BlockBest b = run_->steps->best(steps);
    Best out{first_ + b.index, b.score, b.nan, run_->steps->taken(b.index), false, {}};
    if (!out.taken) out.stop = any_stop(strategies_, steps, b.index);
    if (!out.taken && !out.stop) out.pick = encode_pick(out.index);
    return out;
}

}  // namespace orvane
