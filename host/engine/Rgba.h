// Pictures to and from 8-bit RGBA (red, green, blue, alpha bytes, rows back
// to back), with BT.601 limited-range Y'CbCr: the conversion every RGB
// source and destination goes through (PNG files, the frei0r plug-ins).
#pragma once

#include <cstdint>
#include <vector>

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

}  // namespace fieldfx
