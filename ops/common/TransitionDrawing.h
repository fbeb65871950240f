// The pass drawer of the transitions (Rotate, Rebound): one pass over the
// target field that draws the moving picture at a geometry given as column
// and row terms. Each transition works out its own terms; the drawing,
// sampling and blending are the same for both.
#pragma once

#include <cstdint>

#include "FieldSampling.h"

// A field is at most 32767 pixels wide and high (its sizes are i16).
inline constexpr int32_t kMaxFieldExtent = 32767;

// The geometry of one pass. Target pixel (x, y) takes the moving picture's
// sample at
//   sx = (columnCos[x] - rowSin[y]) + originX
//   sy = (columnSin[x] + rowCos[y]) * 0.5 + originY.
// The terms are in frame lines, which are twice as dense as field rows:
// the row terms are made from 2 * (y - ...) and the sum is halved back
// into field rows. Worked out once per column and once per row instead of
// once per pixel.
struct PassTerms {
    double columnCos[kMaxFieldExtent];
    double columnSin[kMaxFieldExtent];
    double rowSin[kMaxFieldExtent];
    double rowCos[kMaxFieldExtent];
    double originX;
    double originY;
};

// The columns begin <= x < end of one target row.
struct RowSpan {
    int32_t begin;
    int32_t end;
};

// How a drawn sample meets the target pixel: kReplacePixel replaces all
// four bytes; a trail weight D in 0..255 mixes bytes 1..3 as
// (target * D + sample * (255 - D)) / 255 and keeps byte 0.
inline constexpr int32_t kReplacePixel = -1;

// Draws one pass into `target` (width x height pixels, rows back to back):
// every target pixel whose sample position lies inside the field (0 <= sx <
// width, 0 <= sy < height; a NaN fails) takes the moving picture's sample;
// the others keep their bytes. With canSample false nothing is drawn.
// opChkAbort is called after every row; its answer does not stop the pass.
//
// `replacedLater`, when not null, gives per row the pixels that a later
// kReplacePixel pass will overwrite whole (see coveredSpans); the pass leaves
// them alone, since nothing it writes there would survive.
void drawPass(uint8_t* target, int32_t width, int32_t height, bool canSample, const PassTerms& terms,
              const FieldSampler& moving, int32_t trailWeight, const RowSpan* replacedLater = nullptr);

// Fills spans[0..height) with the pixels of each row whose sample position
// lies inside the field, exactly as drawPass tests it. Returns false, and
// fills nothing, when the terms are not finite and ordered (see
// passSpanPlan), so that the covered pixels of a row need not be one span.
bool coveredSpans(const PassTerms& terms, int32_t width, int32_t height, RowSpan* spans);
