// Bilinear sampling of the two fields of a transition. The render binds its
// two fields into a sampling context and takes from it a sampler for the
// field it draws from; the sampler reads pixels of that field at clamped
// integer or fractional positions.
//
// The primary field's geometry rules both fields: its width is the row
// stride of both, and every fetch is clamped into its valid region. The
// routines do no allocation, call no host service and report nothing.
//
// The samplers are inline so that the transitions' pixel loops can inline
// them. Where SSE2 is available (and the instruction-set level allows it)
// the four bytes of a sample are worked out side by side, two doubles to a
// register, with the very operations of the one-byte formula, so the result
// does not depend on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "IsaLevel.h"
#include "OperatorApi.h"

#if defined(__SSE2__)
// Whether a sample's four bytes are worked out in SSE2 lanes (see
// FieldSampler::interpolate4) or one by one; chosen once.
inline const bool kSampleInLanes = isaAllows(IsaLevel::Sse2);
#endif

struct FieldSampler;

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

    // Samplers of the bound primary and secondary field.
    FieldSampler primarySampler() const;
    FieldSampler secondarySampler() const;
};

// Binds the render's two fields into `context`. Returns false when nothing
// can be sampled: a field size of 0 or less, or a valid region that does not
// overlap the field. The caller must not sample then.
bool bindSamplingContext(FieldImage* primary, FieldImage* secondary, SamplingContext& context);

// The sampling geometry applied to one field's pixels, as plain values. The
// transitions' pixel loops keep one in a local: the bytes they write could
// otherwise alias it and force it to be reloaded for every pixel.
struct FieldSampler {
    const uint8_t* pixels;
    size_t stride;  // bytes per row: fieldWidth pixels
    int32_t clampLeft, clampTop, clampRight, clampBottom;

    // First byte of the pixel at (x, y) clamped into the region.
    const uint8_t* clampedPixel(int32_t x, int32_t y) const {
        if (x < clampLeft) x = clampLeft;
        else if (x > clampRight) x = clampRight;
        if (y < clampTop) y = clampTop;
        else if (y > clampBottom) y = clampBottom;
        return pixels + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * PIXEL_BYTES;
    }

    // One byte of the bilinear sample. The neighbour differences are
    // integers converted to double; the rest is double precision in this
    // order; the result is truncated toward zero. It lies between the
    // smallest and largest neighbour, so it fits a byte.
    static uint8_t interpolate(int a, int b, int c, int d, double fx, double fy) {
        const double top = static_cast<double>(b - a) * fx + a;
        const double bottom = static_cast<double>(d - c) * fx + c;
        const double value = (bottom - top) * fy + top;
        return static_cast<uint8_t>(static_cast<int32_t>(value));
    }

    // Bilinear sample at (x, y), 0 <= x < fieldWidth and 0 <= y <
    // fieldHeight (callers test this first, which also keeps the conversion
    // to an integer defined). Neighbours A (xi, yi), B (xi + 1, yi),
    // C (xi, yi + 1), D (xi + 1, yi + 1), each clamped into the region; when
    // none of them needs clamping, which is most of the time, they are
    // addressed directly. Bytes below `first` of `out` are left unwritten
    // (for callers that use only bytes 1 to 3).
    template <int first = 0>
    void sample(double x, double y, uint8_t* out) const {
        const int32_t xi = static_cast<int32_t>(x);
        const int32_t yi = static_cast<int32_t>(y);
        const double fx = x - xi;
        const double fy = y - yi;
        const uint8_t *a, *b, *c, *d;
        if (xi >= clampLeft && xi < clampRight && yi >= clampTop && yi < clampBottom) {
            a = pixels + static_cast<size_t>(yi) * stride + static_cast<size_t>(xi) * PIXEL_BYTES;
            b = a + PIXEL_BYTES;
            c = a + stride;
            d = c + PIXEL_BYTES;
        } else {
            a = clampedPixel(xi, yi);
            b = clampedPixel(xi + 1, yi);
            c = clampedPixel(xi, yi + 1);
            d = clampedPixel(xi + 1, yi + 1);
        }
        uint8_t result[PIXEL_BYTES];
#if defined(__SSE2__)
        if (kSampleInLanes) {
            interpolate4(a, b, c, d, fx, fy, result);
        } else {
            for (int i = first; i < PIXEL_BYTES; ++i) result[i] = interpolate(a[i], b[i], c[i], d[i], fx, fy);
        }
#else
        for (int i = first; i < PIXEL_BYTES; ++i) result[i] = interpolate(a[i], b[i], c[i], d[i], fx, fy);
#endif
        for (int i = first; i < PIXEL_BYTES; ++i) out[i] = result[i];
    }

#if defined(__SSE2__)
    static __m128i widen(const uint8_t* p) {
        int32_t word;
        std::memcpy(&word, p, sizeof word);
        const __m128i zero = _mm_setzero_si128();
        return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
    }

    // interpolate() on all four bytes at once, bytes 0 and 1 in one register
    // of two doubles and bytes 2 and 3 in another. Every lane does the same
    // IEEE double operations in the same order, so the bytes are identical.
    static void interpolate4(const uint8_t* a, const uint8_t* b, const uint8_t* c,
                             const uint8_t* d, double fx, double fy, uint8_t* out) {
        const __m128i ia = widen(a), ib = widen(b), ic = widen(c), id = widen(d);
        const __m128i ab = _mm_sub_epi32(ib, ia);
        const __m128i cd = _mm_sub_epi32(id, ic);
        const __m128d vfx = _mm_set1_pd(fx);
        const __m128d vfy = _mm_set1_pd(fy);
        auto half = [&](int shuffle) {
            auto pick = [shuffle](__m128i v) {
                return _mm_cvtepi32_pd(shuffle ? _mm_shuffle_epi32(v, 0xEE) : v);
            };
            const __m128d top = _mm_add_pd(_mm_mul_pd(pick(ab), vfx), pick(ia));
            const __m128d bottom = _mm_add_pd(_mm_mul_pd(pick(cd), vfx), pick(ic));
            return _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(_mm_sub_pd(bottom, top), vfy), top));
        };
        const __m128i values = _mm_unpacklo_epi64(half(0), half(1));
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(values, values), values);
        const int32_t word = _mm_cvtsi128_si32(bytes);
        std::memcpy(out, &word, sizeof word);
    }
#endif
};

#if defined(__x86_64__) || defined(__i386__)
// Four bilinear samples side by side, in code built for AVX2: the positions
// of lanes 0..3 have integer parts xi, yi that need no clamping (clampLeft
// <= xi < clampRight, clampTop <= yi < clampBottom) and fractions fx, fy.
// Returns the bytes of sample() for each, pixel k in bytes 4k .. 4k + 3.
// Each byte goes through interpolate()'s double operations in the same
// order, one pixel to a lane, so the bytes are identical.
__attribute__((target("avx2"))) inline __m128i sampleFour(const FieldSampler& field, const int32_t* xi,
                                                          const int32_t* yi, __m256d fx, __m256d fy) {
    __m128i ab[4], cd[4];  // neighbours A B and C D of each position
    for (int k = 0; k < 4; ++k) {
        const uint8_t* a =
            field.pixels + static_cast<size_t>(yi[k]) * field.stride + static_cast<size_t>(xi[k]) * PIXEL_BYTES;
        ab[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(a));
        cd[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + field.stride));
    }
    const __m128i ab01 = _mm_unpacklo_epi32(ab[0], ab[1]), ab23 = _mm_unpacklo_epi32(ab[2], ab[3]);
    const __m128i cd01 = _mm_unpacklo_epi32(cd[0], cd[1]), cd23 = _mm_unpacklo_epi32(cd[2], cd[3]);
    // The four A pixels, the four B pixels, and so on.
    const __m128i a4 = _mm_unpacklo_epi64(ab01, ab23), b4 = _mm_unpackhi_epi64(ab01, ab23);
    const __m128i c4 = _mm_unpacklo_epi64(cd01, cd23), d4 = _mm_unpackhi_epi64(cd01, cd23);
    __m128i result = _mm_setzero_si128();
    for (int byte = 0; byte < PIXEL_BYTES; ++byte) {
        // Byte `byte` of each of the four pixels, as 32-bit lanes.
        const __m128i pick = _mm_setr_epi8(static_cast<char>(byte), -1, -1, -1, static_cast<char>(4 + byte), -1, -1,
                                           -1, static_cast<char>(8 + byte), -1, -1, -1,
                                           static_cast<char>(12 + byte), -1, -1, -1);
        const __m128i a = _mm_shuffle_epi8(a4, pick), b = _mm_shuffle_epi8(b4, pick);
        const __m128i c = _mm_shuffle_epi8(c4, pick), d = _mm_shuffle_epi8(d4, pick);
        const __m256d top = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm_sub_epi32(b, a)), fx),
                                          _mm256_cvtepi32_pd(a));
        const __m256d bottom = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm_sub_epi32(d, c)), fx),
                                             _mm256_cvtepi32_pd(c));
        const __m128i value =
            _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(bottom, top), fy), top));
        result = _mm_or_si128(result, _mm_sll_epi32(value, _mm_cvtsi32_si128(8 * byte)));
    }
    return result;
}

// The four samples of a pixel loop's positions (sx, sy), lanes 0..3, into
// `out` when every position lies inside the field, 0 <= sx < widthBound and
// 0 <= sy < heightBound (a NaN fails), and none of their neighbours needs
// clamping; otherwise returns false and leaves `out` alone, for the caller
// to treat the four one by one. The integer parts and fractions are those of
// sample(): truncation toward zero and x - xi.
__attribute__((target("avx2"))) inline bool sampleFourInside(const FieldSampler& field, __m256d sx, __m256d sy,
                                                             __m256d widthBound, __m256d heightBound,
                                                             __m128i& out) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d inside = _mm256_and_pd(
        _mm256_and_pd(_mm256_cmp_pd(sx, zero, _CMP_GE_OQ), _mm256_cmp_pd(sx, widthBound, _CMP_LT_OQ)),
        _mm256_and_pd(_mm256_cmp_pd(sy, zero, _CMP_GE_OQ), _mm256_cmp_pd(sy, heightBound, _CMP_LT_OQ)));
    if (_mm256_movemask_pd(inside) != 0xF) return false;
    const __m128i xi = _mm256_cvttpd_epi32(sx);
    const __m128i yi = _mm256_cvttpd_epi32(sy);
    const __m128i unclamped = _mm_and_si128(
        _mm_andnot_si128(_mm_cmplt_epi32(xi, _mm_set1_epi32(field.clampLeft)),
                         _mm_cmplt_epi32(xi, _mm_set1_epi32(field.clampRight))),
        _mm_andnot_si128(_mm_cmplt_epi32(yi, _mm_set1_epi32(field.clampTop)),
                         _mm_cmplt_epi32(yi, _mm_set1_epi32(field.clampBottom))));
    if (_mm_movemask_ps(_mm_castsi128_ps(unclamped)) != 0xF) return false;
    alignas(16) int32_t columns[4], rows[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(columns), xi);
    _mm_store_si128(reinterpret_cast<__m128i*>(rows), yi);
    out = sampleFour(field, columns, rows, _mm256_sub_pd(sx, _mm256_cvtepi32_pd(xi)),
                     _mm256_sub_pd(sy, _mm256_cvtepi32_pd(yi)));
    return true;
}
#endif

inline FieldSampler samplerFor(const SamplingContext& context, const FieldImage* field) {
    return FieldSampler{field->pixels, static_cast<size_t>(context.fieldWidth) * PIXEL_BYTES,
                        context.clampLeft, context.clampTop, context.clampRight, context.clampBottom};
}

inline FieldSampler SamplingContext::primarySampler() const { return samplerFor(*this, primaryField); }
inline FieldSampler SamplingContext::secondarySampler() const { return samplerFor(*this, secondaryField); }
