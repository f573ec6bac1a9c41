#pragma once
// The IEEE 754 total order of floats (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN) as the
// order of unsigned integer keys: comparisons that stay defined for NaN, and sort keys.
#include <bit>
#include <cstdint>

namespace orvane {

constexpr std::uint32_t total_order_key(float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

constexpr float from_total_order_key(std::uint32_t key) {
    return std::bit_cast<float>((key & 0x80000000u) ? (key ^ 0x80000000u) : ~key);
}

constexpr bool total_order_less(float a, float b) {
    return total_order_key(a) < total_order_key(b);
}

}  // namespace orvane
