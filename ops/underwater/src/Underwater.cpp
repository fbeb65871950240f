// Underwater: the picture wavers as if seen through moving water. Every column
// of the valid region is replaced by a neighbouring column picked by a sine
// wave along the width, then every row by a neighbouring row picked by a
// cosine wave down the height. Both waves travel with the position, and the
// displacement fades in over the first and out over the last fadePercent / 2
// percent of the run. Pixels are only moved, never computed.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "FadeStrength.h"
#include "NearSine.h"
#include "OperatorSupport.h"
#include "TruncatedPi.h"

// ---------------------------------------------------------------------------
// Descriptors and tag list. The host writes its settings into these.

static const char kSource[] = "src\\Underwater";
static const uint32_t kMessageCode = 0x0B7F0000u;
static const char kRevision[] = "$Id: Underwater.cpp,v 1.0 2014/03/24 $";

static SliderParam waveCount = {{PARAM_SLIDER, 610, 0}, 611, 0, 1, 10, 5};
static SliderParam waveAmplitude = {{PARAM_SLIDER, 620, 0}, 621, 0, 1, 20, 10};
static SliderParam waveSpeed = {{PARAM_SLIDER, 630, 0}, 631, 0, 1, 30, 15};
static SliderParam fadePercent = {{PARAM_SLIDER, 640, 0}, 641, 0, 0, 100, 25};

static uintptr_t tagList[] = {
    OPERATOR_TAG_LIST_HEAD(1, kRevision),
    OPERATOR_TAG_PARAM(1, waveCount),
    OPERATOR_TAG_PARAM(2, waveAmplitude),
    OPERATOR_TAG_PARAM(3, waveSpeed),
    OPERATOR_TAG_PARAM(4, fadePercent),
    0,
};

// ---------------------------------------------------------------------------
// Per-field set-up: the wave settings and the source column of every column
// and source row of every row of the region. The offset of a column depends
// only on the column and the position, that of a row only on the row, so each
// is worked out once per field.

static const int32_t kStrengthScale = 1024;

// A region is at most 32767 pixels wide and high.
static const int32_t kMaxExtent = 32768;
static int32_t sourceColumn[kMaxExtent];
static int32_t sourceRow[kMaxExtent];

struct Wave {
    double count;      // n
    double amplitude;  // A
    double speed;      // v, columns (and rows) per field
};

static Wave waveSettings(int32_t count, int32_t amplitude, int32_t speed, const OperatorRequest& request) {
    Wave wave{static_cast<double>(count), static_cast<double>(amplitude), speed * 0.25};
    if ((request.flags & FLAG_REDUCED_SIZE) != 0) {
        wave.speed = wave.speed * 0.5;
        // The product of a 16- and a 32-bit number is exact in double
        // precision, so it equals the integer product wherever that fits 32
        // bits and cannot overflow. A scale with denominator 0 is no scale:
        // the amplitude is left as it is rather than divided by zero.
        if (request.scaleDen != 0) {
            wave.amplitude = (static_cast<double>(request.scaleNum) * amplitude) / request.scaleDen;
        }
    }
    return wave;
}

// Source index = index + offset, the offset truncated toward zero, limited to
// 0..count-1. An offset beyond +-kFar takes the index past either end of any
// region, so it is held there before the conversion to an integer; a NaN,
// which finite settings never produce, moves nothing. Written with selects
// only, so that loops over many offsets vectorise.
static inline int32_t sourceIndex(int32_t index, double offset, int32_t count) {
    const double kFar = 65536.0;
    // Quiet comparisons, which a NaN passes without a floating-point signal.
    const double held = std::isgreater(offset, kFar) ? kFar
                      : std::isless(offset, -kFar)   ? -kFar
                      : offset == offset             ? offset
                                                     : 0.0;
    const int32_t source = index + static_cast<int32_t>(held);
    return source < 0 ? 0 : (source >= count ? count - 1 : source);
}

// A wave's offset: its sine or cosine value times the amplitude, times
// `twice` (2 for the columns' sine wave; 1 for the rows' cosine wave, where
// the product with 1 changes nothing), times the strength, over the strength
// scale.
static inline double waveOffset(double value, double amplitude, double twice, double strength) {
    return value * amplitude * twice * strength / kStrengthScale;
}

// The source index of every index of a line of `length`, first from the near
// sine or cosine, in plain loops that the compiler vectorises (each element
// keeps the written order of operations). The offset is the library's sine or
// cosine of the phase times fixed factors, and the source index a truncation
// and a clamp of it, so the index can only grow (or only shrink) with the
// sine: where both ends of the interval around the near value that holds the
// library's value give one index, that is its index. The library is called
// only where they differ, within about 1e-9 of an index boundary, or where
// the phase is too large for the near values.
static double wavePhase[kMaxExtent];
static uint8_t waveSettled[kMaxExtent];

static void nearLineSources(int32_t* sources, int32_t length, double travel, double turn, const Wave& wave,
                            double twice, double strength, bool cosine) {
    const double count = wave.count;
    const double amplitude = wave.amplitude;
    runInWidestBuild([&]() ISA_BODY {
        for (int32_t i = 0; i < length; ++i) {
            const double phase = ((travel + i) * turn * count) / length;
            const double near = nearSineOrCosine(phase, cosine);
            const int32_t low = sourceIndex(i, waveOffset(near - kNearSineSlack, amplitude, twice, strength), length);
            const int32_t high =
                sourceIndex(i, waveOffset(near + kNearSineSlack, amplitude, twice, strength), length);
            wavePhase[i] = phase;
            sources[i] = low;
            waveSettled[i] = nearSineServes(phase) && low == high;
        }
    });
}

// Fills `sources` for a line; returns whether any index has another source.
static bool fillLineSources(int32_t* sources, int32_t length, double travel, double turn, const Wave& wave,
                            double twice, double strength, bool cosine) {
    nearLineSources(sources, length, travel, turn, wave, twice, strength, cosine);
    bool moves = false;
    for (int32_t i = 0; i < length; ++i) {
        if (!waveSettled[i]) {
            const double value = cosine ? std::cos(wavePhase[i]) : std::sin(wavePhase[i]);
            sources[i] = sourceIndex(i, waveOffset(value, wave.amplitude, twice, strength), length);
        }
        moves = moves || sources[i] != i;
    }
    return moves;
}

// Fills sourceColumn[0..width) and sourceRow[0..height); returns false when
// every column and row is its own source and the region stays as it is.
// Column c reads from c + sin(((t * v + c) * pi * n) / width) * A * 2 * S / 1024,
// row r from r + cos(((t * v + r) * pi/2 * n) / height) * A * S / 1024.
static bool fillSources(const Wave& wave, double travel, int32_t strength, int32_t width, int32_t height) {
    const double s = strength;
    const bool columnsMove = fillLineSources(sourceColumn, width, travel, kPi, wave, 2, s, false);
    const bool rowsMove = fillLineSources(sourceRow, height, travel, kHalfPi, wave, 1, s, true);
    return columnsMove || rowsMove;
}

// ---------------------------------------------------------------------------
// Pixel work over the region only; field and scratch share one geometry.
//
// The two passes together give every pixel (r, c) of the region the original
// pixel (sourceRow[r], sourceColumn[c]): the columns of a row are picked the
// same way in every row, so picking the row first and its columns second
// gives the same bytes as the column pass followed by the row pass. The work
// is done in place, each row of the field gathered from the original of its
// source row. Where the rows can be ordered so that each is read before it
// is overwritten, nothing is saved; otherwise one pass down the region saves
// in the scratch image each row that a later row still reads once it has
// been overwritten. A row that is its own source is gathered into a row
// buffer and copied back.

// needsSaving[r]: some row r2 > r has row r as its source.
static bool needsSaving[kMaxExtent];
static uint8_t rowBuffer[kMaxExtent * PIXEL_BYTES];

static void markSavedRows(int32_t height) {
    for (int32_t r = 0; r < height; ++r) needsSaving[r] = false;
    for (int32_t r = 0; r < height; ++r) {
        if (sourceRow[r] < r) needsSaving[sourceRow[r]] = true;
    }
}

// One row: every pixel from its source column of `src`, as 32-bit words.
// `src` and `dst` are different rows.
static void gatherWords(const uint8_t* __restrict src, uint8_t* __restrict dst, const int32_t* __restrict columns,
                        int32_t from, int32_t to) {
    for (int32_t c = from; c < to; ++c) {
        uint32_t word;
        std::memcpy(&word, src + static_cast<size_t>(columns[c]) * PIXEL_BYTES, sizeof word);
        std::memcpy(dst + static_cast<size_t>(c) * PIXEL_BYTES, &word, sizeof word);
    }
}

// Most blocks of neighbouring output pixels take their sources from a few
// neighbouring source pixels, since a gentle wave moves neighbouring columns
// alike. Such a block is moved with whole-register loads and permutes instead
// of word by word. The sources are the same in every row, so every block's
// first source pixel and permute pattern are worked out once per field. The
// pixels after the last whole block are gathered word by word, and so is a
// block whose sources spread wider than the loads reach. The bytes moved are
// the same either way.
//
// With AVX2, a block is eight output pixels from within sixteen source
// pixels: two 32-byte loads, each permuted by the same word indices, and a
// blend that takes each pixel from the first or the second load by bit 31 of
// its index, which the permute ignores. Without AVX2 but with SSSE3, it is
// four output pixels from within eight source pixels: two 16-byte loads, a
// byte shuffle of each (a pattern byte of 0x80 gives 0) and their union.

// The first source pixel of loads reaching `reach` pixels that cover the
// sources of the block of `block` output pixels starting at column `first`,
// kept inside the row; -1 where no such loads exist.
static int32_t blockLoadStart(int32_t first, int32_t block, int32_t reach, int32_t width) {
    const int32_t* sources = sourceColumn + first;
    int32_t low = sources[0];
    int32_t high = sources[0];
    for (int32_t k = 1; k < block; ++k) {
        low = sources[k] < low ? sources[k] : low;
        high = sources[k] > high ? sources[k] : high;
    }
    const int32_t start = low < width - reach ? low : width - reach;
    if (start < 0 || high - start >= reach) return -1;
    return start;
}

static const int32_t kMaxBlocks = kMaxExtent / 4;
static int32_t blockStart[kMaxBlocks];
// One pattern per block: eight word indices (AVX2) or two byte shuffles (SSSE3).
alignas(32) static uint8_t blockPattern[kMaxBlocks][32];

// How this field's rows are moved (planBlocks decides).
enum class RowMove { Words, Permute, Shuffle };
static RowMove rowMove = RowMove::Words;

#if defined(__x86_64__) || defined(__i386__)
static const bool kCanPermute = isaAllows(IsaLevel::Avx2);
static const bool kCanShuffle = isaAllows(IsaLevel::Ssse3);

static const int32_t kWideBlock = 8;
static const int32_t kWideReach = 16;
static const int32_t kNarrowBlock = 4;
static const int32_t kNarrowReach = 8;

// The AVX2 blocks whose sources spread too wide are listed apart: the permute
// loop moves every block without a test, and these are then gathered again
// word by word over the permute's bytes.
static int32_t wideLooseBlocks[kMaxBlocks];
static int32_t wideLooseCount = 0;

static void planWideBlocks(int32_t width) {
    wideLooseCount = 0;
    for (int32_t b = 0; b < width / kWideBlock; ++b) {
        int32_t start = blockLoadStart(b * kWideBlock, kWideBlock, kWideReach, width);
        if (start < 0) {
            wideLooseBlocks[wideLooseCount++] = b;
            start = 0;  // loads inside the row (of at least kWideReach pixels); the bytes are replaced
        }
        blockStart[b] = start;
        for (int32_t k = 0; k < kWideBlock; ++k) {
            const uint32_t from = static_cast<uint32_t>(sourceColumn[b * kWideBlock + k] - start);
            const uint32_t index = (from & 7u) | (from >= 8 ? 0x80000000u : 0u);
            std::memcpy(blockPattern[b] + k * 4, &index, 4);
        }
    }
}

static void planNarrowBlocks(int32_t width) {
    for (int32_t b = 0; b < width / kNarrowBlock; ++b) {
        const int32_t start = blockLoadStart(b * kNarrowBlock, kNarrowBlock, kNarrowReach, width);
        blockStart[b] = start;
        if (start < 0) continue;
        const int32_t* sources = sourceColumn + b * kNarrowBlock;
        for (int32_t k = 0; k < kNarrowBlock; ++k) {
            for (int32_t byte = 0; byte < PIXEL_BYTES; ++byte) {
                const int32_t from = (sources[k] - start) * PIXEL_BYTES + byte;
                const int32_t to = k * PIXEL_BYTES + byte;
                blockPattern[b][to] = static_cast<uint8_t>(from < 16 ? from : 0x80);
                blockPattern[b][16 + to] = static_cast<uint8_t>(from < 16 ? 0x80 : from - 16);
            }
        }
    }
}

// The permute loop loads sixteen pixels from every block's start, so it
// needs rows at least that wide.
static void planBlocks(int32_t width) {
    if (kCanPermute && width >= kWideReach) {
        planWideBlocks(width);
        rowMove = RowMove::Permute;
    } else if (kCanShuffle) {
        planNarrowBlocks(width);
        rowMove = RowMove::Shuffle;
    } else {
        rowMove = RowMove::Words;
    }
}

__attribute__((target("avx2")))
static void permuteRow(const uint8_t* __restrict src, uint8_t* __restrict dst, int32_t width) {
    const int32_t blocks = width / kWideBlock;
    for (int32_t b = 0; b < blocks; ++b) {
        const uint8_t* from = src + static_cast<size_t>(blockStart[b]) * PIXEL_BYTES;
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
        const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(blockPattern[b]));
        const __m256 picked = _mm256_blendv_ps(_mm256_castsi256_ps(_mm256_permutevar8x32_epi32(first, index)),
                                               _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(second, index)),
                                               _mm256_castsi256_ps(index));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + static_cast<size_t>(b) * kWideBlock * PIXEL_BYTES),
                            _mm256_castps_si256(picked));
    }
    for (int32_t i = 0; i < wideLooseCount; ++i) {
        const int32_t first = wideLooseBlocks[i] * kWideBlock;
        gatherWords(src, dst, sourceColumn, first, first + kWideBlock);
    }
    gatherWords(src, dst, sourceColumn, blocks * kWideBlock, width);
}

__attribute__((target("ssse3")))
static void shuffleRow(const uint8_t* __restrict src, uint8_t* __restrict dst, int32_t width) {
    const int32_t blocks = width / kNarrowBlock;
    for (int32_t b = 0; b < blocks; ++b) {
        const int32_t start = blockStart[b];
        if (start < 0) {
            gatherWords(src, dst, sourceColumn, b * kNarrowBlock, b * kNarrowBlock + kNarrowBlock);
            continue;
        }
        const uint8_t* from = src + static_cast<size_t>(start) * PIXEL_BYTES;
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
        const __m128i pattern0 = _mm_load_si128(reinterpret_cast<const __m128i*>(blockPattern[b]));
        const __m128i pattern1 = _mm_load_si128(reinterpret_cast<const __m128i*>(blockPattern[b] + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<size_t>(b) * kNarrowBlock * PIXEL_BYTES),
                         _mm_or_si128(_mm_shuffle_epi8(first, pattern0), _mm_shuffle_epi8(second, pattern1)));
    }
    gatherWords(src, dst, sourceColumn, blocks * kNarrowBlock, width);
}
#else
static void planBlocks(int32_t) {}
static void permuteRow(const uint8_t*, uint8_t*, int32_t) {}
static void shuffleRow(const uint8_t*, uint8_t*, int32_t) {}
#endif

static void gatherRow(const uint8_t* src, uint8_t* dst, int32_t width) {
    switch (rowMove) {
        case RowMove::Permute: permuteRow(src, dst, width); break;
        case RowMove::Shuffle: shuffleRow(src, dst, width); break;
        case RowMove::Words: gatherWords(src, dst, sourceColumn, 0, width); break;
    }
}

// Whether the source rows never decrease down the region, as with any wave
// gentle enough to move no row past its neighbour's source (the usual case).
static bool sourcesNeverDecrease(int32_t height) {
    for (int32_t r = 1; r < height; ++r) {
        if (sourceRow[r] < sourceRow[r - 1]) return false;
    }
    return true;
}

static void displaceRegion(uint8_t* field, uint8_t* scratch, size_t stride, const PixelRect& region) {
    planBlocks(region.width);
    const int32_t height = region.height;
    const size_t rowBytes = static_cast<size_t>(region.width) * PIXEL_BYTES;
    auto rowAt = [&](uint8_t* image, int32_t r) {
        return image + ((static_cast<size_t>(region.top) + static_cast<size_t>(r)) * stride +
                        static_cast<size_t>(region.left)) * PIXEL_BYTES;
    };
    auto gatherOwnRow = [&](int32_t r) {
        uint8_t* row = rowAt(field, r);
        gatherRow(row, rowBuffer, region.width);
        std::memcpy(row, rowBuffer, rowBytes);
    };
    if (sourcesNeverDecrease(height)) {
        // No row needs saving. Rows that read from below go first, top down,
        // then rows that read from above, bottom up, then rows that are their
        // own source. A row q read from below (by some r < q) is overwritten
        // only after r: later in the first sweep, or in a later sweep. A row q
        // read from above (by r > q) reads from above or itself, as
        // sourceRow[q] <= sourceRow[r] = q, so it is overwritten after r in
        // the second sweep or in the third.
        //
        // Rows with one source are neighbours (the sources never decrease),
        // and follow each other in a sweep: the second is a copy of the
        // first, which is already finished.
        int32_t previous = -1;
        auto gatherInSweep = [&](int32_t r) {
            if (previous >= 0 && sourceRow[previous] == sourceRow[r]) {
                std::memcpy(rowAt(field, r), rowAt(field, previous), rowBytes);
            } else {
                gatherRow(rowAt(field, sourceRow[r]), rowAt(field, r), region.width);
            }
            previous = r;
        };
        for (int32_t r = 0; r < height; ++r) {
            if (sourceRow[r] > r) gatherInSweep(r);
        }
        previous = -1;
        for (int32_t r = height - 1; r >= 0; --r) {
            if (sourceRow[r] < r) gatherInSweep(r);
        }
        for (int32_t r = 0; r < height; ++r) {
            if (sourceRow[r] == r) gatherOwnRow(r);
        }
        return;
    }
    markSavedRows(height);
    for (int32_t r = 0; r < height; ++r) {
        uint8_t* row = rowAt(field, r);
        if (needsSaving[r]) std::memcpy(rowAt(scratch, r), row, rowBytes);
        const int32_t from = sourceRow[r];
        if (from == r) {
            gatherOwnRow(r);
        } else {
            // A source above r has been overwritten and was saved; one below
            // r is still the original.
            gatherRow(from < r ? rowAt(scratch, from) : rowAt(field, from), row, region.width);
        }
    }
}

// ---------------------------------------------------------------------------
// Render: the valid region, cut to the image, is displaced in place in the
// field; the scratch image only keeps the original rows still needed.

static int32_t renderField(const OperatorRequest& request) {
    const uint32_t position = request.position;
    FieldImage* field = opGetField(0, static_cast<int32_t>(position));
    if (field == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    FieldImage* scratch = opAllocImage(-1, -1, 1, 0);
    if (scratch == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    const Wave wave = waveSettings(waveCount.value, waveAmplitude.value, waveSpeed.value, request);
    const int32_t length = static_cast<int32_t>(request.length);
    const int32_t halfRamp = fadeRampLength(length, fadePercent.value) / 2;
    const int32_t strength = inOutStrength(length, static_cast<int32_t>(position), halfRamp, kStrengthScale);
    const double travel = static_cast<double>(position) * wave.speed;  // t * v
    const PixelRect region = clippedRegion(*field);

    if (!region.empty() && fillSources(wave, travel, strength, region.width, region.height)) {
        const size_t stride = static_cast<size_t>(field->width);
        displaceRegion(field->pixels, scratch->pixels, stride, region);
    }
    opFreeImage(scratch);
    return opPutField(field);
}

// ---------------------------------------------------------------------------
// Exports.

OPERATOR_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

OPERATOR_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    return dispatchCommand(request, renderField);
}
