// The row conversions of Rgba.h: plain code, and on x86 loops of SSE2 and
// AVX2 registers. Every form gives the bytes of rgbToYCbCr and yCbCrToRgb.
//
// R'G'B' to Y'CbCr. Each output is off + N / 255000 rounded, where
// N = kr * r + kg * g + kb * b with the reference's coefficients times 1000
// (whole numbers). Rounded half up that is floor(M / 255000) with
// M = N + 127500 + off * 255000, which lies in [0, 2^26) and is formed
// exactly in 32-bit integers. The reference rounds the double value of the
// same sum, which lies within 1e-12 of the exact value; an exact value that
// is not a half-integer lies at least 1/255000 from one, so both round it
// alike. That leaves the exact half-integers (M a multiple of 255000),
// where the double may land on either side: Cb has none, the 12 of Cr all
// round up in the reference too, but of the 194 of Y' the reference rounds
// 39 down, so a Y' whose M is a multiple of 255000 is taken from rgbToYCbCr
// itself. The clamps of the reference never apply: the formulas reach
// exactly 16 .. 235 and 16 .. 240.
//
// Y'CbCr to R'G'B'. The sums are the reference's: the same double products
// and additions in the same order. The reference's lround, clamped to
// 0 .. 255, is here trunc(v + 0.5), clamped: the two differ only for a
// double less than one unit in the last place below one of the
// half-integers 0.5 .. 254.5, and no sum comes that close. The exact value
// of every sum (with the decimal coefficients) lies at least 3.5e-8 from
// those, and its double within 1e-12 of the exact value. So the rounded
// value is floor(s + 0.5) of the exact sum s, which the AVX2 loop works out
// in whole numbers (see toRgbaAvx2).
//
// tests/rgba_conversion_test.cpp checks every form on all 2^24 inputs of
// each direction.
#include <algorithm>
#include <cstring>

#include "Rgba.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace fieldfx {

namespace {

// R'G'B' -> Y'CbCr in whole numbers: M = kr * r + kg * g + kb * b + bias.
constexpr int32_t kDivisor = 255000;
struct Scaled {
    int32_t r, g, b, bias;
};
constexpr Scaled kLuma{65481, 128553, 24966, 127500 + 16 * kDivisor};
constexpr Scaled kBlueDiff{-37797, -74203, 112000, 127500 + 128 * kDivisor};
constexpr Scaled kRedDiff{112000, -93786, -18214, 127500 + 128 * kDivisor};

// Y'CbCr -> R'G'B': the reference's coefficients.
constexpr double kLumaGain = 1.164383562, kRedCr = 1.596026786, kGreenCb = 0.391762290,
                 kGreenCr = 0.812967647, kBlueCb = 2.017232143;

uint32_t scaled(const Scaled& s, int32_t r, int32_t g, int32_t b) {
    return static_cast<uint32_t>(s.r * r + s.g * g + s.b * b + s.bias);
}

// Y' of a colour whose M is a multiple of kDivisor: the reference's.
uint8_t tieLuma(const uint8_t* rgba) { return rgbToYCbCr(rgba[0], rgba[1], rgba[2]).y; }

YCbCr toYCbCr(const uint8_t* rgba) {
    const int32_t r = rgba[0], g = rgba[1], b = rgba[2];
    const uint32_t luma = scaled(kLuma, r, g, b);
    const uint8_t y = luma % kDivisor == 0 ? tieLuma(rgba) : static_cast<uint8_t>(luma / kDivisor);
    return YCbCr{y, static_cast<uint8_t>(scaled(kBlueDiff, r, g, b) / kDivisor),
                 static_cast<uint8_t>(scaled(kRedDiff, r, g, b) / kDivisor)};
}

uint8_t roundedByte(double v) {
    const int t = static_cast<int>(v + 0.5);
    return static_cast<uint8_t>(std::clamp(t, 0, 255));
}

void toRgb(int y, int cb, int cr, uint8_t* rgb) {
    const double l = kLumaGain * (y - 16);
    rgb[0] = roundedByte(l + kRedCr * (cr - 128));
    rgb[1] = roundedByte(l - kGreenCb * (cb - 128) - kGreenCr * (cr - 128));
    rgb[2] = roundedByte(l + kBlueCb * (cb - 128));
}

// The plain loops; the vector loops end with them for the pixels after
// their last whole block.
void rgbaToPixelsPlain(const uint8_t* rgba, uint8_t* pixels, int count) {
    for (int i = 0; i < count; ++i, rgba += 4, pixels += PIXEL_BYTES) {
        const YCbCr c = toYCbCr(rgba);
        pixels[PIXEL_KEY] = rgba[3];
        pixels[PIXEL_CR] = c.cr;
        pixels[PIXEL_CB] = c.cb;
        pixels[PIXEL_LUMA] = c.y;
    }
}

void rgbaToPlanesPlain(const uint8_t* rgba, PlaneRow p, int count) {
    for (int i = 0; i < count; ++i, rgba += 4) {
        const YCbCr c = toYCbCr(rgba);
        p.y[i] = c.y;
        p.cb[i] = c.cb;
        p.cr[i] = c.cr;
        p.a[i] = rgba[3];
    }
}

void pixelsToRgbaPlain(const uint8_t* pixels, uint8_t* rgba, int count) {
    for (int i = 0; i < count; ++i, pixels += PIXEL_BYTES, rgba += 4) {
        toRgb(pixels[PIXEL_LUMA], pixels[PIXEL_CB], pixels[PIXEL_CR], rgba);
        rgba[3] = pixels[PIXEL_KEY];
    }
}

void planesToRgbaPlain(ConstPlaneRow p, uint8_t* rgba, int count) {
    for (int i = 0; i < count; ++i, rgba += 4) {
        toRgb(p.y[i], p.cb[i], p.cr[i], rgba);
        rgba[3] = p.a[i];
    }
}

#if defined(__SSE2__)
PlaneRow offset(const PlaneRow& p, int i) { return PlaneRow{p.y + i, p.cb + i, p.cr + i, p.a + i}; }
ConstPlaneRow offset(const ConstPlaneRow& p, int i) { return ConstPlaneRow{p.y + i, p.cb + i, p.cr + i, p.a + i}; }

// Overwrites the Y' of the pixels whose bit is set in `ties` (pixel j at
// luma[j * step]) with the reference's.
void fixTies(const uint8_t* rgba, unsigned ties, uint8_t* luma, int step) {
    for (int j = 0; ties != 0; ++j, ties >>= 1) {
        if ((ties & 1u) != 0) luma[j * step] = tieLuma(rgba + 4 * j);
    }
}

// A channel byte x in a 32-bit lane spread as x | (x << 23): 16-bit halves x
// and 128x. madd (16 x 16-bit products, pairs summed) of that with a
// coefficient c given as halves c & 127 and c >> 7 is x * c exactly, for
// coefficients that do not fit 16 bits.
constexpr int32_t maddCoefficient(int32_t c) {
    return static_cast<int32_t>(static_cast<uint32_t>(c & 127) | (static_cast<uint32_t>(c >> 7) << 16));
}

// floor(m / 255000) for 0 <= m < 2^26 is floor(x / 31875) with x = m >> 3 <
// 2^23, worked out as trunc((x + 0.5) / 31875) in single precision: x + 0.5
// is exact, the quotient lies at least 0.5 / 31875 from a whole number and
// below 256, and the division rounds it by at most 2^-17, less than that.
constexpr float kQuotientDivisor = float(kDivisor / 8);

// ---- SSE2: four pixels a step.

inline __m128i spreadSse2(__m128i x) { return _mm_or_si128(x, _mm_slli_epi32(x, 23)); }

inline __m128i scaledSse2(const Scaled& s, __m128i r, __m128i g, __m128i b) {
    const __m128i m = _mm_add_epi32(_mm_madd_epi16(r, _mm_set1_epi32(maddCoefficient(s.r))),
                                    _mm_madd_epi16(g, _mm_set1_epi32(maddCoefficient(s.g))));
    return _mm_add_epi32(_mm_add_epi32(m, _mm_madd_epi16(b, _mm_set1_epi32(maddCoefficient(s.b)))),
                         _mm_set1_epi32(s.bias));
}

inline __m128i quotientSse2(__m128i m) {
    const __m128 x = _mm_add_ps(_mm_cvtepi32_ps(_mm_srli_epi32(m, 3)), _mm_set1_ps(0.5f));
    return _mm_cvttps_epi32(_mm_div_ps(x, _mm_set1_ps(kQuotientDivisor)));
}

// Y', Cb, Cr of four RGBA pixels as 32-bit lanes, and a mask of the pixels
// whose Y' is a tie.
struct YCbCrSse2 {
    __m128i y, cb, cr;
    unsigned ties;
};

inline YCbCrSse2 toYCbCrSse2(__m128i rgba) {
    const __m128i byte = _mm_set1_epi32(0xFF);
    const __m128i r = spreadSse2(_mm_and_si128(rgba, byte));
    const __m128i g = spreadSse2(_mm_and_si128(_mm_srli_epi32(rgba, 8), byte));
    const __m128i b = spreadSse2(_mm_and_si128(_mm_srli_epi32(rgba, 16), byte));
    const __m128i luma = scaledSse2(kLuma, r, g, b);
    const __m128i y = quotientSse2(luma);
    const __m128i multiple = _mm_slli_epi32(_mm_madd_epi16(y, _mm_set1_epi32(kDivisor / 8)), 3);
    const unsigned ties = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(multiple, luma))));
    return YCbCrSse2{y, quotientSse2(scaledSse2(kBlueDiff, r, g, b)), quotientSse2(scaledSse2(kRedDiff, r, g, b)),
                     ties};
}

inline __m128i loadSse2(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void storeSse2(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

inline void store4(uint8_t* p, __m128i v) {
    const int32_t word = _mm_cvtsi128_si32(v);
    std::memcpy(p, &word, 4);
}

// Four bytes of a plane as 32-bit lanes.
inline __m128i load4(const uint8_t* p) {
    int32_t word;
    std::memcpy(&word, p, 4);
    const __m128i zero = _mm_setzero_si128();
    return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
}

// Lanes of four pixels (values 0 .. 255 where noted, else clamped to it) as
// bytes: a0 a1 a2 a3 b0 b1 b2 b3 c0 .. c3 d0 .. d3.
inline __m128i packBytes(__m128i a, __m128i b, __m128i c, __m128i d) {
    return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}

void rgbaToPixelsSse2(const uint8_t* rgba, uint8_t* pixels, int count) {
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i in = loadSse2(rgba + 4 * i);
        const YCbCrSse2 c = toYCbCrSse2(in);
        const __m128i out = _mm_or_si128(_mm_or_si128(_mm_srli_epi32(in, 24), _mm_slli_epi32(c.cr, 8)),
                                         _mm_or_si128(_mm_slli_epi32(c.cb, 16), _mm_slli_epi32(c.y, 24)));
        storeSse2(pixels + 4 * i, out);
        if (c.ties != 0) fixTies(rgba + 4 * i, c.ties, pixels + 4 * i + PIXEL_LUMA, PIXEL_BYTES);
    }
    rgbaToPixelsPlain(rgba + 4 * i, pixels + 4 * i, count - i);
}

void rgbaToPlanesSse2(const uint8_t* rgba, PlaneRow p, int count) {
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i in = loadSse2(rgba + 4 * i);
        const YCbCrSse2 c = toYCbCrSse2(in);
        const __m128i bytes = packBytes(c.y, c.cb, c.cr, _mm_srli_epi32(in, 24));
        store4(p.y + i, bytes);
        store4(p.cb + i, _mm_srli_si128(bytes, 4));
        store4(p.cr + i, _mm_srli_si128(bytes, 8));
        store4(p.a + i, _mm_srli_si128(bytes, 12));
        if (c.ties != 0) fixTies(rgba + 4 * i, c.ties, p.y + i, 1);
    }
    rgbaToPlanesPlain(rgba + 4 * i, offset(p, i), count - i);
}

// trunc(v + 0.5) of two lanes, in the low two 32-bit lanes.
inline __m128i roundedSse2(__m128d v) { return _mm_cvttpd_epi32(_mm_add_pd(v, _mm_set1_pd(0.5))); }

// R, G, B (before the clamp) of the two pixels in the low lanes of y - 16,
// cb - 128 and cr - 128.
inline void toRgbSse2(__m128i y, __m128i cb, __m128i cr, __m128i rgb[3]) {
    const __m128d l = _mm_mul_pd(_mm_set1_pd(kLumaGain), _mm_cvtepi32_pd(y));
    const __m128d u = _mm_cvtepi32_pd(cb), v = _mm_cvtepi32_pd(cr);
    rgb[0] = roundedSse2(_mm_add_pd(l, _mm_mul_pd(_mm_set1_pd(kRedCr), v)));
    rgb[1] = roundedSse2(
        _mm_sub_pd(_mm_sub_pd(l, _mm_mul_pd(_mm_set1_pd(kGreenCb), u)), _mm_mul_pd(_mm_set1_pd(kGreenCr), v)));
    rgb[2] = roundedSse2(_mm_add_pd(l, _mm_mul_pd(_mm_set1_pd(kBlueCb), u)));
}

// RGBA bytes of four pixels from their Y', Cb, Cr and alpha lanes.
inline __m128i toRgbaSse2(__m128i y, __m128i cb, __m128i cr, __m128i a) {
    y = _mm_sub_epi32(y, _mm_set1_epi32(16));
    cb = _mm_sub_epi32(cb, _mm_set1_epi32(128));
    cr = _mm_sub_epi32(cr, _mm_set1_epi32(128));
    __m128i low[3], high[3];
    toRgbSse2(y, cb, cr, low);
    toRgbSse2(_mm_srli_si128(y, 8), _mm_srli_si128(cb, 8), _mm_srli_si128(cr, 8), high);
    const __m128i planar = packBytes(_mm_unpacklo_epi64(low[0], high[0]), _mm_unpacklo_epi64(low[1], high[1]),
                                     _mm_unpacklo_epi64(low[2], high[2]), a);
    // r0 b0 r1 b1 r2 b2 r3 b3 g0 a0 g1 a1 .., then r0 g0 b0 a0 r1 ..
    const __m128i pairs = _mm_unpacklo_epi8(planar, _mm_srli_si128(planar, 8));
    return _mm_unpacklo_epi8(pairs, _mm_srli_si128(pairs, 8));
}

void pixelsToRgbaSse2(const uint8_t* pixels, uint8_t* rgba, int count) {
    const __m128i byte = _mm_set1_epi32(0xFF);
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i in = loadSse2(pixels + 4 * i);
        storeSse2(rgba + 4 * i, toRgbaSse2(_mm_srli_epi32(in, 24), _mm_and_si128(_mm_srli_epi32(in, 16), byte),
                                           _mm_and_si128(_mm_srli_epi32(in, 8), byte), _mm_and_si128(in, byte)));
    }
    pixelsToRgbaPlain(pixels + 4 * i, rgba + 4 * i, count - i);
}

void planesToRgbaSse2(ConstPlaneRow p, uint8_t* rgba, int count) {
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        storeSse2(rgba + 4 * i, toRgbaSse2(load4(p.y + i), load4(p.cb + i), load4(p.cr + i), load4(p.a + i)));
    }
    planesToRgbaPlain(offset(p, i), rgba + 4 * i, count - i);
}

// ---- AVX2: eight pixels a step.
#define TARGET_AVX2 __attribute__((target("avx2")))

TARGET_AVX2 inline __m256i spreadAvx2(__m256i x) { return _mm256_or_si256(x, _mm256_slli_epi32(x, 23)); }

TARGET_AVX2 inline __m256i scaledAvx2(const Scaled& s, __m256i r, __m256i g, __m256i b) {
    const __m256i m = _mm256_add_epi32(_mm256_madd_epi16(r, _mm256_set1_epi32(maddCoefficient(s.r))),
                                       _mm256_madd_epi16(g, _mm256_set1_epi32(maddCoefficient(s.g))));
    return _mm256_add_epi32(_mm256_add_epi32(m, _mm256_madd_epi16(b, _mm256_set1_epi32(maddCoefficient(s.b)))),
                            _mm256_set1_epi32(s.bias));
}

TARGET_AVX2 inline __m256i quotientAvx2(__m256i m) {
    const __m256 x = _mm256_add_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(m, 3)), _mm256_set1_ps(0.5f));
    return _mm256_cvttps_epi32(_mm256_div_ps(x, _mm256_set1_ps(kQuotientDivisor)));
}

struct YCbCrAvx2 {
    __m256i y, cb, cr;
    unsigned ties;
};

TARGET_AVX2 inline YCbCrAvx2 toYCbCrAvx2(__m256i rgba) {
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m256i r = spreadAvx2(_mm256_and_si256(rgba, byte));
    const __m256i g = spreadAvx2(_mm256_and_si256(_mm256_srli_epi32(rgba, 8), byte));
    const __m256i b = spreadAvx2(_mm256_and_si256(_mm256_srli_epi32(rgba, 16), byte));
    const __m256i luma = scaledAvx2(kLuma, r, g, b);
    const __m256i y = quotientAvx2(luma);
    const __m256i multiple = _mm256_slli_epi32(_mm256_madd_epi16(y, _mm256_set1_epi32(kDivisor / 8)), 3);
    const unsigned ties =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(multiple, luma))));
    return YCbCrAvx2{y, quotientAvx2(scaledAvx2(kBlueDiff, r, g, b)), quotientAvx2(scaledAvx2(kRedDiff, r, g, b)),
                     ties};
}

TARGET_AVX2 inline __m256i loadAvx2(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

TARGET_AVX2 void rgbaToPixelsAvx2(const uint8_t* rgba, uint8_t* pixels, int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i in = loadAvx2(rgba + 4 * i);
        const YCbCrAvx2 c = toYCbCrAvx2(in);
        const __m256i out =
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(in, 24), _mm256_slli_epi32(c.cr, 8)),
                            _mm256_or_si256(_mm256_slli_epi32(c.cb, 16), _mm256_slli_epi32(c.y, 24)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels + 4 * i), out);
        if (c.ties != 0) fixTies(rgba + 4 * i, c.ties, pixels + 4 * i + PIXEL_LUMA, PIXEL_BYTES);
    }
    rgbaToPixelsPlain(rgba + 4 * i, pixels + 4 * i, count - i);
}

TARGET_AVX2 void rgbaToPlanesAvx2(const uint8_t* rgba, PlaneRow p, int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i in = loadAvx2(rgba + 4 * i);
        const YCbCrAvx2 c = toYCbCrAvx2(in);
        // Packed within each 128-bit half (y0-3 cb0-3 cr0-3 a0-3 | y4-7 ..),
        // then put in plane order: y0-7 cb0-7 cr0-7 a0-7.
        const __m256i halves = _mm256_packus_epi16(_mm256_packs_epi32(c.y, c.cb),
                                                   _mm256_packs_epi32(c.cr, _mm256_srli_epi32(in, 24)));
        const __m256i bytes = _mm256_permutevar8x32_epi32(halves, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        const __m128i yCb = _mm256_castsi256_si128(bytes), crA = _mm256_extracti128_si256(bytes, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p.y + i), yCb);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p.cb + i), _mm_srli_si128(yCb, 8));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p.cr + i), crA);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p.a + i), _mm_srli_si128(crA, 8));
        if (c.ties != 0) fixTies(rgba + 4 * i, c.ties, p.y + i, 1);
    }
    rgbaToPlanesPlain(rgba + 4 * i, offset(p, i), count - i);
}

// Y'CbCr -> R'G'B' in 32-bit whole numbers, eight pixels a step. With
// each coefficient c as K = round(c * 2^21), t = K_l y' + K_c u .. + 2^20
// (y' = Y' - 16, u = Cb - 128, v = Cr - 128) is 2^21 (s + 0.5) + err for
// the exact sum s, |err| <= 0.5 (239 + 128 + 128) < 248. So t >> 21 is
// floor(s + 0.5), the reference's rounding, unless t lies within 248 of a
// multiple of 2^21; those few pixels (about one in 1400) are redone by the
// plain rule. Every t lies within +-2^31 (the largest, B, below 535 * 2^21).
constexpr int kFraction = 21;
constexpr int32_t fixedCoefficient(double c) { return static_cast<int32_t>(c * (1 << kFraction) + 0.5); }
constexpr int32_t kNear = 248;

// Bits of the lanes whose t lies within kNear of a multiple of 2^21.
TARGET_AVX2 inline __m256i nearAvx2(__m256i t) {
    const __m256i fraction = _mm256_and_si256(_mm256_add_epi32(t, _mm256_set1_epi32(kNear)),
                                              _mm256_set1_epi32((1 << kFraction) - 1));
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(2 * kNear), fraction);
}

// RGBA bytes of eight pixels from their Y', Cb, Cr and alpha lanes, and in
// `near` the pixels the plain rule must redo.
TARGET_AVX2 inline __m256i toRgbaAvx2(__m256i y, __m256i cb, __m256i cr, __m256i a, unsigned& near) {
    const __m256i u = _mm256_sub_epi32(cb, _mm256_set1_epi32(128)), v = _mm256_sub_epi32(cr, _mm256_set1_epi32(128));
    const __m256i l = _mm256_add_epi32(
        _mm256_mullo_epi32(_mm256_sub_epi32(y, _mm256_set1_epi32(16)), _mm256_set1_epi32(fixedCoefficient(kLumaGain))),
        _mm256_set1_epi32(1 << (kFraction - 1)));
    const __m256i r = _mm256_add_epi32(l, _mm256_mullo_epi32(v, _mm256_set1_epi32(fixedCoefficient(kRedCr))));
    const __m256i g =
        _mm256_sub_epi32(_mm256_sub_epi32(l, _mm256_mullo_epi32(u, _mm256_set1_epi32(fixedCoefficient(kGreenCb)))),
                         _mm256_mullo_epi32(v, _mm256_set1_epi32(fixedCoefficient(kGreenCr))));
    const __m256i b = _mm256_add_epi32(l, _mm256_mullo_epi32(u, _mm256_set1_epi32(fixedCoefficient(kBlueCb))));
    const __m256i anyNear = _mm256_or_si256(_mm256_or_si256(nearAvx2(r), nearAvx2(g)), nearAvx2(b));
    near = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(anyNear)));
    // Packed within each 128-bit half (r0-3 g0-3 b0-3 a0-3 | r4-7 ..), with
    // the clamp to 0 .. 255, then put in pixel order.
    const __m256i planar =
        _mm256_packus_epi16(_mm256_packs_epi32(_mm256_srai_epi32(r, kFraction), _mm256_srai_epi32(g, kFraction)),
                            _mm256_packs_epi32(_mm256_srai_epi32(b, kFraction), a));
    return _mm256_shuffle_epi8(planar, _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4,
                                                        8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
}

TARGET_AVX2 void pixelsToRgbaAvx2(const uint8_t* pixels, uint8_t* rgba, int count) {
    const __m256i byte = _mm256_set1_epi32(0xFF);
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i in = loadAvx2(pixels + 4 * i);
        unsigned near;
        const __m256i out = toRgbaAvx2(_mm256_srli_epi32(in, 24), _mm256_and_si256(_mm256_srli_epi32(in, 16), byte),
                                       _mm256_and_si256(_mm256_srli_epi32(in, 8), byte), _mm256_and_si256(in, byte),
                                       near);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(rgba + 4 * i), out);
        for (int j = 0; near != 0; ++j, near >>= 1) {
            if ((near & 1u) != 0) pixelsToRgbaPlain(pixels + 4 * (i + j), rgba + 4 * (i + j), 1);
        }
    }
    pixelsToRgbaPlain(pixels + 4 * i, rgba + 4 * i, count - i);
}

// Eight bytes of a plane as 32-bit lanes.
TARGET_AVX2 inline __m256i load8(const uint8_t* p) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

TARGET_AVX2 void planesToRgbaAvx2(ConstPlaneRow p, uint8_t* rgba, int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        unsigned near;
        const __m256i out = toRgbaAvx2(load8(p.y + i), load8(p.cb + i), load8(p.cr + i), load8(p.a + i), near);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(rgba + 4 * i), out);
        for (int j = 0; near != 0; ++j, near >>= 1) {
            if ((near & 1u) != 0) planesToRgbaPlain(offset(p, i + j), rgba + 4 * (i + j), 1);
        }
    }
    planesToRgbaPlain(offset(p, i), rgba + 4 * i, count - i);
}
#undef TARGET_AVX2
#endif

enum class Form { Plain, Sse2, Avx2 };

Form formAt(IsaLevel level) {
#if defined(__SSE2__)
    const IsaLevel allowed = std::min(level, isaLevel());
    if (allowed >= IsaLevel::Avx2) return Form::Avx2;
    if (allowed >= IsaLevel::Sse2) return Form::Sse2;
#else
    (void)level;
#endif
    return Form::Plain;
}

}  // namespace

void rgbaToPixels(const uint8_t* rgba, uint8_t* pixels, int count, IsaLevel level) {
    switch (formAt(level)) {
#if defined(__SSE2__)
    case Form::Avx2: rgbaToPixelsAvx2(rgba, pixels, count); return;
    case Form::Sse2: rgbaToPixelsSse2(rgba, pixels, count); return;
#endif
    default: rgbaToPixelsPlain(rgba, pixels, count); return;
    }
}

void pixelsToRgba(const uint8_t* pixels, uint8_t* rgba, int count, IsaLevel level) {
    switch (formAt(level)) {
#if defined(__SSE2__)
    case Form::Avx2: pixelsToRgbaAvx2(pixels, rgba, count); return;
    case Form::Sse2: pixelsToRgbaSse2(pixels, rgba, count); return;
#endif
    default: pixelsToRgbaPlain(pixels, rgba, count); return;
    }
}

void rgbaToPlanes(const uint8_t* rgba, const PlaneRow& planes, int count, IsaLevel level) {
    switch (formAt(level)) {
#if defined(__SSE2__)
    case Form::Avx2: rgbaToPlanesAvx2(rgba, planes, count); return;
    case Form::Sse2: rgbaToPlanesSse2(rgba, planes, count); return;
#endif
    default: rgbaToPlanesPlain(rgba, planes, count); return;
    }
}

void planesToRgba(const ConstPlaneRow& planes, uint8_t* rgba, int count, IsaLevel level) {
    switch (formAt(level)) {
#if defined(__SSE2__)
    case Form::Avx2: planesToRgbaAvx2(planes, rgba, count); return;
    case Form::Sse2: planesToRgbaSse2(planes, rgba, count); return;
#endif
    default: planesToRgbaPlain(planes, rgba, count); return;
    }
}

}  // namespace fieldfx
