#pragma once
// Instruction-set levels of the vector kernels. Every kernel comes in one copy per level, each
// compiled in its own translation unit with that level's flags; one level is picked per process.
// All copies run the same per-lane operations in the same order, so every level gives the same
// bits and the choice is only about speed.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::simd {

enum class Level { baseline, neon, avx2, avx512 };

std::string_view name(Level level);

// The levels this build and this processor support, lowest first.
const std::vector<Level>& available();

// Whether the AVX-512 level's processor has its 8-bit dot products (VNNI) too: kernels that use
// them are a variant of that level's copy, with the same results.
bool avx512_vnni();

// The level in use: the highest available one, lowered by ORVANE_SIMD. Read once per process.
Level active();

// Why ORVANE_SIMD was not taken as given (unknown value, or a level this machine lacks); empty
// when it was taken or is unset. The binding layer turns it into a warning at import.
const std::string& setting_problem();

// A kernel table's copies by level, in the order of Level; nullptr where the build has none.
template <class Table>
using Copies = std::array<const Table*, 4>;

// The copy for `level` (one of available()); the baseline where the build has no other.
template <class Table>
const Table& copy_for(Level level, const Copies<Table>& copies) {
    const Table* copy = copies[static_cast<std::size_t>(level)];
    return copy ? *copy : *copies[0];
}

// The copy of the level in use, chosen once.
template <class Table>
const Table& active_copy(const Copies<Table>& copies) {
    static const Table& chosen = copy_for(active(), copies);
    return chosen;
}

}  // namespace orvane::simd

// The copies of the x86 levels, where the build has them.
#if defined(ORVANE_X86_LEVELS)
#define ORVANE_X86_COPIES(name) &name##_avx2, &name##_avx512
#else
#define ORVANE_X86_COPIES(name) nullptr, nullptr
#endif
#if defined(ORVANE_NEON_LEVEL)
#define ORVANE_NEON_COPY(name) &name##_neon
#else
#define ORVANE_NEON_COPY(name) nullptr
#endif

namespace orvane::simd {}  // namespace orvane::simd
