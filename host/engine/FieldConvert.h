// Stored frames straight to the two fields an operator works on and back,
// row by row: the chroma resampled to full resolution within each row group
// (each field of interlaced 4:2:0, else the whole frame), the planes
// interleaved into key, Cr, Cb, Y' pixels, and the reverse. The results are
// exactly those of expandFrame and fieldOf, and of weaveField and packFrame,
// without the full-resolution picture between them.
#pragma once

#include <cstdint>
#include <vector>

#include "Video.h"

namespace fieldfx {

// Working rows the conversions reuse from frame to frame.
struct ConvertScratch {
    FrameBytes cb, cr;                  // chroma at full width (and, for 4:2:0, full height)
    std::vector<uint8_t> rowCb, rowCr;  // one averaged row each
    std::vector<uint8_t> alpha;         // a row of keys to throw away
};

// Fills fields[0] (the even lines) and fields[1] (the odd lines) from a
// stored frame of `format`; a null field is skipped. Each field must be
// format.width by format.height / 2 pixels; the region is left as it is.
void splitFrame(const VideoFormat& format, const uint8_t* frame, FieldImage* const fields[2], ConvertScratch& scratch);

// Packs the two fields (each format.width by format.height / 2) into a
// stored frame of `format`, frameBytes(format) bytes.
void packFields(const VideoFormat& format, const FieldImage& even, const FieldImage& odd, uint8_t* frame,
                ConvertScratch& scratch);

// The row kernels, exposed for their tests. Each takes any count.
namespace rows {
// Pixels of key (255 when `key` is null), Cr, Cb, Y'.
void interleave(const uint8_t* key, const uint8_t* cr, const uint8_t* cb, const uint8_t* y, uint8_t* pixels, int count);
void deinterleave(const uint8_t* pixels, uint8_t* key, uint8_t* cr, uint8_t* cb, uint8_t* y, int count);
// (a + b + 1) >> 1 of two rows.
void average(const uint8_t* a, const uint8_t* b, uint8_t* out, int count);
// Doubling: each sample twice (centred), or each sample followed by the
// mean with the next (co-sited); the last sample repeats at the end.
void doubleCentred(const uint8_t* src, int srcCount, uint8_t* dst, int dstCount);
void doubleCosited(const uint8_t* src, int srcCount, uint8_t* dst, int dstCount);
// Halving: the mean of each pair (centred), or the first of each pair
// (co-sited); indices past the end take the last sample.
void halveCentred(const uint8_t* src, int srcCount, uint8_t* dst, int dstCount);
void halveCosited(const uint8_t* src, int srcCount, uint8_t* dst, int dstCount);
// Packed 4:2:2 (Y'0 Cb Y'1 Cr for each pair of pixels, as MLT keeps it) to
// planes and back, `pairs` pixel pairs: y has 2 * pairs samples, cb and cr
// pairs each.
void unpackYuyv(const uint8_t* packed, uint8_t* y, uint8_t* cb, uint8_t* cr, int pairs);
void packYuyv(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* packed, int pairs);
}  // namespace rows

}  // namespace fieldfx
