// Row window length of the box blur for a blurSize setting: 4 pixels per
// step, scaled by scaleNum / scaleDen on a reduced-size run and then held at
// 2 or more.
#pragma once

#include <cstdint>

#include "OperatorApi.h"

// The product and quotient are taken in 64 bits and the result is held to
// the 32-bit range, so no setting overflows; for every setting whose 32-bit
// arithmetic does not overflow the result is the same. A scaleDen of 0 (which
// a host must not send with the reduced-size flag) leaves the window unscaled.
inline int32_t blurWindowLength(int32_t blurSize, const OperatorRequest& request) {
    int64_t r = int64_t{4} * blurSize;
    if ((request.flags & FLAG_REDUCED_SIZE) != 0) {
        if (request.scaleDen != 0) r = r * request.scaleNum / request.scaleDen;
        if (r < 2) r = 2;
    }
    if (r > INT32_MAX) return INT32_MAX;
    if (r < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(r);
}
