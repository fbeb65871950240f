// Division of a window sum of bytes by its count in 16-bit lanes with one
// high multiply and a shift: for every count 2 <= d <= 129 and every sum
// 0 <= v <= 255 * d,
//   floor(v / d) = floor(v * magic / 2^16) >> shift.
//
// For d = 2^s: magic = 2^15 halves v, and the shift s - 1 does the rest.
// Otherwise s = floor(log2 d) and magic = ceil(2^(16+s) / d), which is below
// 2^16 because d > 2^s. With magic * d = 2^(16+s) + e, 0 < e < d,
//   v * magic / 2^(16+s) = v / d + v * e / (d * 2^(16+s)),
// and the excess stays below 1 / d (so the quotient cannot reach the next
// integer) while v * e < 2^(16+s). That holds: v * e <= 255 * d * (d - 1),
// 2^(16+s) > 2^15 * d because 2^(s+1) > d, and 255 * (d - 1) <= 2^15 for
// d <= 129.
#pragma once

#include <bit>
#include <cstdint>

struct ShortDivisor {
    uint16_t magic;  // 0: the count has none
    uint16_t shift;
};

constexpr ShortDivisor shortDivisor(int64_t d) {
    if (d < 2 || d > 129) return {0, 0};
    const auto count = static_cast<uint32_t>(d);
    const auto s = static_cast<uint16_t>(std::bit_width(count) - 1);
    if (std::has_single_bit(count)) return {uint16_t{1} << 15, static_cast<uint16_t>(s - 1)};
    return {static_cast<uint16_t>(((uint32_t{1} << (16 + s)) + count - 1) / count), s};
}

constexpr uint16_t divideShort(uint16_t v, ShortDivisor d) {
    return static_cast<uint16_t>(((static_cast<uint32_t>(v) * d.magic) >> 16) >> d.shift);
}
