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

// Horizontal pass, field into scratch: every pixel from its source column.
static void shiftColumns(const uint8_t* field, uint8_t* scratch, size_t stride, const PixelRect& region) {
    for (int32_t r = 0; r < region.height; ++r) {
        const size_t start = (static_cast<size_t>(region.top) + r) * stride + static_cast<size_t>(region.left);
        const uint8_t* src = field + start * PIXEL_BYTES;
        uint8_t* dst = scratch + start * PIXEL_BYTES;
        for (int32_t c = 0; c < region.width; ++c) {
            std::memcpy(dst + static_cast<size_t>(c) * PIXEL_BYTES,
                        src + static_cast<size_t>(sourceColumn[c]) * PIXEL_BYTES, PIXEL_BYTES);
        }
    }
}

// Vertical pass, scratch back into the field: every row from its source row,
// as one copy of the region's width.
static void shiftRows(const uint8_t* scratch, uint8_t* field, size_t stride, const PixelRect& region) {
    const size_t rowBytes = static_cast<size_t>(region.width) * PIXEL_BYTES;
    for (int32_t r = 0; r < region.height; ++r) {
        const size_t to = (static_cast<size_t>(region.top) + r) * stride + static_cast<size_t>(region.left);
        const size_t from = (static_cast<size_t>(region.top) + static_cast<size_t>(sourceRow[r])) * stride +
                            static_cast<size_t>(region.left);
        std::memcpy(field + to * PIXEL_BYTES, scratch + from * PIXEL_BYTES, rowBytes);
    }
}

// ---------------------------------------------------------------------------
// Render: the valid region, cut to the image, is displaced in place in the
// field; the scratch image only carries the result of the first pass.

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
        shiftColumns(field->pixels, scratch->pixels, stride, region);
        shiftRows(scratch->pixels, field->pixels, stride, region);
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
