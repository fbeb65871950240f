#include "FieldConvert.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fieldfx {

namespace rows {

// Each kernel runs 16 (or 32) samples at a time with SSE2 while every index
// it touches lies inside both rows, and finishes with the plain rule, which
// also clamps indices past the end exactly as the plain resampling does.

void interleave(const uint8_t* key, const uint8_t* cr, const uint8_t* cb, const uint8_t* y, uint8_t* pixels,
                int count) {
    int x = 0;
#if defined(__SSE2__)
    static_assert(PIXEL_KEY == 0 && PIXEL_CHROMA1 == 1 && PIXEL_CHROMA2 == 2 && PIXEL_LUMA == 3);
    const __m128i opaque = _mm_set1_epi8(char(0xFF));
    for (; x + 16 <= count; x += 16) {
        const __m128i k = key != nullptr ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + x)) : opaque;
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + x));
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        const __m128i kr0 = _mm_unpacklo_epi8(k, r), kr1 = _mm_unpackhi_epi8(k, r);
        const __m128i bl0 = _mm_unpacklo_epi8(b, l), bl1 = _mm_unpackhi_epi8(b, l);
        __m128i* out = reinterpret_cast<__m128i*>(pixels + 4 * size_t(x));
        _mm_storeu_si128(out + 0, _mm_unpacklo_epi16(kr0, bl0));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(kr0, bl0));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(kr1, bl1));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(kr1, bl1));
    }
#endif
    for (; x < count; ++x) {
        uint8_t* p = pixels + 4 * size_t(x);
        p[PIXEL_KEY] = key != nullptr ? key[x] : 255;
        p[PIXEL_CHROMA1] = cr[x];
        p[PIXEL_CHROMA2] = cb[x];
        p[PIXEL_LUMA] = y[x];
    }
}

#if defined(__SSE2__)
namespace {
// Byte `shift / 8` of each 32-bit pixel of four registers, 16 bytes in order.
inline __m128i pickByte(const __m128i v[4], int shift) {
    const __m128i low = _mm_set1_epi32(0xFF);
    const __m128i s = _mm_cvtsi32_si128(shift);
    const __m128i a = _mm_and_si128(_mm_srl_epi32(v[0], s), low), b = _mm_and_si128(_mm_srl_epi32(v[1], s), low);
    const __m128i c = _mm_and_si128(_mm_srl_epi32(v[2], s), low), d = _mm_and_si128(_mm_srl_epi32(v[3], s), low);
    return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}
// The even (first) and odd (second) bytes of 32 bytes, 16 each.
inline __m128i evenBytes(__m128i a, __m128i b) {
    const __m128i low = _mm_set1_epi16(0xFF);
    return _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
}
inline __m128i oddBytes(__m128i a, __m128i b) { return _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)); }
}  // namespace
#endif

void deinterleave(const uint8_t* pixels, uint8_t* key, uint8_t* cr, uint8_t* cb, uint8_t* y, int count) {
    int x = 0;
#if defined(__SSE2__)
    for (; x + 16 <= count; x += 16) {
        const __m128i* in = reinterpret_cast<const __m128i*>(pixels + 4 * size_t(x));
        const __m128i v[4] = {_mm_loadu_si128(in), _mm_loadu_si128(in + 1), _mm_loadu_si128(in + 2),
                              _mm_loadu_si128(in + 3)};
        if (key != nullptr) _mm_storeu_si128(reinterpret_cast<__m128i*>(key + x), pickByte(v, 8 * PIXEL_KEY));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + x), pickByte(v, 8 * PIXEL_CHROMA1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + x), pickByte(v, 8 * PIXEL_CHROMA2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), pickByte(v, 8 * PIXEL_LUMA));
    }
#endif
    for (; x < count; ++x) {
        const uint8_t* p = pixels + 4 * size_t(x);
        if (key != nullptr) key[x] = p[PIXEL_KEY];
        cr[x] = p[PIXEL_CHROMA1];
        cb[x] = p[PIXEL_CHROMA2];
        y[x] = p[PIXEL_LUMA];
    }
}

void average(const uint8_t* a, const uint8_t* b, uint8_t* out, int count) {
    int x = 0;
#if defined(__SSE2__)
    for (; x + 16 <= count; x += 16) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_avg_epu8(va, vb));  // (a + b + 1) >> 1
    }
#endif
    for (; x < count; ++x) out[x] = static_cast<uint8_t>((a[x] + b[x] + 1) >> 1);
}

void doubleCentred(const uint8_t* src, int srcCount, uint8_t* dst, int dstCount) {
    if (srcCount <= 0) return;
    int i = 0;
#if defined(__SSE2__)
    for (int k = 0; k + 16 <= srcCount && 2 * k + 32 <= dstCount; k += 16, i += 32) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_unpacklo_epi8(v, v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 16), _mm_unpackhi_epi8(v, v));
    }
#endif
    for (; i < dstCount; ++i) dst[i] = src[std::min(i >> 1, srcCount - 1)];
}

void doubleCosited(const uint8_t* src, int srcCount, uint8_t* dst, int dstCount) {
    if (srcCount <= 0) return;
    int i = 0;
#if defined(__SSE2__)
    // Samples k..k+15 and their right neighbours k+1..k+16 all exist.
    for (int k = 0; k + 17 <= srcCount && 2 * k + 32 <= dstCount; k += 16, i += 32) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
        const __m128i mean = _mm_avg_epu8(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k + 1)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_unpacklo_epi8(v, mean));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 16), _mm_unpackhi_epi8(v, mean));
    }
#endif
    for (; i < dstCount; ++i) {
        const int k = std::min(i >> 1, srcCount - 1);
        dst[i] = (i & 1) == 0 || k + 1 >= srcCount ? src[k] : static_cast<uint8_t>((src[k] + src[k + 1] + 1) >> 1);
    }
}

void unpackYuyv(const uint8_t* packed, uint8_t* y, uint8_t* cb, uint8_t* cr, int pairs) {
    int k = 0;
#if defined(__SSE2__)
    for (; k + 16 <= pairs; k += 16) {
        const __m128i* in = reinterpret_cast<const __m128i*>(packed + 4 * size_t(k));
        const __m128i a = _mm_loadu_si128(in), b = _mm_loadu_si128(in + 1);
        const __m128i c = _mm_loadu_si128(in + 2), d = _mm_loadu_si128(in + 3);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 2 * k), evenBytes(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 2 * k + 16), evenBytes(c, d));
        const __m128i chroma0 = oddBytes(a, b), chroma1 = oddBytes(c, d);  // Cb Cr Cb Cr ...
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + k), evenBytes(chroma0, chroma1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + k), oddBytes(chroma0, chroma1));
    }
#endif
    for (; k < pairs; ++k) {
        const uint8_t* in = packed + 4 * size_t(k);
        y[2 * k] = in[0];
        cb[k] = in[1];
        y[2 * k + 1] = in[2];
        cr[k] = in[3];
    }
}

void packYuyv(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* packed, int pairs) {
    int k = 0;
#if defined(__SSE2__)
    for (; k + 16 <= pairs; k += 16) {
        const __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * k));
        const __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * k + 16));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + k));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + k));
        const __m128i chroma0 = _mm_unpacklo_epi8(b, r), chroma1 = _mm_unpackhi_epi8(b, r);
        __m128i* out = reinterpret_cast<__m128i*>(packed + 4 * size_t(k));
        _mm_storeu_si128(out + 0, _mm_unpacklo_epi8(y0, chroma0));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi8(y0, chroma0));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi8(y1, chroma1));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi8(y1, chroma1));
    }
#endif
    for (; k < pairs; ++k) {
        uint8_t* out = packed + 4 * size_t(k);
        out[0] = y[2 * k];
        out[1] = cb[k];
        out[2] = y[2 * k + 1];
        out[3] = cr[k];
    }
}

void halveCentred(const uint8_t* src, int srcCount, uint8_t* dst, int dstCount) {
    if (srcCount <= 0) return;
    int k = 0;
#if defined(__SSE2__)
    for (; 2 * k + 32 <= srcCount && k + 16 <= dstCount; k += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * k + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), _mm_avg_epu8(evenBytes(a, b), oddBytes(a, b)));
    }
#endif
    for (; k < dstCount; ++k) {
        const int a = std::min(2 * k, srcCount - 1), b = std::min(2 * k + 1, srcCount - 1);
        dst[k] = static_cast<uint8_t>((src[a] + src[b] + 1) >> 1);
    }
}

void halveCosited(const uint8_t* src, int srcCount, uint8_t* dst, int dstCount) {
    if (srcCount <= 0) return;
    int k = 0;
#if defined(__SSE2__)
    for (; 2 * k + 32 <= srcCount && k + 16 <= dstCount; k += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * k + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), evenBytes(a, b));
    }
#endif
    for (; k < dstCount; ++k) dst[k] = src[std::min(2 * k, srcCount - 1)];
}

}  // namespace rows

namespace {

// Rows of one row group in the frame: every row (first 0, step 1), or for
// interlaced 4:2:0 the rows of one field (first 0 or 1, step 2).
struct Group {
    int first = 0, step = 1;
    int rowsIn(int total) const { return (total - first + step - 1) / step; }
};

Group groupOf(const VideoFormat& f, int row) {
    if (chromaShiftY(f.chroma) && f.interlace != Interlace::Progressive) return Group{row & 1, 2};
    return Group{0, 1};
}

// The two group rows (equal when one is copied) whose mean is row `i` of
// `count` after doubling, and whose mean is row `k` after halving: the plain
// resampling rules, one row at a time.
void doublingSources(Siting siting, int i, int count, int& a, int& b) {
    if (siting == Siting::Centred) {
        a = b = std::min(i >> 1, count - 1);
        return;
    }
    const int rel = i - (siting == Siting::CositedOdd ? 1 : 0);
    if (rel < 0) {
        a = b = 0;
        return;
    }
    a = b = std::min(rel >> 1, count - 1);
    if ((rel & 1) != 0 && a + 1 < count) b = a + 1;
}

void halvingSources(Siting siting, int k, int count, int& a, int& b) {
    if (siting == Siting::Centred) {
        a = std::min(2 * k, count - 1);
        b = std::min(2 * k + 1, count - 1);
        return;
    }
    a = b = std::min(2 * k + (siting == Siting::CositedOdd ? 1 : 0), count - 1);
}

// Row `a` of `rows`, or the mean of rows `a` and `b` in `scratch`.
const uint8_t* meanRow(const uint8_t* rows, size_t stride, int a, int b, int width, std::vector<uint8_t>& scratch) {
    if (a == b) return rows + size_t(a) * stride;
    rows::average(rows + size_t(a) * stride, rows + size_t(b) * stride, scratch.data(), width);
    return scratch.data();
}

}  // namespace

void splitFrame(const VideoFormat& f, const uint8_t* frame, FieldImage* const fields[2], ConvertScratch& s) {
    const int width = f.width, cw = chromaWidth(f), ch = chromaHeight(f);
    const size_t luma = size_t(width) * size_t(f.height), chromaSize = size_t(cw) * size_t(ch);
    const uint8_t* yPlane = frame;
    const uint8_t* planes[2] = {frame + luma, frame + luma + chromaSize};  // Cb, Cr
    const uint8_t* keyPlane = hasAlpha(f.chroma) ? frame + luma + 2 * chromaSize : nullptr;

    // Chroma rows at full width, horizontal first as the plain expansion does.
    const uint8_t* wide[2] = {planes[0], planes[1]};
    if (chromaShiftX(f.chroma)) {
        FrameBytes* into[2] = {&s.cb, &s.cr};
        for (int c = 0; c < 2; ++c) {
            into[c]->resize(size_t(width) * size_t(ch));
            for (int r = 0; r < ch; ++r) {
                const uint8_t* src = planes[c] + size_t(r) * cw;
                uint8_t* dst = into[c]->data() + size_t(r) * width;
                if (horizontalSiting(f.chroma) == Siting::Centred) {
                    rows::doubleCentred(src, cw, dst, width);
                } else {
                    rows::doubleCosited(src, cw, dst, width);
                }
            }
            wide[c] = into[c]->data();
        }
    }
    s.rowCb.resize(size_t(width));
    s.rowCr.resize(size_t(width));
    std::vector<uint8_t>* rowScratch[2] = {&s.rowCb, &s.rowCr};

    for (int field = 0; field < 2; ++field) {
        FieldImage* image = fields[field];
        if (image == nullptr) continue;
        for (int r = 0; r < f.height / 2; ++r) {
            const int line = 2 * r + field;
            const uint8_t* chroma[2];
            for (int c = 0; c < 2; ++c) {
                if (!chromaShiftY(f.chroma)) {
                    chroma[c] = wide[c] + size_t(line) * width;
                    continue;
                }
                const Group g = groupOf(f, line);
                int a, b;
                doublingSources(verticalSiting(f.chroma, c == 0), (line - g.first) / g.step, g.rowsIn(ch), a, b);
                chroma[c] = meanRow(wide[c] + size_t(g.first) * width, size_t(g.step) * width, a, b, width,
                                    *rowScratch[c]);
            }
            const size_t at = size_t(line) * width;
            rows::interleave(keyPlane != nullptr ? keyPlane + at : nullptr, chroma[1], chroma[0], yPlane + at,
                             image->pixels + size_t(r) * width * PIXEL_BYTES, width);
        }
    }
}

void packFields(const VideoFormat& f, const FieldImage& even, const FieldImage& odd, uint8_t* frame,
                ConvertScratch& s) {
    const int width = f.width, cw = chromaWidth(f), ch = chromaHeight(f);
    const size_t luma = size_t(width) * size_t(f.height), chromaSize = size_t(cw) * size_t(ch);
    uint8_t* yPlane = frame;
    uint8_t* planes[2] = {frame + luma, frame + luma + chromaSize};  // Cb, Cr
    uint8_t* keyPlane = hasAlpha(f.chroma) ? frame + luma + 2 * chromaSize : nullptr;
    const FieldImage* fields[2] = {&even, &odd};
    const bool shiftX = chromaShiftX(f.chroma) != 0, shiftY = chromaShiftY(f.chroma) != 0;

    // Full-resolution chroma: every line for 4:2:0 (halved vertically
    // below), one line at a time for 4:2:2, the planes themselves for 4:4:4.
    FrameBytes* full[2] = {&s.cb, &s.cr};
    for (FrameBytes* v : full) v->resize(size_t(width) * (shiftY ? size_t(f.height) : 1));
    for (int line = 0; line < f.height; ++line) {
        const uint8_t* pixels = fields[line & 1]->pixels + size_t(line >> 1) * width * PIXEL_BYTES;
        const size_t at = size_t(line) * width;
        uint8_t* chroma[2];
        for (int c = 0; c < 2; ++c) {
            chroma[c] = shiftY ? full[c]->data() + at : shiftX ? full[c]->data() : planes[c] + at;
        }
        rows::deinterleave(pixels, keyPlane != nullptr ? keyPlane + at : nullptr, chroma[1], chroma[0],
                           yPlane + at, width);
        if (shiftX && !shiftY) {
            for (int c = 0; c < 2; ++c) {
                uint8_t* dst = planes[c] + size_t(line) * cw;
                if (horizontalSiting(f.chroma) == Siting::Centred) {
                    rows::halveCentred(chroma[c], width, dst, cw);
                } else {
                    rows::halveCosited(chroma[c], width, dst, cw);
                }
            }
        }
    }
    if (!shiftY) return;

    // Vertical first, within each row group, then horizontal, as the plain
    // packing does.
    s.rowCb.resize(size_t(width));
    s.rowCr.resize(size_t(width));
    std::vector<uint8_t>* rowScratch[2] = {&s.rowCb, &s.rowCr};
    for (int row = 0; row < ch; ++row) {
        const Group g = groupOf(f, row);
        for (int c = 0; c < 2; ++c) {
            int a, b;
            halvingSources(verticalSiting(f.chroma, c == 0), (row - g.first) / g.step, g.rowsIn(f.height), a, b);
            const uint8_t* tall = meanRow(full[c]->data() + size_t(g.first) * width, size_t(g.step) * width, a, b,
                                          width, *rowScratch[c]);
            uint8_t* dst = planes[c] + size_t(row) * cw;
            if (!shiftX) {
                std::memcpy(dst, tall, size_t(cw));
            } else if (horizontalSiting(f.chroma) == Siting::Centred) {
                rows::halveCentred(tall, width, dst, cw);
            } else {
                rows::halveCosited(tall, width, dst, cw);
            }
        }
    }
}

}  // namespace fieldfx
