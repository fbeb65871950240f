// Pi as the effects' geometry and waves are defined: to ten significant
// digits, 3.141592654, not full precision. Every position they compute is
// fixed by these values; full-precision pi would move pixels.
#pragma once

inline constexpr double kPi = 3.141592654;
inline constexpr double kHalfPi = kPi / 2;  // halving and doubling are exact
inline constexpr double kTwoPi = kPi * 2;

static_assert(kHalfPi == 1.570796327 && kTwoPi == 6.283185308, "the written halves and doubles");
