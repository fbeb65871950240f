// Bilinear sampling of the two fields of a transition. The render binds its
// two fields into the one static sampling context; the routines below then
// read pixels of either field at clamped integer or fractional positions.
//
// The primary field's geometry rules both fields: its width is the row
// stride of both, and every fetch is clamped into its valid region. The
// routines do no allocation, call no host service and report nothing.
//
// The samplers are inline so that the transitions' pixel loops can inline
// them; the context itself lives once per library, in FieldSampling.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "OperatorApi.h"

struct SamplingContext {
    int32_t fieldWidth;          // primary width: row stride of both fields, horizontal bound
    FieldImage* secondaryField;  // the other field; its own geometry is never read
    FieldImage* primaryField;    // the field whose valid region clamps every fetch
    int32_t fieldHeight;         // primary height: vertical bound

    // The primary field's valid region, cut to the field so that a clamped
    // position always lies inside the pixel buffer: columns clampLeft..
    // clampRight, rows clampTop..clampBottom (inclusive). For a region inside
    // the field these are its own bounds.
    int32_t clampLeft;
    int32_t clampTop;
    int32_t clampRight;
    int32_t clampBottom;
};

extern SamplingContext samplingContext;

// Binds the render's two fields. Returns false when nothing can be sampled:
// a field size of 0 or less, or a valid region that does not overlap the
// field. The caller must not sample then.
bool bindSamplingContext(FieldImage* primary, FieldImage* secondary);

namespace field_sampling_detail {

inline int32_t clampColumn(int32_t x) {
    const SamplingContext& ctx = samplingContext;
    if (x < ctx.clampLeft) return ctx.clampLeft;
    if (x > ctx.clampRight) return ctx.clampRight;
    return x;
}

inline int32_t clampRow(int32_t y) {
    const SamplingContext& ctx = samplingContext;
    if (y < ctx.clampTop) return ctx.clampTop;
    if (y > ctx.clampBottom) return ctx.clampBottom;
    return y;
}

// First byte of the pixel at clamped (x, y) of a buffer with the primary
// field's stride.
inline const uint8_t* clampedPixel(const uint8_t* pixels, int32_t x, int32_t y) {
    const int32_t cx = clampColumn(x);
    const int32_t cy = clampRow(y);
    return pixels + (static_cast<size_t>(cy) * static_cast<size_t>(samplingContext.fieldWidth) +
                     static_cast<size_t>(cx)) * PIXEL_BYTES;
}

// One byte of the bilinear sample. The neighbour differences are integers
// converted to double; the rest is double precision in this order; the
// result is truncated toward zero. It lies between the smallest and largest
// neighbour, so it fits a byte.
inline uint8_t interpolate(int a, int b, int c, int d, double fx, double fy) {
    const double top = static_cast<double>(b - a) * fx + a;
    const double bottom = static_cast<double>(d - c) * fx + c;
    const double value = (bottom - top) * fy + top;
    return static_cast<uint8_t>(static_cast<int32_t>(value));
}

inline void blend(const uint8_t* a, const uint8_t* b, const uint8_t* c, const uint8_t* d,
                  double fx, double fy, uint8_t* out) {
    for (int i = 0; i < PIXEL_BYTES; ++i) out[i] = interpolate(a[i], b[i], c[i], d[i], fx, fy);
}

}  // namespace field_sampling_detail

// The four bytes of the secondary field at (x, y) clamped into the primary
// field's valid region.
inline void fetchSecondaryPixel(int32_t x, int32_t y, uint8_t* out) {
    const uint8_t* p =
        field_sampling_detail::clampedPixel(samplingContext.secondaryField->pixels, x, y);
    out[0] = p[0];
    out[1] = p[1];
    out[2] = p[2];
    out[3] = p[3];
}

// Bilinear samples at (x, y), 0 <= x < fieldWidth and 0 <= y < fieldHeight
// (callers test this before the call, which also keeps the conversion to an
// integer defined). Both give identical bytes for the same field.
inline void sampleSecondary(double x, double y, uint8_t* out) {
    const int32_t xi = static_cast<int32_t>(x);
    const int32_t yi = static_cast<int32_t>(y);
    const double fx = x - xi;
    const double fy = y - yi;
    uint8_t a[4], b[4], c[4], d[4];
    fetchSecondaryPixel(xi, yi, a);
    fetchSecondaryPixel(xi + 1, yi, b);
    fetchSecondaryPixel(xi, yi + 1, c);
    fetchSecondaryPixel(xi + 1, yi + 1, d);
    field_sampling_detail::blend(a, b, c, d, fx, fy, out);
}

inline void samplePrimary(double x, double y, uint8_t* out) {
    using namespace field_sampling_detail;
    const int32_t xi = static_cast<int32_t>(x);
    const int32_t yi = static_cast<int32_t>(y);
    const double fx = x - xi;
    const double fy = y - yi;
    const uint8_t* pixels = samplingContext.primaryField->pixels;
    blend(clampedPixel(pixels, xi, yi), clampedPixel(pixels, xi + 1, yi),
          clampedPixel(pixels, xi, yi + 1), clampedPixel(pixels, xi + 1, yi + 1), fx, fy, out);
}
