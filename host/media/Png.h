// PNG stills and sequences through libpng.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Rgba.h"

namespace fieldfx {

// Throws UserError naming the file when it cannot be read or written.
RgbaImage readPng(const std::string& path);
void writePng(const std::string& path, const RgbaImage& image, bool withAlpha);
// Writes into an open file (which the caller closes); `name` names it in errors.
void writePng(FILE* file, const std::string& name, const RgbaImage& image, bool withAlpha);

// Whether the PNG has an alpha channel (or a transparent colour); false
// for a file it cannot read.
bool pngHasAlpha(const std::string& path);

// True when the file starts with the PNG signature.
bool looksLikePng(const std::string& path);

}  // namespace fieldfx
