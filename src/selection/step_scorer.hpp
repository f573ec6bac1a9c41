#pragma once
// Scoring the blocks of a selection step and finding their best sample exactly as the full pass
// does (highest score, ties to the lowest index, a NaN flagged), either by the exact pass or by a
// screen: every score first taken with a fast vector logarithm (log_terms in
// src/selection/kernels.hpp) and a margin that provably holds the exact score, then only the
// samples whose margin reaches the best lower end scored exactly, with the libm logarithm of the
// full pass.
//
// The margin is derived in src/selection/screen_margin.hpp.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "src/common/worker_pool.hpp"
#include "src/selection/screen_margin.hpp"
#include "src/selection/step_terms.hpp"

namespace orvane::step {

// A block's candidates are scored one by one up to this many, else the block is scored whole.
constexpr std::size_t kFewCandidates = 1024;
// Steps scored without the screen after one where it left most blocks to score whole.
constexpr std::size_t kScreenRest = 8;
// Buffers of a block's size a screen may use besides its score, magnitude and width.
constexpr std::size_t kScreenWork = 5;
constexpr std::size_t kBuffers = 3 + kScreenWork;

inline BlockBest best_in(std::span<const float> score, std::size_t begin) {
    BlockBest best{begin, score[0], std::isnan(score[0])};
    for (std::size_t i = 1; i < score.size(); ++i) {
        if (std::isnan(score[i])) best.nan = true;
        if (score[i] > best.score) best = {begin + i, score[i], best.nan};
    }
    return best;
}

// Merges the best of other blocks into `best`.
inline void merge(BlockBest& best, const BlockBest& other) {
    if (other.nan) best.nan = true;
    if (other.score > best.score || (other.score == best.score && other.index < best.index)) {
        best.index = other.index, best.score = other.score;
    }
}

// `Terms` gives a step's chain: exact(begin, score, potential) adds every term of a block as the
// full pass does, screen(begin, score, magnitude, width, work) adds the screen's terms, their
// magnitudes and widths (work: kScreenWork buffers of the block's size), exact_one(i) is sample
// i's exact chain.
class StepScorer {
public:
    StepScorer(std::size_t n, const unsigned char* taken, std::size_t terms)
        : n_(n),
          taken_(taken),
          margin_(terms),
          screens_(terms <= kMaxScreenTerms),
          scratch_(pool::worker_count() * kBuffers * kStepBlock),
          block_best_((n + kStepBlock - 1) / kStepBlock),
          block_lower_(block_best_.size()),
          block_upper_(block_best_.size()) {}

    // Whether this step is screened; called once per step. `worth`: whether its logarithms make
    // the screen pay.
    bool screen_step(bool worth) {
        if (rest_ > 0) return --rest_, false;
        if (!screens_ || !worth) return false;
        if (upper_.empty()) upper_.resize(n_);
        return true;
    }

    // The best of `blocks` (not empty), every sample scored exactly.
    template <class Terms>
    BlockBest exact(std::span<const std::size_t> blocks, const Terms& terms) {
        pool::run_tasks(blocks.size(),
                        [&](std::size_t t, std::size_t w) { score_block(blocks[t], w, terms); });
        BlockBest best = block_best_[blocks[0]];
        for (std::size_t t = 1; t < blocks.size(); ++t) merge(best, block_best_[blocks[t]]);
        return best;
    }

    // The same best, through the screen.
    template <class Terms>
    BlockBest screened(std::span<const std::size_t> blocks, const Terms& terms) {
        pool::run_tasks(blocks.size(),
                        [&](std::size_t t, std::size_t w) { screen_block(blocks[t], w, terms); });
        // Only samples whose upper end reaches the highest lower end can hold the best score or
        // tie with it.
        float reach = -std::numeric_limits<float>::infinity();
        for (std::size_t b : blocks) reach = std::max(reach, block_lower_[b]);
        open_.clear();
        for (std::size_t b : blocks) {
            if (block_upper_[b] >= reach) open_.push_back(b);
        }
        whole_.assign(open_.size(), 0);
        pool::run_tasks(open_.size(), [&](std::size_t t, std::size_t w) {
            whole_[t] = !resolve_block(open_[t], reach, terms);
            if (whole_[t]) score_block(open_[t], w, terms);
        });
        std::size_t twice = 0;
        for (unsigned char w : whole_) twice += w;
        if (twice * 2 >= blocks.size()) rest_ = kScreenRest;
        BlockBest best = block_best_[open_[0]];
        for (std::size_t t = 1; t < open_.size(); ++t) merge(best, block_best_[open_[t]]);
        return best;
    }

private:
    std::span<float> buffer(std::size_t w, std::size_t which, std::size_t size) {
        return {scratch_.data() + (w * kBuffers + which) * kStepBlock, size};
    }

    template <class Terms>
    void score_block(std::size_t b, std::size_t w, const Terms& terms) {
        const std::size_t begin = b * kStepBlock, end = std::min(n_, begin + kStepBlock);
        const std::span<float> score = buffer(w, 0, end - begin);
        std::fill(score.begin(), score.end(), 0.0f);
        terms.exact(begin, score, buffer(w, 1, end - begin));
        for (std::size_t i = begin; i < end; ++i) {
            if (taken_[i]) score[i - begin] = kExcluded;
        }
        block_best_[b] = best_in(score, begin);
    }

    template <class Terms>
    void screen_block(std::size_t b, std::size_t w, const Terms& terms) {
        constexpr float inf = std::numeric_limits<float>::infinity();
        const std::size_t begin = b * kStepBlock, end = std::min(n_, begin + kStepBlock);
        const std::span<float> score = buffer(w, 0, end - begin);
        const std::span<float> magnitude = buffer(w, 1, end - begin);
        const std::span<float> width = buffer(w, 2, end - begin);
        std::fill(score.begin(), score.end(), 0.0f);
        std::fill(magnitude.begin(), magnitude.end(), 0.0f);
        std::fill(width.begin(), width.end(), 0.0f);
        terms.screen(
            begin, score, magnitude, width,
            std::span(scratch_.data() + (w * kBuffers + 3) * kStepBlock, kScreenWork * kStepBlock));
        float lower_max = -inf, upper_max = -inf;
        for (std::size_t i = begin; i < end; ++i) {
            float lower = kExcluded, upper = kExcluded;
            const float m = magnitude[i - begin];
            if (!taken_[i] && m <= kScreenLimit) {
                const float d = margin_(m, width[i - begin]);
                lower = score[i - begin] - d, upper = score[i - begin] + d;
            } else if (!taken_[i]) {
                lower = -inf, upper = inf;
            }
            upper_[i] = upper;
            lower_max = lower > lower_max ? lower : lower_max;
            upper_max = upper > upper_max ? upper : upper_max;
        }
        block_lower_[b] = lower_max, block_upper_[b] = upper_max;
    }

    // The block's best among its samples reaching `reach`, scored one by one; false where there
    // are too many of them.
    template <class Terms>
    bool resolve_block(std::size_t b, float reach, const Terms& terms) {
        const std::size_t begin = b * kStepBlock, end = std::min(n_, begin + kStepBlock);
        std::size_t count = 0;
        for (std::size_t i = begin; i < end; ++i) count += upper_[i] >= reach ? 1 : 0;
        if (count > kFewCandidates) return false;
        BlockBest best{end, 0.0f, false};
        for (std::size_t i = begin; i < end; ++i) {
            if (!(upper_[i] >= reach)) continue;
            const float score = taken_[i] ? kExcluded : terms.exact_one(i);
            if (std::isnan(score)) best.nan = true;
            if (best.index == end || score > best.score) best = {i, score, best.nan};
        }
        block_best_[b] = best;
        return true;
    }

    std::size_t n_;
    const unsigned char* taken_;
    ScreenMargin margin_;
    bool screens_;
    std::size_t rest_ = 0;
    std::vector<float> scratch_, upper_;
    std::vector<BlockBest> block_best_;
    std::vector<float> block_lower_, block_upper_;
    std::vector<std::size_t> open_;
    std::vector<unsigned char> whole_;
};

}  // namespace orvane::step
