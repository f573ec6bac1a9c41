#include "src/common/simd.hpp"

#include <cstdlib>

#if defined(ORVANE_X86_LEVELS)
#include <cpuid.h>
#endif

namespace orvane::simd {

namespace {

#if defined(ORVANE_X86_LEVELS)
// From cpuid and the register state the OS saves (xgetbv), not the compiler's CPU model: that
// needs a runtime symbol some toolchains (zig's for macOS) do not link.
struct X86 {
    bool avx2 = false, avx512 = false, avx512_vnni = false;
};

X86 x86_levels() {
    X86 x;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return x;
    if (!(c & (1u << 27)) || !(c & (1u << 28))) return x;  // OSXSAVE and AVX
    const bool fma = c & (1u << 12);
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const bool ymm = (lo & 0x6u) == 0x6u, zmm = (lo & 0xE6u) == 0xE6u;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return x;
    // Every AVX2 processor has FMA too; kernels at this level may fuse where bits allow.
    x.avx2 = ymm && fma && (b & (1u << 5));
    // The AVX-512 copies are compiled for F, DQ, BW and VL together.
    const unsigned f_dq_bw_vl = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);
    x.avx512 = x.avx2 && zmm && (b & f_dq_bw_vl) == f_dq_bw_vl;
    x.avx512_vnni = x.avx512 && (c & (1u << 11));
    return x;
}
#endif

bool cpu_has(Level level) {
    switch (level) {
        case Level::baseline: return true;
#if defined(ORVANE_X86_LEVELS)
        case Level::avx2: return x86_levels().avx2;
        case Level::avx512: return x86_levels().avx512;
#endif
#if defined(ORVANE_NEON_LEVEL)
        case Level::neon: return true;  // part of the base AArch64 instruction set
#endif
        default: return false;
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
bool avx512_vnni() {
#if defined(ORVANE_X86_LEVELS)
    static const bool has = x86_levels().avx512_vnni;
    return has;
#else
    return false;
#endif
}
Level active() { return choice().level; }
const std::string& setting_problem() { return choice().problem; }

}  // namespace orvane::simd
