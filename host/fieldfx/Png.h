// PNG stills through libpng, and their conversion to and from pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Video.h"

namespace fieldfx {

struct RgbaImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;  // 4 bytes a pixel, rows back to back
};

// Throws UserError naming the file when it cannot be read or written.
RgbaImage readPng(const std::string& path);
void writePng(const std::string& path, const RgbaImage& image, bool withAlpha);

Picture pictureFromRgba(const RgbaImage& image);
RgbaImage rgbaFromPicture(const Picture& picture);

// True when the file starts with the PNG signature.
bool looksLikePng(const std::string& path);

}  // namespace fieldfx
