#include "TransitionDrawing.h"

#include <algorithm>
#include <cmath>
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

// The sample position of target pixel x of a row (drawRowFours works out
// the same operations in vector lanes).
inline double sampleX(const RowDraw& r, int32_t x) { return r.columnCos[x] - r.rowSin + r.originX; }
inline double sampleY(const RowDraw& r, int32_t x) { return (r.columnSin[x] + r.rowCos) * 0.5 + r.originY; }

// Target pixel x of a row (p its first byte). kTrail: a trail pass, which
// blends (built apart from the final pass, which replaces, so that neither
// tests the pass kind per pixel).
template <bool kTrail>
[[gnu::always_inline]] inline void drawPixel(uint8_t* p, int32_t x, const RowDraw& r, const FieldSampler& moving) {
    const double sx = sampleX(r, x);
    const double sy = sampleY(r, x);
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

// Pixels begin <= x < end of a row.
template <bool kTrail>
void drawRow(uint8_t* row, int32_t begin, int32_t end, const RowDraw& pass, const FieldSampler& moving) {
    const RowDraw r = pass;
    for (int32_t x = begin; x < end; ++x) drawPixel<kTrail>(row + x * PIXEL_BYTES, x, r, moving);
}

#if defined(__x86_64__) || defined(__i386__)
// drawRow four pixels at a time: the positions in vectors of four doubles,
// with the scalar operations in the same order, then sampleFourInside. A
// group of four with a position outside the field or a neighbour to clamp
// is drawn pixel by pixel, as is the tail of the row.
template <bool kTrail>
__attribute__((target("avx2"))) void drawRowFours(uint8_t* row, int32_t begin, int32_t end, const RowDraw& pass,
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
    int32_t x = begin;
    for (; x + 4 <= end; x += 4) {
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
    for (; x < end; ++x) drawPixel<kTrail>(row + x * PIXEL_BYTES, x, r, moving);
}

const bool kDrawFours = isaAllows(IsaLevel::Avx2);
#endif

}  // namespace

namespace {

// Why the covered pixels of a row are one span: rounding to nearest is
// monotone, so when the column terms are finite and ordered (each one
// non-decreasing or non-increasing along the row) and the row terms and
// origins are finite, sx = (columnCos[x] - rowSin) + originX moves one way
// along the row, and so does sy. Each of the tests 0 <= sx, sx < W, 0 <= sy
// and sy < H then holds on a prefix or a suffix of the row (or on all or none
// of it), and all four hold on one span, which bisection finds with the very
// tests of drawPixel.

bool finiteAndOrdered(const double* terms, int32_t count) {
    bool up = true, down = true;
    for (int32_t i = 0; i < count; ++i) {
        if (!std::isfinite(terms[i])) return false;
        if (i > 0) {
            up = up && terms[i - 1] <= terms[i];
            down = down && terms[i - 1] >= terms[i];
        }
    }
    return up || down;
}

bool allFinite(const double* terms, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        if (!std::isfinite(terms[i])) return false;
    }
    return true;
}

// Whether every row's covered pixels are one span (see above).
bool rowsAreSpans(const PassTerms& terms, int32_t width, int32_t height) {
    return std::isfinite(terms.originX) && std::isfinite(terms.originY) &&
           finiteAndOrdered(terms.columnCos, width) && finiteAndOrdered(terms.columnSin, width) &&
           allFinite(terms.rowSin, height) && allFinite(terms.rowCos, height);
}

// Where along a row a column term is expected to reach `level`: the terms
// lie close to the straight line through their ends (they are made from
// x - centre), so the column found here is where a search starts looking;
// the search itself stays exact. width >= 1.
int32_t columnNear(const double* terms, int32_t width, double level) {
    const double at = (level - terms[0]) / (terms[width - 1] - terms[0]) * (width - 1);
    if (!(at >= 0.0)) return 0;  // also NaN, for equal ends
    if (at >= width - 1) return width - 1;
    return static_cast<int32_t>(at);
}

// The columns 0..width-1 (width >= 1) on which `holds` is true, for a test
// that is true on a prefix or a suffix of them: bisection, after probes
// around `near`, where the change most likely lies.
template <class Test>
RowSpan spanWhere(int32_t width, int32_t near, Test holds) {
    const bool first = holds(0);
    if (first == holds(width - 1)) return first ? RowSpan{0, width} : RowSpan{0, 0};
    int32_t same = 0, changed = width - 1;  // holds(same) == first != holds(changed)
    for (const int32_t probe : {near, near + 1, near - 1}) {
        if (probe <= same || probe >= changed) continue;
        if (holds(probe) == first) {
            same = probe;
        } else {
            changed = probe;
        }
    }
    while (changed - same > 1) {
        const int32_t mid = same + (changed - same) / 2;
        if (holds(mid) == first) {
            same = mid;
        } else {
            changed = mid;
        }
    }
    return first ? RowSpan{0, changed} : RowSpan{changed, width};
}

// The covered pixels of one row, for terms whose rows are spans. sx reaches
// a level L where columnCos = L + rowSin - originX; sy where columnSin =
// (L - originY) * 2 - rowCos.
RowSpan rowSpan(const RowDraw& r, int32_t width) {
    if (width <= 0) return RowSpan{0, 0};
    auto nearX = [&](double level) { return columnNear(r.columnCos, width, level + r.rowSin - r.originX); };
    auto nearY = [&](double level) { return columnNear(r.columnSin, width, (level - r.originY) * 2.0 - r.rowCos); };
    const RowSpan spans[] = {
        spanWhere(width, nearX(0.0), [&](int32_t x) { return sampleX(r, x) >= 0.0; }),
        spanWhere(width, nearX(r.widthBound), [&](int32_t x) { return sampleX(r, x) < r.widthBound; }),
        spanWhere(width, nearY(0.0), [&](int32_t x) { return sampleY(r, x) >= 0.0; }),
        spanWhere(width, nearY(r.heightBound), [&](int32_t x) { return sampleY(r, x) < r.heightBound; }),
    };
    RowSpan all{0, width};
    for (const RowSpan& span : spans) {
        all.begin = std::max(all.begin, span.begin);
        all.end = std::min(all.end, span.end);
    }
    if (all.end < all.begin) all.end = all.begin;
    return all;
}

RowDraw rowDraw(const PassTerms& terms, int32_t width, int32_t height, int32_t trailWeight) {
    return RowDraw{terms.columnCos, terms.columnSin, 0.0, 0.0, terms.originX, terms.originY,
                   static_cast<double>(width), static_cast<double>(height), trailWeight,
                   trailWeight < 0 ? 255u : 255u - static_cast<uint32_t>(trailWeight)};
}

template <bool kTrail>
void drawSpan(uint8_t* row, int32_t begin, int32_t end, const RowDraw& r, const FieldSampler& sampler) {
    if (begin >= end) return;
#if defined(__x86_64__) || defined(__i386__)
    if (kDrawFours) {
        drawRowFours<kTrail>(row, begin, end, r, sampler);
    } else {
        drawRow<kTrail>(row, begin, end, r, sampler);
    }
#else
    drawRow<kTrail>(row, begin, end, r, sampler);
#endif
}

// Rows whose terms are spans are drawn on their span only, less the pixels
// a later pass replaces; the per-pixel test still decides every pixel drawn.
template <bool kTrail>
void drawRows(uint8_t* target, int32_t width, int32_t height, bool canSample, const PassTerms& terms,
              const FieldSampler& moving, int32_t trailWeight, const RowSpan* replacedLater) {
    const FieldSampler sampler = moving;
    RowDraw r = rowDraw(terms, width, height, trailWeight);
    const bool spans = canSample && rowsAreSpans(terms, width, height);
    for (int32_t y = 0; y < height; ++y) {
        if (canSample) {
            uint8_t* row = target + static_cast<size_t>(y) * static_cast<size_t>(width) * PIXEL_BYTES;
            r.rowSin = terms.rowSin[y];
            r.rowCos = terms.rowCos[y];
            const RowSpan span = spans ? rowSpan(r, width) : RowSpan{0, width};
            if (replacedLater == nullptr) {
                drawSpan<kTrail>(row, span.begin, span.end, r, sampler);
            } else {
                const RowSpan skip = replacedLater[y];
                drawSpan<kTrail>(row, span.begin, std::min(span.end, skip.begin), r, sampler);
                drawSpan<kTrail>(row, std::max(span.begin, skip.end), span.end, r, sampler);
            }
        }
        opChkAbort();
    }
}

}  // namespace

void drawPass(uint8_t* target, int32_t width, int32_t height, bool canSample, const PassTerms& terms,
              const FieldSampler& moving, int32_t trailWeight, const RowSpan* replacedLater) {
    if (trailWeight < 0) {
        drawRows<false>(target, width, height, canSample, terms, moving, trailWeight, replacedLater);
    } else {
        drawRows<true>(target, width, height, canSample, terms, moving, trailWeight, replacedLater);
    }
}

bool coveredSpans(const PassTerms& terms, int32_t width, int32_t height, RowSpan* spans) {
    if (!rowsAreSpans(terms, width, height)) return false;
    RowDraw r = rowDraw(terms, width, height, kReplacePixel);
    for (int32_t y = 0; y < height; ++y) {
        r.rowSin = terms.rowSin[y];
        r.rowCos = terms.rowCos[y];
        spans[y] = rowSpan(r, width);
    }
    return true;
}
