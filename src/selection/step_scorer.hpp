#pragma once
// Scoring the blocks of a selection step and finding their best sample exactly as the full pass
// does (highest score, ties to the lowest index, a NaN flagged), either by the exact pass or by a
// screen: every score first taken with a fast vector logarithm (log_terms in
// src/scores/kernels.hpp) and a margin that provably holds the exact score, then only the samples
// whose margin reaches the best lower end scored exactly, with the libm logarithm of the full pass.
//
// The margin. A step's score is a chain of K f32 additions from 0 of terms e_k = fl(s_k L_k),
// L_k = ln of a floored potential f_k as libm gives it (faithful: within 2^-23 |ln f_k|), or of a
// shared value taken as it is. The screen adds a_k = fl(s_k l_k) instead, l_k within 2^-22.5
// |ln f_k|, or the same shared value. So |L_k - l_k| <= 2^-21.7 |l_k| and, with the two products'
// roundings and underflow, |e_k - a_k| <= 2^-21 |a_k| + 2^-147. A recursive sum of K terms is
// within g = K 2^-24 / (1 - K 2^-24) of their absolute sum; with M = sum |a_k|,
//   |E - A| <= M (2^-21 + 2 g (1 + 2^-20)) + K 2^-146.
// The computed magnitude m is at least M (1 - g), and A +- d in f32 moves by at most 2^-24
// (|A| + d). d = m (2^-20 + K 2^-22) + K 2^-120 covers all of it for K up to kMaxScreenTerms, and
// m <= 2^100 keeps every term of both chains finite. A sample beyond that (an infinite or NaN
// term) is always scored exactly.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "src/common/worker_pool.hpp"
#include "src/selection/step_bounds.hpp"

namespace orvane::step {

constexpr std::size_t kMaxScreenTerms = 1024;
constexpr float kScreenLimit = 0x1p100f;
// A block's candidates are scored one by one up to this many, else the block is scored whole.
constexpr std::size_t kFewCandidates = 1024;
// Steps scored without the screen after one where it left most blocks to score whole.
constexpr std::size_t kScreenRest = 8;

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
// full pass does, screen(begin, score, potential, magnitude) adds the screen's terms and their
// absolute values, exact_one(i) is sample i's exact chain.
class StepScorer {
public:
    StepScorer(std::size_t n, const unsigned char* taken, std::size_t terms)
        : n_(n),
          taken_(taken),
          scale_(0x1p-20f + static_cast<float>(terms) * 0x1p-22f),
          floor_(static_cast<float>(terms) * 0x1p-120f),
          screens_(terms <= kMaxScreenTerms),
          scratch_(pool::worker_count() * 3 * kStepBlock),
          block_best_((n + kStepBlock - 1) / kStepBlock),
          block_lower_(block_best_.size()),
          block_upper_(block_best_.size()) {}

    // Whether this step is screened; called once per step. `worth` is whether a term goes through
    // a logarithm.
    bool screen_step(bool worth) {
        if (rest_ > 0) return --rest_, false;
        if (!screens_ || !worth) return false;
        if (upper_.empty()) upper_.resize(n_);
        return true;
    }

    template <class Terms>
    BlockBest exact(std::span<const std::size_t> blocks, const Terms& terms) {
        pool::run_tasks(blocks.size(),
                        [&](std::size_t t, std::size_t w) { score_block(blocks[t], w, terms); });
        BlockBest best = block_best_[blocks[0]];
        for (std::size_t t = 1; t < blocks.size(); ++t) merge(best, block_best_[blocks[t]]);
        return best;
    }

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
        return {scratch_.data() + (w * 3 + which) * kStepBlock, size};
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
        const std::span<float> magnitude = buffer(w, 2, end - begin);
        std::fill(score.begin(), score.end(), 0.0f);
        std::fill(magnitude.begin(), magnitude.end(), 0.0f);
        terms.screen(begin, score, buffer(w, 1, end - begin), magnitude);
        float lower_max = -inf, upper_max = -inf;
        for (std::size_t i = begin; i < end; ++i) {
            float lower = kExcluded, upper = kExcluded;
            const float m = magnitude[i - begin];
            if (!taken_[i] && m <= kScreenLimit) {
                const float d = m * scale_ + floor_;
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
    float scale_, floor_;
    bool screens_;
    std::size_t rest_ = 0;
    std::vector<float> scratch_, upper_;
    std::vector<BlockBest> block_best_;
    std::vector<float> block_lower_, block_upper_;
    std::vector<std::size_t> open_;
    std::vector<unsigned char> whole_;
};

}  // namespace orvane::step
