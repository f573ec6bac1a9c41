#include "src/common/simd.hpp"

#include <cstdlib>

namespace orvane::simd {

namespace {

bool cpu_has(Level level) {
    switch (level) {
    case Level::baseline:
        return true;
#if defined(ORVANE_X86_LEVELS)
    case Level::avx2:
        return __builtin_cpu_supports("avx2");
    case Level::avx512:
        // The AVX-512 copies are compiled for F, VL, BW and DQ together.
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
#endif
#if defined(ORVANE_NEON_LEVEL)
    case Level::neon:
        return true;  // part of the base AArch64 instruction set
#endif
    default:
        return false;
    }
}

struct Choice {
    std::vector<Level> levels;
    Level level = Level::baseline;
    std::string problem;
};

const Choice& choice() {
    static const Choice c = [] {
        Choice out;
        for (Level l : {Level::baseline, Level::neon, Level::avx2, Level::avx512})
            if (cpu_has(l)) out.levels.push_back(l);
        out.level = out.levels.back();
        const char* env = std::getenv("ORVANE_SIMD");
        if (env == nullptr || *env == '\0') return out;
        const std::string_view asked(env);
        std::string names;
        for (Level l : {Level::baseline, Level::avx2, Level::avx512, Level::neon}) {
            if (!names.empty()) names += ", ";
            names += name(l);
            if (asked != name(l)) continue;
            for (Level have : out.levels) {
                if (have != l) continue;
                out.level = l;
                return out;
            }
            out.problem = "ORVANE_SIMD=" + std::string(asked) + " is not available on this machine";
        }
        if (out.problem.empty())
            out.problem = "ORVANE_SIMD=" + std::string(asked) + " is not one of " + names;
        // A level can only be lowered: an unknown or missing one keeps the best this machine has.
        out.problem += "; using " + std::string(name(out.level));
        return out;
    }();
    return c;
}

}  // namespace

std::string_view name(Level level) {
    switch (level) {
    case Level::neon: return "neon";
    case Level::avx2: return "avx2";
    case Level::avx512: return "avx512";
    default: return "baseline";
    }
}

const std::vector<Level>& available() { return choice().levels; }
Level active() { return choice().level; }
const std::string& setting_problem() { return choice().problem; }

}  // namespace orvane::simd
