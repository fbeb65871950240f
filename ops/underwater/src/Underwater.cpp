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
#include "OperatorSupport.h"

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
// which finite settings never produce, moves nothing.
static int32_t sourceIndex(int32_t index, double offset, int32_t count) {
    const double kFar = 65536.0;
    int32_t step = 0;
    if (offset >= kFar) {
        step = static_cast<int32_t>(kFar);
    } else if (offset <= -kFar) {
        step = -static_cast<int32_t>(kFar);
    } else if (offset == offset) {
        step = static_cast<int32_t>(offset);
    }
    const int32_t source = index + step;
    if (source < 0) return 0;
    if (source >= count) return count - 1;
    return source;
}

// Fills sourceColumn[0..width) and sourceRow[0..height); returns false when
// every column and row is its own source and the region stays as it is.
static bool fillSources(const Wave& wave, double travel, int32_t strength, int32_t width, int32_t height) {
    const double s = strength;
    bool moves = false;
    for (int32_t c = 0; c < width; ++c) {
        const double phase = ((travel + c) * 3.141592654 * wave.count) / width;
        const double offset = std::sin(phase) * wave.amplitude * 2 * s / kStrengthScale;
        sourceColumn[c] = sourceIndex(c, offset, width);
        moves = moves || sourceColumn[c] != c;
    }
    for (int32_t r = 0; r < height; ++r) {
        const double phase = ((travel + r) * 1.570796327 * wave.count) / height;
        const double offset = std::cos(phase) * wave.amplitude * s / kStrengthScale;
        sourceRow[r] = sourceIndex(r, offset, height);
        moves = moves || sourceRow[r] != r;
    }
    return moves;
}

// ---------------------------------------------------------------------------
// Pixel work over the region only; field and scratch share one geometry.
//
// The two passes together give every pixel (r, c) of the region the original
// pixel (sourceRow[r], sourceColumn[c]): the columns of a row are picked the
// same way in every row, so picking the row first and its columns second
// gives the same bytes as the column pass followed by the row pass. The work
// is done in one pass down the region, each row of the field gathered from
// the original of its source row. A row whose original is still needed once
// it has been overwritten (by itself or a later row) is first saved in the
// scratch image; rows read only by earlier rows are read from the field.

// needsSaving[r]: some row r2 >= r has row r as its source.
static bool needsSaving[kMaxExtent];

static void markSavedRows(int32_t height) {
    for (int32_t r = 0; r < height; ++r) needsSaving[r] = false;
    for (int32_t r = 0; r < height; ++r) {
        if (sourceRow[r] <= r) needsSaving[sourceRow[r]] = true;
    }
}

// One row: every pixel from its source column of `src`, as 32-bit words.
// `src` and `dst` are different rows.
PIXEL_LOOP_CLONES
static void gatherRow(const uint8_t* __restrict src, uint8_t* __restrict dst, const int32_t* __restrict columns,
                      int32_t width) {
    for (int32_t c = 0; c < width; ++c) {
        uint32_t word;
        std::memcpy(&word, src + static_cast<size_t>(columns[c]) * PIXEL_BYTES, sizeof word);
        std::memcpy(dst + static_cast<size_t>(c) * PIXEL_BYTES, &word, sizeof word);
    }
}

static void displaceRegion(uint8_t* field, uint8_t* scratch, size_t stride, const PixelRect& region) {
    markSavedRows(region.height);
    const size_t rowBytes = static_cast<size_t>(region.width) * PIXEL_BYTES;
    auto rowAt = [&](uint8_t* image, int32_t r) {
        return image + ((static_cast<size_t>(region.top) + static_cast<size_t>(r)) * stride +
                        static_cast<size_t>(region.left)) * PIXEL_BYTES;
    };
    for (int32_t r = 0; r < region.height; ++r) {
        if (needsSaving[r]) std::memcpy(rowAt(scratch, r), rowAt(field, r), rowBytes);
        // A source at or above r has been overwritten (or is r itself) and
        // was saved; one below r is still the original.
        const int32_t from = sourceRow[r];
        const uint8_t* src = from <= r ? rowAt(scratch, from) : rowAt(field, from);
        gatherRow(src, rowAt(field, r), sourceColumn, region.width);
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
