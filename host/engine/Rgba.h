// Pictures to and from 8-bit RGBA (red, green, blue, alpha bytes, rows back
// to back), with BT.601 limited-range Y'CbCr: the conversion every RGB
// source and destination goes through (PNG files, the frei0r plug-ins).
//
// The row conversions give exactly the bytes of rgbToYCbCr and yCbCrToRgb
// (Video.h) for every input; they are only faster. They run in the widest
// form the instruction-set level allows (plain code, SSE2 or AVX2; SSSE3
// runs the SSE2 form), or in the form of `level` when one is given, so that
// tests and benchmarks can run each form.
#pragma once

#include <cstdint>
#include <vector>

#include "IsaLevel.h"
#include "Video.h"

namespace fieldfx {

struct RgbaImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;  // 4 bytes a pixel, rows back to back
};

// `rgba` holds width * height pixels.
Picture pictureFromRgba(const uint8_t* rgba, int width, int height);
// Writes picture.width * picture.height pixels to `rgba`.
void rgbaFromPicture(const Picture& picture, uint8_t* rgba);

Picture pictureFromRgba(const RgbaImage& image);
RgbaImage rgbaFromPicture(const Picture& picture);

// Rows of `count` pixels (count >= 0). The alpha byte of RGBA is the key
// byte of an operator pixel (key, Cr, Cb, Y': see OperatorApi.h) and the
// alpha plane of a picture. Input and output must not overlap. A level
// above isaLevel() is taken as isaLevel().
//
// A field of an RGBA frame goes to a field image without a picture in
// between, row r of the field being row 2r + field of the frame:
//   rgbaToPixels(frame + (2 * r + field) * width * 4, image->pixels + r * width * 4, width)
// and back with pixelsToRgba the other way round.
void rgbaToPixels(const uint8_t* rgba, uint8_t* pixels, int count, IsaLevel level = isaLevel());
void pixelsToRgba(const uint8_t* pixels, uint8_t* rgba, int count, IsaLevel level = isaLevel());

// A row of a picture's planes: pixel i is y[i], cb[i], cr[i] and a[i].
struct PlaneRow {
    uint8_t* y;
    uint8_t* cb;
    uint8_t* cr;
    uint8_t* a;
};
struct ConstPlaneRow {
    const uint8_t* y;
    const uint8_t* cb;
    const uint8_t* cr;
    const uint8_t* a;
};
// Row `row` of a picture.
PlaneRow pictureRow(Picture& picture, int row);
ConstPlaneRow pictureRow(const Picture& picture, int row);

void rgbaToPlanes(const uint8_t* rgba, const PlaneRow& planes, int count, IsaLevel level = isaLevel());
void planesToRgba(const ConstPlaneRow& planes, uint8_t* rgba, int count, IsaLevel level = isaLevel());

// An RGBA frame of `width` x `height` straight to its two fields, as the
// plug-ins take their hosts' frames: fields[0] the even lines, fields[1]
// the odd ones, each `width` x (height + 1) / 2 (already that size). A
// frame of odd height has its last line once more at the bottom of the odd
// field, so that both fields have the same rows. The same bytes as
// fieldOf(pictureFromRgba(...)) of that frame.
void rgbaToFields(const uint8_t* rgba, int width, int height, FieldImage* const fields[2]);
// The frame's lines from its two fields (the repeated line stays behind):
// the same bytes as rgbaFromPicture of the woven picture.
void fieldsToRgba(const FieldImage* const fields[2], int width, int height, uint8_t* rgba);

}  // namespace fieldfx
