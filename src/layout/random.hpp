#pragma once
// Seeded xoshiro256++ generator: the one source of randomness of the layout pipeline. Every
// user owns its generator, so streams never depend on thread scheduling.
#include <cstdint>

namespace orvane::pacmap {

class Generator {
public:
    explicit Generator(const std::uint64_t (&state)[4])
        : s_{state[0], state[1], state[2], state[3]} {}

    std::uint64_t next_u64() {
        const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    std::uint32_t next_u32() { return static_cast<std::uint32_t>(next_u64() >> 32); }
    // In [0, 1) with 53 random bits.
    double uniform_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }
    // Ziggurat draw from N(0, 1).
    double standard_normal();

    std::uint64_t state(int word) const { return s_[word]; }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
};

// Expands a 64-bit seed into a full state with eight PCG32 steps.
Generator seed_generator(std::uint64_t seed);

}  // namespace orvane::pacmap
