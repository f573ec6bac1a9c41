#pragma once
// Instruction-set levels of the vector kernels. Every kernel comes in one copy per level, each
// compiled in its own translation unit with that level's flags; one level is picked per process.
// All copies run the same per-lane operations in the same order, so every level gives the same
// bits and the choice is only about speed.
#include <string>
#include <string_view>
#include <vector>

namespace orvane::simd {

enum class Level { baseline, neon, avx2, avx512 };

std::string_view name(Level level);

// The levels this build and this processor support, lowest first.
const std::vector<Level>& available();

// The level in use: the highest available one, lowered by ORVANE_SIMD. Read once per process.
Level active();

// Why ORVANE_SIMD was not taken as given (unknown value, or a level this machine lacks); empty
// when it was taken or is unset. The binding layer turns it into a warning at import.
const std::string& setting_problem();

}  // namespace orvane::simd
