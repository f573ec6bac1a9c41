#include "src/selection/combination_selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "src/common/failure.hpp"
#include "src/selection/selection_checks.hpp"
#include "src/common/worker_pool.hpp"

namespace orvane {

namespace {

constexpr float kPotentialFloor = 1e-8f;
constexpr float kExcluded = std::numeric_limits<float>::lowest();

constexpr const char* kKindNames[] = {"weighting",            "diversifying",
                                      "balancing",            "subpart diversifying",
                                      "subpart similarity",   "subpart typicality"};

template <class Strategies>
void check_sample_counts(const Strategies& strategies, const char* kind, std::size_t n_total) {
    for (const auto& s : strategies) {
        if (s.sample_count() != n_total) {
            throw InvalidArgument("The " + std::string(kind) + " strategy has " +
                                  std::to_string(s.sample_count()) +
                                  " samples but n_total_samples is " + std::to_string(n_total));
        }
    }
}

template <class Strategies>
void inform_each(Strategies& strategies, std::size_t sample) {
    for (auto& s : strategies) s.inform(sample);
}

// Kinds without a stopping condition never stop the run.
template <class Strategies>
bool any_stops(const Strategies& strategies, std::size_t candidate) {
    for (const auto& s : strategies) {
        if constexpr (requires { s.should_stop(candidate); }) {
            if (s.should_stop(candidate)) return true;
        }
    }
    return false;
}

// score += strength * ln(maxNum(p, 1e-8)); fmax returns the floor for a NaN potential.
void add_contribution(std::vector<float>& score, const std::vector<float>& potential,
                      float strength) {
    pool::parallel_for(score.size(), 8192, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float contribution = strength * std::log(std::fmax(potential[i], kPotentialFloor));
            score[i] = score[i] + contribution;
        }
    });
}

template <class Strategies>
void add_contributions(const Strategies& strategies, std::vector<float>& score,
                       std::vector<float>& potential) {
    for (const auto& s : strategies) {
        s.potentials(potential);
        add_contribution(score, potential, s.strength());
    }
}

template <class Strategies>
auto save_each(const Strategies& strategies) {
    std::vector<typename Strategies::value_type::Saved> saved;
    saved.reserve(strategies.size());
    for (const auto& s : strategies) saved.push_back(s.save());
    return saved;
}

template <class Strategies, class Saved>
void restore_each(Strategies& strategies, Saved& saved) noexcept {
    for (std::size_t i = 0; i < saved.size(); ++i) strategies[i].restore(std::move(saved[i]));
}

[[noreturn]] void fail_no_candidate() { fail("called `Option::unwrap()` on a `None` value"); }

// Index of the highest score, ties to the lowest index; a NaN in any comparison fails.
std::size_t best_index(const std::vector<float>& score) {
    if (score.empty()) fail_no_candidate();
    std::size_t best = 0;
    for (std::size_t i = 1; i < score.size(); ++i) {
        if (std::isnan(score[best]) || std::isnan(score[i])) fail_no_candidate();
        if (score[i] > score[best]) best = i;
    }
    return best;
}

}  // namespace

template <class F>
void CombinationSelection::for_each_kind(F&& f) {
    std::size_t kind = 0;
    std::apply([&](auto&... lists) { (f(lists, kKindNames[kind++]), ...); }, strategies_);
}

void CombinationSelection::inform_all(std::size_t sample) {
    for_each_kind([&](auto& list, const char*) { inform_each(list, sample); });
}

std::vector<std::size_t> CombinationSelection::run_selection(std::span<const std::size_t> preselected,
                                                             std::size_t n_total_samples,
                                                             std::size_t n_samples_to_select) {
    const std::size_t n = n_total_samples;
    // Everything is validated before the first strategy changes.
    for_each_kind([&](const auto& list, const char* kind) { check_sample_counts(list, kind, n); });
    for (std::size_t index : preselected) check_selected_sample(index, n);

    // A run either completes or leaves every strategy as it found it: only what inform changes
    // is saved (at most one copy of the per-sample minima per diversifying strategy).
    auto saved = std::apply(
        [](const auto&... lists) {
            return std::make_tuple(save_each(lists)...);
        },
        strategies_);
    try {
        // The run cannot choose more than the samples there are.
        const std::size_t reachable = preselected.size() + n;
        stop::Progress progress("selection", "samples",
                                std::max(preselected.size(), std::min(n_samples_to_select, reachable)));
        std::vector<std::size_t> selected = select(preselected, n, n_samples_to_select, progress);
        progress.finish();
        return selected;
    } catch (...) {
        std::apply(
            [&](auto&... lists) {
                std::apply([&](auto&... states) { (restore_each(lists, states), ...); }, saved);
            },
            strategies_);
        throw;
    }
}

std::vector<std::size_t> CombinationSelection::select(std::span<const std::size_t> preselected,
                                                      std::size_t n, std::size_t n_samples_to_select,
                                                      stop::Progress& progress) {
    std::vector<std::size_t> selected(preselected.begin(), preselected.end());
    for (std::size_t index : preselected) {
        stop::poll();
        inform_all(index);
        progress.advance(1);
    }
    if (selected.size() >= n_samples_to_select) return selected;

    std::vector<unsigned char> taken(n, 0);
    std::size_t distinct = 0;
    auto mark = [&](std::size_t index) {
        if (!taken[index]) {
            taken[index] = 1;
            ++distinct;
        }
    };
    for (std::size_t index : selected) mark(index);

    std::vector<float> score(n);
    std::vector<float> potential(n);
    while (true) {
        stop::poll();
        // Nothing left to choose: never repeat an index to fill the count.
        if (n > 0 && distinct == n) return selected;

        std::fill(score.begin(), score.end(), 0.0f);
        for_each_kind([&](const auto& list, const char*) { add_contributions(list, score, potential); });
        for (std::size_t index : selected) {
            if (index >= n) fail_index(index, n);
            score[index] = kExcluded;
        }

        const std::size_t candidate = best_index(score);
        // Every remaining candidate scores below the exclusion value (minus infinity): the
        // result stands as it is rather than repeating an index.
        if (taken[candidate]) return selected;
        bool stop = false;
        for_each_kind([&](const auto& list, const char*) { stop = stop || any_stops(list, candidate); });
        if (stop) return selected;
        inform_all(candidate);
        selected.push_back(candidate);
        mark(candidate);
        progress.advance(1);
        if (selected.size() >= n_samples_to_select) return selected;
    }
}

}  // namespace orvane
