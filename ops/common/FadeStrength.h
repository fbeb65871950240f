// Strength of an effect over its run: 0 (none) to full, rising over the first
// fields and falling over the last, in four courses chosen by fadeMode.
#pragma once

#include <cstdint>

enum : int32_t {
    FADE_IN = 0,
    FADE_OUT = 1,
    FADE_IN_OUT = 2,
    FADE_OUT_IN = 3,
};

// Ramp length in fields: length * percent as a 32-bit product taken unsigned,
// divided by 100. Never negative, whatever the host wrote.
int32_t fadeRampLength(int32_t length, int32_t percent);

// The in-and-out course on a scale 0..full over a half ramp of `halfRamp`
// fields: (position * full) / halfRamp while position < halfRamp, full while
// at least halfRamp fields remain, then (remaining * full) / halfRamp.
int32_t inOutStrength(int32_t length, int32_t position, int32_t halfRamp, int32_t full);

// The strength 0..255 of the field at `position` of a run of `length` fields.
// Any mode other than the four courses gives 0.
int32_t FadeStrength(int32_t mode, int32_t percent, int32_t length, int32_t position);
