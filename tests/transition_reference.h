// Plain, unoptimised versions of the transitions' sampling and drawing, for
// the tests to compare the operators' output with byte for byte: every term
// is worked out per pixel in the order the formulas give, with nothing
// hoisted or cached.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "RecordingHost.h"

namespace fxref {

// Clamps into the valid region of `geometry` (assumed to lie inside it).
inline const uint8_t* clampedAt(const std::vector<uint8_t>& pixels, const fxtest::ImageCopy& geometry,
                                int32_t x, int32_t y) {
    if (x < geometry.regionLeft) x = geometry.regionLeft;
    else if (x >= geometry.regionLeft + geometry.regionWidth) x = geometry.regionLeft + geometry.regionWidth - 1;
    if (y < geometry.regionTop) y = geometry.regionTop;
    else if (y >= geometry.regionTop + geometry.regionHeight) y = geometry.regionTop + geometry.regionHeight - 1;
    return &pixels[(size_t(y) * geometry.width + x) * 4];
}

// Bilinear sample of `pixels`, addressed and clamped with `geometry`.
inline void bilinear(const std::vector<uint8_t>& pixels, const fxtest::ImageCopy& geometry, double x,
                     double y, uint8_t* out) {
    const int32_t xi = static_cast<int32_t>(x);
    const int32_t yi = static_cast<int32_t>(y);
    const double fx = x - xi;
    const double fy = y - yi;
    const uint8_t* a = clampedAt(pixels, geometry, xi, yi);
    const uint8_t* b = clampedAt(pixels, geometry, xi + 1, yi);
    const uint8_t* c = clampedAt(pixels, geometry, xi, yi + 1);
    const uint8_t* d = clampedAt(pixels, geometry, xi + 1, yi + 1);
    for (int i = 0; i < 4; ++i) {
        const double top = static_cast<double>(b[i] - a[i]) * fx + a[i];
        const double bottom = static_cast<double>(d[i] - c[i]) * fx + c[i];
        const double value = (bottom - top) * fy + top;
        out[i] = static_cast<uint8_t>(static_cast<int>(value));
    }
}

struct RotateSettings {
    int32_t turns, trailCount, mode;
};

// Rotate's output for fields `in0` and `in1` (input 1 rules the geometry).
inline std::vector<uint8_t> rotate(const fxtest::ImageCopy& in0, const fxtest::ImageCopy& in1,
                                   uint32_t length, uint32_t position, RotateSettings set) {
    const bool growIn = set.mode == 0;
    std::vector<uint8_t> target = growIn ? in0.pixels : in1.pixels;
    const std::vector<uint8_t>& moving = growIn ? in1.pixels : in0.pixels;
    const int32_t W = in1.width, H = in1.height;
    const double cx = W * 0.5, cy = H * 0.5;
    auto pass = [&](uint32_t q, int32_t D) {
        for (int32_t y = 0; y < H; ++y) {
            const double dy2 = (y - cy) * 2.0;
            double d, theta;
            if (growIn) {
                d = q;
                theta = std::sin((q * 1.570796327) / double(length)) * (set.turns * -6.283185308);
            } else {
                d = uint32_t(length - q);
                theta = std::sin((d * 1.570796327) / double(length)) * (set.turns * 6.283185308);
            }
            const double s = std::sin(theta), c = std::cos(theta);
            for (int32_t x = 0; x < W; ++x) {
                const double u = ((x - cx) * double(length)) / d;
                const double v = (double(length) * dy2) / d;
                const double sx = c * u - s * v + cx;
                const double sy = (c * v + s * u) * 0.5 + cy;
                if (!(sx >= 0 && sx < W && sy >= 0 && sy < H)) continue;
                uint8_t sample[4];
                bilinear(moving, in1, sx, sy, sample);
                uint8_t* p = &target[(size_t(y) * W + x) * 4];
                if (D < 0) {
                    for (int i = 0; i < 4; ++i) p[i] = sample[i];
                } else {
                    for (int i = 1; i < 4; ++i) p[i] = uint8_t((p[i] * D + sample[i] * (255 - D)) / 255);
                }
            }
        }
    };
    for (int32_t k = set.trailCount; k > 0; --k) {
        if (position > uint32_t(k)) pass(position - uint32_t(k), (k * 255) / (set.trailCount + 1));
    }
    pass(position, -1);
    return target;
}

struct ReboundSettings {
    int32_t corner, mode, count;
};

// Rebound's output for fields `in0` and `in1` (input 0 rules the geometry).
inline std::vector<uint8_t> rebound(const fxtest::ImageCopy& in0, const fxtest::ImageCopy& in1,
                                    uint32_t length, uint32_t position, ReboundSettings set) {
    const bool swingIn = set.mode == 0;
    std::vector<uint8_t> target = swingIn ? in0.pixels : in1.pixels;
    const std::vector<uint8_t>& moving = swingIn ? in1.pixels : in0.pixels;
    const int32_t W = in0.width, H = in0.height;
    const double B = set.count, L = length, P = position, r = uint32_t(length - position);
    const double aP = std::fabs(std::sin(((B * 3.141592654 + 1.570796327) * P) / L + 1.570796327));
    const double aR = std::fabs(std::sin(((B * 3.141592654 + 1.570796327) * r) / L));
    int32_t px = 0, py = 0;
    double theta = 0;
    const bool even = set.corner == 0 || set.corner == 2;
    if (set.corner >= 0 && set.corner <= 3) {
        px = (set.corner == 0 || set.corner == 1) ? W : 0;
        py = (set.corner == 1 || set.corner == 2) ? H : 0;
        if (swingIn) theta = even ? ((r * 1.570796327) / L) * aP : ((r * -1.570796327) / L) * aR;
        else theta = even ? ((r * -1.570796327) / L) * aR + 1.570796327 : ((r * 1.570796327) / L) * aP - 1.570796327;
    }
    for (int32_t y = 0; y < H; ++y) {
        const double dy2 = (y - py) * 2.0;
        const double s = std::sin(theta), c = std::cos(-theta);
        for (int32_t x = 0; x < W; ++x) {
            const double dx = x - px;
            const double sx = c * dx - s * dy2 + px;
            const double sy = (s * dx + c * dy2) * 0.5 + py;
            if (!(sx >= 0 && sx < W && sy >= 0 && sy < H)) continue;
            bilinear(moving, in0, sx, sy, &target[(size_t(y) * W + x) * 4]);
        }
    }
    return target;
}

}  // namespace fxref
