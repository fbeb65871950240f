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

#include "FadeStrength.h"
#include "NearSine.h"
#include "OperatorSupport.h"
#include "TruncatedPi.h"
#include "UnderwaterRows.h"

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
// The sources of this field's columns and rows: filled by fillSources and
// passed to the pixel work; too large for the stack.
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
// the phase is too large for the near values. Each index's phase goes to
// `phases`, and whether its index is settled to `settled`.
[[gnu::always_inline]] static inline void nearLineLoop(int32_t* __restrict sources, double* __restrict phases,
                                               uint8_t* __restrict settled, int32_t length, double travel,
                                               double turn, double count, double amplitude, double twice,
                                               double strength, bool cosine) {
    for (int32_t i = 0; i < length; ++i) {
        const double phase = ((travel + i) * turn * count) / length;
        const double near = nearSineOrCosine(phase, cosine);
        const int32_t low = sourceIndex(i, waveOffset(near - kNearSineSlack, amplitude, twice, strength), length);
        const int32_t high = sourceIndex(i, waveOffset(near + kNearSineSlack, amplitude, twice, strength), length);
        phases[i] = phase;
        sources[i] = low;
        settled[i] = nearSineServes(phase) && low == high;
    }
}

static void nearLineSources(int32_t* sources, double* phases, uint8_t* settled, int32_t length, double travel,
                            double turn, const Wave& wave, double twice, double strength, bool cosine) {
    const double count = wave.count;
    const double amplitude = wave.amplitude;
    // The loop takes its values as arguments, so that they stay in registers
    // while it stores.
    runInWidestBuild([&]() ISA_BODY {
        nearLineLoop(sources, phases, settled, length, travel, turn, count, amplitude, twice, strength, cosine);
    });
}

// The phases and settled indices of the line being filled; too large for
// the stack.
static double wavePhase[kMaxExtent];
static uint8_t waveSettled[kMaxExtent];

// Fills `sources` for a line; returns whether any index has another source.
static bool fillLineSources(int32_t* sources, int32_t length, double travel, double turn, const Wave& wave,
                            double twice, double strength, bool cosine) {
    double* const phases = wavePhase;
    uint8_t* const settled = waveSettled;
    nearLineSources(sources, phases, settled, length, travel, turn, wave, twice, strength, cosine);
    bool moves = false;
    for (int32_t i = 0; i < length; ++i) {
        if (!settled[i]) {
            const double value = cosine ? std::cos(phases[i]) : std::sin(phases[i]);
            sources[i] = sourceIndex(i, waveOffset(value, wave.amplitude, twice, strength), length);
        }
        moves = moves || sources[i] != i;
    }
    return moves;
}

// Fills columns[0..width) and rows[0..height); returns false when
// every column and row is its own source and the region stays as it is.
// Column c reads from c + sin(((t * v + c) * pi * n) / width) * A * 2 * S / 1024,
// row r from r + cos(((t * v + r) * pi/2 * n) / height) * A * S / 1024.
static bool fillSources(int32_t* columns, int32_t* rows, const Wave& wave, double travel, int32_t strength,
                        int32_t width, int32_t height) {
    const double s = strength;
    const bool columnsMove = fillLineSources(columns, width, travel, kPi, wave, 2, s, false);
    const bool rowsMove = fillLineSources(rows, height, travel, kHalfPi, wave, 1, s, true);
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

// How this field's rows are moved to their source columns (see
// UnderwaterRows.h), planned once per field; too large for the stack.
static RowMover rowMover;

// needsSaving[r]: some row r2 > r has row r as its source.
static bool needsSaving[kMaxExtent];
static uint8_t rowBuffer[kMaxExtent * PIXEL_BYTES];

static void markSavedRows(const int32_t* sourceRow, int32_t height) {
    for (int32_t r = 0; r < height; ++r) needsSaving[r] = false;
    for (int32_t r = 0; r < height; ++r) {
        if (sourceRow[r] < r) needsSaving[sourceRow[r]] = true;
    }
}

// Whether the source rows never decrease down the region, as with any wave
// gentle enough to move no row past its neighbour's source (the usual case).
static bool sourcesNeverDecrease(const int32_t* sourceRow, int32_t height) {
    for (int32_t r = 1; r < height; ++r) {
        if (sourceRow[r] < sourceRow[r - 1]) return false;
    }
    return true;
}

static void displaceRegion(uint8_t* field, uint8_t* scratch, size_t stride, const PixelRect& region,
                           const int32_t* sourceRow, const RowMover& mover) {
    const int32_t height = region.height;
    const size_t rowBytes = static_cast<size_t>(region.width) * PIXEL_BYTES;
    auto rowAt = [&](uint8_t* image, int32_t r) {
        return image + ((static_cast<size_t>(region.top) + static_cast<size_t>(r)) * stride +
                        static_cast<size_t>(region.left)) * PIXEL_BYTES;
    };
    auto gatherOwnRow = [&](int32_t r) {
        uint8_t* row = rowAt(field, r);
        moveRow(mover, row, rowBuffer);
        std::memcpy(row, rowBuffer, rowBytes);
    };
    if (sourcesNeverDecrease(sourceRow, height)) {
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
                moveRow(mover, rowAt(field, sourceRow[r]), rowAt(field, r));
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
    markSavedRows(sourceRow, height);
    for (int32_t r = 0; r < height; ++r) {
        uint8_t* row = rowAt(field, r);
        if (needsSaving[r]) std::memcpy(rowAt(scratch, r), row, rowBytes);
        const int32_t from = sourceRow[r];
        if (from == r) {
            gatherOwnRow(r);
        } else {
            // A source above r has been overwritten and was saved; one below
            // r is still the original.
            moveRow(mover, from < r ? rowAt(scratch, from) : rowAt(field, from), row);
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
    FieldImage* scratch = allocFieldShapedImage();
    if (scratch == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    const Wave wave = waveSettings(waveCount.value, waveAmplitude.value, waveSpeed.value, request);
    const int32_t length = static_cast<int32_t>(request.length);
    const int32_t halfRamp = fadeRampLength(length, fadePercent.value) / 2;
    const int32_t strength = inOutStrength(length, static_cast<int32_t>(position), halfRamp, kStrengthScale);
    const double travel = static_cast<double>(position) * wave.speed;  // t * v
    const PixelRect region = clippedRegion(*field);

    if (!region.empty() &&
        fillSources(sourceColumn, sourceRow, wave, travel, strength, region.width, region.height)) {
        const size_t stride = static_cast<size_t>(field->width);
        planRowMoves(rowMover, sourceColumn, region.width);
        displaceRegion(field->pixels, scratch->pixels, stride, region, sourceRow, rowMover);
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
