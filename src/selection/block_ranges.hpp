#pragma once
// Ranges of a strategy's contributions over a block's free samples, from which a step proves that
// a block cannot hold the best sample (see step_bounds.hpp).
//
// With weighting, diversifying, shared balancing and subpart similarity or typicality strategies
// only, a score is a chain of f32 additions of contributions strength * ln(maxNum(p, 1e-8)), each
// with p monotone in one per-sample key (a weight, a minimum distance), taken from a few shared
// values (one per distinct class row), or bounded by the block's largest object score (below).
// Rounded addition, maxNum and multiplication are monotone; a faithfully rounded log (error below
// one ulp, as in every libm we build with) is monotone up to one ulp. So chaining each strategy's
// extremes over a block's free samples, with the log moved one ulp outwards, bounds every score of
// the block from both sides.
#include <cstddef>
#include <cstdint>
#include <span>

namespace orvane::step {

struct Range {
    float lo, hi;
};

// Keys of the free samples of [begin, end): lo is -inf if one is NaN (its potential takes the
// floor), hi is -inf if none is a number.
Range key_range(const float* key, const unsigned char* taken, std::size_t begin, std::size_t end);

// The same for keys that are never NaN and never below 0 (clamped distances): lo is 0.
Range minimum_range(const float* key, const unsigned char* taken, std::size_t begin,
                    std::size_t end);

// Contributions strength * ln(maxNum(k + offset, 1e-8)) of keys k in `key`.
Range contribution_range(Range key, float offset, float strength);

// Contributions shared by distinct rows: those of the rows whose bits are set in `mask`.
constexpr std::size_t kMaxMaskRows = 64;
Range shared_range(std::uint64_t mask, std::span<const float> contributions);

// Over the samples [begin, end) of an object mapping: the largest object score that is a number
// (-inf if none), the most objects of one sample, and whether a sample has none.
struct ObjectScoreSpan {
    float top;
    std::size_t most;
    bool none;
};

// The largest potential of a block's samples under a subpart strategy with fixed object scores,
// given the block's span and the accumulated sum; `mean` for a mean fold, else a maximum.
float subpart_top(const ObjectScoreSpan& span, float accumulated, bool mean);

}  // namespace orvane::step
