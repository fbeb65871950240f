// A sine and cosine that land within 1e-13 of the true values, for settling
// a result that depends only on which side of a few thresholds the C
// library's sine falls, without calling it.
//
// The library's sin and cos are within one unit in the last place of the
// true values (about 1.2e-16 in magnitude), so they lie within kNearSineSlack
// of nearSine / nearCosine. A caller whose result is a monotone function of
// the sine evaluates it at both ends of that interval; where the two agree,
// that is the result the library's sine would give, and only where they
// differ does it call the library (see Underwater's source columns and rows).
//
// The bound. For |x| <= kNearSineLimit, the argument is reduced by the
// nearest multiple k of pi/2 (|k| < 2^20) in two parts: k * kHalfPi1 is exact
// (33 significant bits times at most 20), x - k * kHalfPi1 is exact (the two
// are within a factor of two of each other, or k = 0), k * kHalfPi2 rounds
// by under 1e-20 and the final subtraction by under 6e-17. kHalfPi1 + kHalfPi2
// differs from pi/2 by under 1e-26, which k multiplies to under 1e-20. The
// reduced argument r has |r| <= pi/4 * (1 + 1e-15). The Taylor series of sin
// to r^15 and of cos to r^16 leave a remainder below 5e-17 there, and
// evaluating them in double precision adds a few units of 1.1e-16. So the
// result lies within 1e-14 of the true sine or cosine of x; the slack,
// 2^-30 (9.3e-10), leaves a margin of five orders of magnitude.
// tests/near_sine_test.cpp checks the difference from the library over
// millions of arguments.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

inline constexpr double kNearSineLimit = 1048576.0;        // 2^20
inline constexpr double kNearSineSlack = 9.313225746154785e-10;  // 2^-30

// Whether nearSine / nearCosine serve x (false also for a NaN). The quiet
// comparisons raise no floating-point signal for a NaN, so loops that test
// many arguments vectorise.
inline bool nearSineServes(double x) {
    return std::isgreaterequal(x, -kNearSineLimit) && std::islessequal(x, kNearSineLimit);
}

namespace nearsine_detail {

inline constexpr double kTwoOverPi = 6.36619772367581382433e-01;
inline constexpr double kHalfPi1 = 1.57079632673412561417e+00;   // first 33 bits of pi/2
inline constexpr double kHalfPi2 = 6.07710050650619224932e-11;   // pi/2 - kHalfPi1

// sin r and cos r for |r| <= pi/4 (a little beyond is fine).
inline double sinTaylor(double r) {
    const double r2 = r * r;
    const double p = -1.0 / 6 + r2 * (1.0 / 120 + r2 * (-1.0 / 5040 + r2 * (1.0 / 362880 +
                     r2 * (-1.0 / 39916800 + r2 * (1.0 / 6227020800 + r2 * (-1.0 / 1307674368000))))));
    return r + r * r2 * p;
}

inline double cosTaylor(double r) {
    const double r2 = r * r;
    const double p = 1.0 / 24 + r2 * (-1.0 / 720 + r2 * (1.0 / 40320 + r2 * (-1.0 / 3628800 +
                     r2 * (1.0 / 479001600 + r2 * (-1.0 / 87178291200 + r2 * (1.0 / 20922789888000))))));
    return 1.0 - 0.5 * r2 + r2 * r2 * p;
}

// The sine of x + quarterTurns * pi/2, for x that nearSineServes, without
// branches, selects or library calls, so that loops over many arguments
// vectorise. Adding 1.5 * 2^52 rounds x * 2/pi to the nearest integer k and
// leaves k modulo 4 in the low bits of the sum; the quadrant picks the sine
// or cosine polynomial and the sign by masks on the bits.
inline double nearSineTurned(double x, uint64_t quarterTurns) {
    const double kRounder = 6755399441055744.0;  // 1.5 * 2^52
    const double shifted = x * kTwoOverPi + kRounder;
    const double k = shifted - kRounder;
    const double r = (x - k * kHalfPi1) - k * kHalfPi2;
    const uint64_t quadrant = std::bit_cast<uint64_t>(shifted) + quarterTurns;
    const uint64_t cosinePicked = uint64_t{0} - (quadrant & 1);
    const uint64_t negated = (quadrant & 2) << 62;
    const uint64_t bits = ((std::bit_cast<uint64_t>(cosTaylor(r)) & cosinePicked) |
                           (std::bit_cast<uint64_t>(sinTaylor(r)) & ~cosinePicked)) ^ negated;
    return std::bit_cast<double>(bits);
}

}  // namespace nearsine_detail

// sin x and cos x within 1e-14, for x that nearSineServes; for other x, some
// value that means nothing.
inline double nearSine(double x) { return nearsine_detail::nearSineTurned(x, 0); }
inline double nearCosine(double x) { return nearsine_detail::nearSineTurned(x, 1); }
inline double nearSineOrCosine(double x, bool cosine) { return nearsine_detail::nearSineTurned(x, cosine ? 1 : 0); }
