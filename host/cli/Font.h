// A small built-in bitmap font (5 x 7 pixels a glyph, upper-case letters,
// digits and a little punctuation) for labelling the contact sheet.
#pragma once

#include <cstdint>
#include <string>

#include "Png.h"

namespace fieldfx {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

// Rows of a glyph, top first, bit 4 the leftmost pixel. Lower-case letters
// are drawn as capitals; a character without a glyph as '?'.
const uint8_t* glyphRows(char c);

// Draws text with its top-left corner at (x, y), each font pixel a
// scale x scale block, clipped to the image.
void drawText(RgbaImage& image, int x, int y, const std::string& text, int scale, const uint8_t rgb[3]);
int textWidth(const std::string& text, int scale);

}  // namespace fieldfx
