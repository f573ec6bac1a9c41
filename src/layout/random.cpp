#include "src/layout/random.hpp"

#include <array>
#include <cmath>

namespace orvane::pacmap {

Generator seed_generator(std::uint64_t seed) {
    std::uint64_t state = seed;
    std::uint32_t words[8];
    for (auto& word : words) {
        state = state * 6364136223846793005ULL + 11634580027462260723ULL;
        const auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<unsigned>(state >> 59);
        word = (x >> rot) | (x << ((32 - rot) & 31));
    }
    std::uint64_t s[4];
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<std::uint64_t>(words[2 * i]) |
               (static_cast<std::uint64_t>(words[2 * i + 1]) << 32);
    if ((s[0] | s[1] | s[2] | s[3]) == 0) {
        // xoshiro must not start from the all-zero state
        std::uint64_t z = 0;
        for (auto& word : s) {
            z += 0x9e3779b97f4a7c15ULL;
            std::uint64_t r = z;
            r = (r ^ (r >> 30)) * 0xbf58476d1ce4e5b9ULL;
            r = (r ^ (r >> 27)) * 0x94d049bb133111ebULL;
            word = r ^ (r >> 31);
        }
    }
    return Generator(s);
}

namespace {

constexpr double kTailStart = 3.654152885361009;
constexpr double kLayerArea = 0.00492867323399;

double density(double x) { return std::exp(-x * x / 2.0); }

struct ZigguratTables {
    std::array<double, 257> edge{};
    std::array<double, 257> dens{};
    ZigguratTables() {
        edge[0] = kLayerArea / density(kTailStart);
        edge[1] = kTailStart;
        for (int i = 1; i <= 254; ++i)
            edge[i + 1] = std::sqrt(-2.0 * std::log(kLayerArea / edge[i] + density(edge[i])));
        edge[256] = 0.0;
        for (int i = 0; i < 257; ++i) dens[i] = density(edge[i]);
    }
};

const ZigguratTables& tables() {
    static const ZigguratTables t;
    return t;
}

double open_uniform(Generator& g) {
    return static_cast<double>(g.next_u64() >> 12) * 0x1.0p-52 + 0x1.0p-53;
}

}  // namespace

double Generator::standard_normal() {
    const ZigguratTables& z = tables();
    for (;;) {
        const std::uint64_t bits = next_u64();
        const std::size_t i = bits & 255;
        const double u = 2.0 * (static_cast<double>(bits >> 12) * 0x1.0p-52) - 1.0;
        const double x = u * z.edge[i];
        if (std::fabs(x) < z.edge[i + 1]) return x;
        if (i == 0) {
            double a;
            for (;;) {
                a = std::log(open_uniform(*this)) / kTailStart;
                const double t = std::log(open_uniform(*this));
                if (-2.0 * t >= a * a) break;
            }
            return u < 0.0 ? a - kTailStart : kTailStart - a;
        }
        if (z.dens[i + 1] + uniform_f64() * (z.dens[i] - z.dens[i + 1]) < density(x)) return x;
    }
}

}  // namespace orvane::pacmap
