#include "src/selection/greedy_steps.hpp"

#include <algorithm>
#include <optional>

#include "src/common/worker_pool.hpp"
#include "src/selection/kernels.hpp"
#include "src/selection/step_bounds.hpp"
#include "src/selection/step_scorer.hpp"

namespace orvane {

namespace {

using namespace step;
using Bounds = StepBounds<Strategies, Steps, StrategyKinds::Each<BoundsListOf>>;

// A step's chain over the strategies and their prepared steps, in kind order (see StepScorer).
struct StepTerms {
    const Strategies& strategies;
    const Steps& steps;
    const SelectionKernels& kernels;

    template <class F>
    void each(F&& f) const {
        strategies.each([&](auto tag, const auto& list) {
            const auto& kind_steps = steps.template of<typename decltype(tag)::type>();
            for (std::size_t k = 0; k < list.size(); ++k) f(list[k], kind_steps[k]);
        });
    }
    void exact(std::size_t begin, std::span<float> score, std::span<float> potential) const {
        each([&](const auto& s, const auto& step) { s.add_terms(step, begin, score, potential); });
    }
    void screen(std::size_t begin, std::span<float> score, std::span<float> magnitude,
                std::span<float> width, std::span<float> work) const {
        each([&](const auto& s, const auto& step) {
            s.screen_terms(step, begin, score, magnitude, width, work, kernels);
        });
    }
    float exact_one(std::size_t i) const {
        float score = 0.0f;
        each([&](const auto& s, const auto& step) { score = s.exact_term(step, i, score); });
        return score;
    }
    // Whether two or more terms go through a logarithm: the screen saves their libm calls, and
    // costs a second round of the pool per set of blocks.
    bool worth_screening() const {
        std::size_t logs = 0;
        each([&](const auto& s, const auto& step) { logs += s.exact_in_screen(step) ? 0 : 1; });
        return logs >= 2;
    }
};

// Steps taken without the bounds after a step they did not shorten.
constexpr std::size_t kPlainSteps = 8;

std::size_t term_count(const Strategies& strategies) {
    std::size_t n = 0;
    strategies.each([&](auto, const auto& list) { n += list.size(); });
    return n;
}

}  // namespace

Steps prepare_steps(const Strategies& strategies) {
    Steps steps;
    strategies.each([&](auto tag, const auto& list) {
        auto& out = steps.template of<typename decltype(tag)::type>();
        out.reserve(list.size());
        for (const auto& s : list) out.push_back(s.prepare_step());
    });
    return steps;
}

bool any_stop(const Strategies& strategies, const Steps& steps, std::size_t candidate) {
    bool stop = false;
    strategies.each([&](auto tag, const auto& list) {
        const auto& kind_steps = steps.template of<typename decltype(tag)::type>();
        for (std::size_t k = 0; k < list.size(); ++k) {
            stop = stop || list[k].should_stop(candidate, kind_steps[k]);
        }
    });
    return stop;
}

struct GreedySteps::Shortcuts {
    Shortcuts(std::size_t n, const unsigned char* taken, std::size_t terms)
        : scorer(n, taken, terms) {}
    StepScorer scorer;
    std::optional<Bounds> bounds;
    std::size_t plain_steps = 0;
    std::vector<std::size_t> all_blocks, order;
};

GreedySteps::GreedySteps(const Strategies& strategies, std::size_t n,
                         std::span<const std::size_t> taken, bool full_pass)
    : strategies_(strategies), n_(n), full_pass_(full_pass), taken_(n, 0) {
    for (std::size_t i : taken) {
        if (!taken_[i]) taken_[i] = 1, ++distinct_;
    }
    shortcuts_ = std::make_unique<Shortcuts>(n, taken_.data(), term_count(strategies));
    const std::size_t n_blocks = (n + kStepBlock - 1) / kStepBlock;
    shortcuts_->all_blocks.resize(n_blocks);
    for (std::size_t b = 0; b < n_blocks; ++b) shortcuts_->all_blocks[b] = b;
    if (n_blocks >= 2 && !full_pass && bounds_apply(strategies)) {
        auto& bounds = shortcuts_->bounds.emplace(strategies, n);
        pool::run_tasks(
            n_blocks, [&](std::size_t b, std::size_t) { bounds.refresh_block(b, taken_.data()); });
    }
}

GreedySteps::~GreedySteps() = default;

step::BlockBest GreedySteps::best(const Steps& steps) {
    Shortcuts& sc = *shortcuts_;
    const StepTerms terms{strategies_, steps, selection_kernels()};
    const bool screen = !full_pass_ && n_ > 0 && sc.scorer.screen_step(terms.worth_screening());
    // The exact best of a set of blocks.
    auto best_of = [&](std::span<const std::size_t> blocks) {
        return screen ? sc.scorer.screened(blocks, terms) : sc.scorer.exact(blocks, terms);
    };
    if (!sc.bounds || sc.plain_steps > 0) {
        if (sc.plain_steps > 0) --sc.plain_steps;
        return best_of(sc.all_blocks);
    }
    std::vector<std::size_t>& order = sc.order;
    const std::size_t must = sc.bounds->plan(steps, order);
    std::size_t done = std::min(order.size(), must + kBoundedBatch);
    BlockBest best = best_of(std::span(order).first(done));
    // Batches double while blocks keep beating the best, so that a step whose bounds prove
    // little costs a few rounds of the pool rather than one per pair of blocks.
    std::size_t batch = kBoundedBatch;
    while (done < order.size() && !best.nan && sc.bounds->may_beat(order[done], best)) {
        std::size_t next = done;
        while (next < order.size() && next - done < batch &&
               sc.bounds->may_beat(order[next], best)) {
            ++next;
        }
        batch = std::min<std::size_t>(2 * batch, 64);
        merge(best, best_of(std::span(order).subspan(done, next - done)));
        done = next;
    }
    // Bounds that left nearly every block to compute are not worth their upkeep (the minima's
    // ranges after every pick) for the next few steps; either way the pick is the full pass's.
    if (done * 10 >= order.size() * 9) sc.plain_steps = kPlainSteps;
    return best;
}

void GreedySteps::take(std::size_t i) {
    if (!taken_[i]) taken_[i] = 1, ++distinct_;
    Shortcuts& sc = *shortcuts_;
    if (sc.bounds) {
        sc.bounds->refresh_block(i / kStepBlock, taken_.data());
        if (sc.plain_steps == 0) sc.bounds->refresh_moving(taken_.data());
    }
}

}  // namespace orvane
