#include "FadeStrength.h"

// Positions and lengths are the host's signed 32-bit counts. Products and
// differences are taken in 64 bits so that no value a host can pass overflows;
// for positions 0..length they are the same as the 32-bit results. A ramp of
// length 0 never divides, and positions outside the run are held to 0..full.

namespace {

int32_t clampStrength(int64_t s, int32_t full) {
    if (s < 0) return 0;
    if (s > full) return full;
    return static_cast<int32_t>(s);
}

// Rising ramp: (position * full) / ramp; full once position >= ramp.
int32_t rampUp(int64_t position, int32_t ramp, int32_t full) {
    if (ramp <= 0 || position >= ramp) return full;
    return clampStrength(position * full / ramp, full);
}

// Falling ramp over the last fields: full while remaining >= ramp.
int32_t rampDown(int64_t remaining, int32_t ramp, int32_t full) {
    if (ramp <= 0 || remaining >= ramp) return full;
    return clampStrength(remaining * full / ramp, full);
}

}  // namespace

int32_t fadeRampLength(int32_t length, int32_t percent) {
    const uint32_t product = static_cast<uint32_t>(length) * static_cast<uint32_t>(percent);
    return static_cast<int32_t>(product / 100u);
}

int32_t inOutStrength(int32_t length, int32_t position, int32_t halfRamp, int32_t full) {
    if (halfRamp > 0 && position < halfRamp) return rampUp(position, halfRamp, full);
    return rampDown(int64_t{length} - position, halfRamp, full);
}

int32_t FadeStrength(int32_t mode, int32_t percent, int32_t length, int32_t position) {
    const int32_t ramp = fadeRampLength(length, percent);
    const int32_t half = ramp / 2;
    const int64_t remaining = int64_t{length} - position;
    switch (mode) {
    case FADE_IN:     return rampUp(position, ramp, 255);
    case FADE_OUT:    return rampDown(remaining, ramp, 255);
    case FADE_IN_OUT: return inOutStrength(length, position, half, 255);
    case FADE_OUT_IN: return 255 - inOutStrength(length, position, half, 255);
    default:          return 0;
    }
}
