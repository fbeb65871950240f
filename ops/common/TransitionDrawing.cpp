#include "TransitionDrawing.h"

#include <cstddef>
#include <cstdint>

#include "OperatorSupport.h"

namespace {

// One row of a pass as the pixel loops read it. It is passed by value, so
// that it stays in registers while the loops write bytes (which could
// otherwise alias it and force it to be reloaded for every pixel).
struct RowDraw {
    const double* columnCos;
    const double* columnSin;
    double rowSin, rowCos;
    double originX, originY;
    double widthBound, heightBound;  // W and H as doubles for the coverage test
    int32_t trailWeight;
    uint32_t sampleWeight;  // 255 - D for a trail pass, 255 for kReplacePixel
};

// Target pixel x of a row (p its first byte). kTrail: a trail pass, which
// blends (built apart from the final pass, which replaces, so that neither
// tests the pass kind per pixel).
template <bool kTrail>
[[gnu::always_inline]] inline void drawPixel(uint8_t* p, int32_t x, const RowDraw& r, const FieldSampler& moving) {
    const double sx = r.columnCos[x] - r.rowSin + r.originX;
    const double sy = (r.columnSin[x] + r.rowCos) * 0.5 + r.originY;
    // Written so that NaN fails: no conversion to an integer happens for a
    // position outside the field.
    if (!(sx >= 0.0 && sx < r.widthBound && sy >= 0.0 && sy < r.heightBound)) return;
    if constexpr (!kTrail) {
        moving.sample(sx, sy, p);
    } else {
        uint8_t sample[PIXEL_BYTES];
        moving.sample<1>(sx, sy, sample);  // byte 0 is not blended
        p[1] = mixByStrength(sample[1], p[1], r.sampleWeight);
        p[2] = mixByStrength(sample[2], p[2], r.sampleWeight);
        p[3] = mixByStrength(sample[3], p[3], r.sampleWeight);
    }
}

template <bool kTrail>
void drawRow(uint8_t* row, int32_t width, const RowDraw& pass, const FieldSampler& moving) {
    const RowDraw r = pass;
    for (int32_t x = 0; x < width; ++x) drawPixel<kTrail>(row + x * PIXEL_BYTES, x, r, moving);
}

#if defined(__x86_64__) || defined(__i386__)
// drawRow four pixels at a time: the positions in vectors of four doubles,
// with the scalar operations in the same order, then sampleFourInside. A
// group of four with a position outside the field or a neighbour to clamp
// is drawn pixel by pixel, as is the tail of the row.
template <bool kTrail>
__attribute__((target("avx2"))) void drawRowFours(uint8_t* row, int32_t width, const RowDraw& pass,
                                                  const FieldSampler& moving) {
    // A local copy, whose address the loop never gives away, so that the
    // compiler keeps it in registers across the stores.
    const RowDraw r = pass;
    const double* const columnCos = r.columnCos;
    const double* const columnSin = r.columnSin;
    const __m256d rowSin = _mm256_set1_pd(r.rowSin), rowCos = _mm256_set1_pd(r.rowCos);
    const __m256d originX = _mm256_set1_pd(r.originX), originY = _mm256_set1_pd(r.originY);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d widthBound = _mm256_set1_pd(r.widthBound), heightBound = _mm256_set1_pd(r.heightBound);
    // The trail mix in 16-bit lanes (every sum is at most 65025), byte 0 kept.
    const __m128i take = _mm_set1_epi16(static_cast<int16_t>(r.sampleWeight));
    const __m128i keep = _mm_set1_epi16(static_cast<int16_t>(255u - r.sampleWeight));
    const __m128i zero = _mm_setzero_si128();
    const __m128i firstBytes = _mm_set1_epi32(0xFF);
    auto mix = [&](__m128i s, __m128i q) {  // div255Narrow(s * take + q * keep)
        return div255Lanes(_mm_add_epi16(_mm_mullo_epi16(s, take), _mm_mullo_epi16(q, keep)));
    };
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        uint8_t* p = row + x * PIXEL_BYTES;
        const __m256d sx = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(columnCos + x), rowSin), originX);
        const __m256d sy =
            _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(_mm256_loadu_pd(columnSin + x), rowCos), half), originY);
        __m128i samples;
        if (!sampleFourInside(moving, sx, sy, widthBound, heightBound, samples)) {
            for (int32_t k = 0; k < 4; ++k) drawPixel<kTrail>(p + k * PIXEL_BYTES, x + k, r, moving);
        } else if constexpr (!kTrail) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), samples);
        } else {
            const __m128i target = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i low = mix(_mm_unpacklo_epi8(samples, zero), _mm_unpacklo_epi8(target, zero));
            const __m128i high = mix(_mm_unpackhi_epi8(samples, zero), _mm_unpackhi_epi8(target, zero));
            const __m128i mixed = _mm_packus_epi16(low, high);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                             _mm_or_si128(_mm_and_si128(firstBytes, target), _mm_andnot_si128(firstBytes, mixed)));
        }
    }
    for (; x < width; ++x) drawPixel<kTrail>(row + x * PIXEL_BYTES, x, r, moving);
}

const bool kDrawFours = isaAllows(IsaLevel::Avx2);
#endif

}  // namespace

namespace {

template <bool kTrail>
void drawRows(uint8_t* target, int32_t width, int32_t height, bool canSample, const PassTerms& terms,
              const FieldSampler& moving, int32_t trailWeight) {
    const FieldSampler sampler = moving;
    RowDraw r{terms.columnCos, terms.columnSin, 0.0, 0.0, terms.originX, terms.originY,
              static_cast<double>(width), static_cast<double>(height), trailWeight,
              trailWeight < 0 ? 255u : 255u - static_cast<uint32_t>(trailWeight)};
    for (int32_t y = 0; y < height; ++y) {
        if (canSample) {
            uint8_t* row = target + static_cast<size_t>(y) * static_cast<size_t>(width) * PIXEL_BYTES;
            r.rowSin = terms.rowSin[y];
            r.rowCos = terms.rowCos[y];
#if defined(__x86_64__) || defined(__i386__)
            if (kDrawFours) {
                drawRowFours<kTrail>(row, width, r, sampler);
            } else {
                drawRow<kTrail>(row, width, r, sampler);
            }
#else
            drawRow<kTrail>(row, width, r, sampler);
#endif
        }
        opChkAbort();
    }
}

}  // namespace

void drawPass(uint8_t* target, int32_t width, int32_t height, bool canSample, const PassTerms& terms,
              const FieldSampler& moving, int32_t trailWeight) {
    if (trailWeight < 0) {
        drawRows<false>(target, width, height, canSample, terms, moving, trailWeight);
    } else {
        drawRows<true>(target, width, height, canSample, terms, moving, trailWeight);
    }
}
