// Glow: brightens the picture by adding a box-blurred copy of its brightness
// (byte 3) to itself, once or twice over, with a ceiling of 240, and mixes the
// brightened value with the untouched one by a strength that fades in or out
// over the run. The colour-difference bytes pass through, the key becomes
// opaque. The result is built in a scratch image, which is the rendered field.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BlurWindow.h"
#include "BoxBlur.h"
#include "FadeStrength.h"
#include "OperatorSupport.h"

// ---------------------------------------------------------------------------
// Descriptors and tag list. The host writes its settings into these.

static const char kSource[] = "src\\Glow";
static const uint32_t kMessageCode = 0x0B7D0000u;
static const char kRevision[] = "$Id: Glow.cpp,v 1.0 2014/03/24 $";

static const uint32_t gainEntries[] = {421, 422, 0};
static const uint32_t fadeModeEntries[] = {441, 442, 443, 444, 0};

static SliderParam blurSize = {{PARAM_SLIDER, 410, 0}, 411, 0, 1, 25, 5};
static ChoiceParam glowGain = {{PARAM_CHOICE, 420, 0}, gainEntries, 0};
static SliderParam fadePercent = {{PARAM_SLIDER, 430, 0}, 431, 0, 0, 100, 50};
static ChoiceParam fadeMode = {{PARAM_CHOICE, 440, 0}, fadeModeEntries, FADE_IN};

static uintptr_t tagList[] = {
    OPERATOR_TAG_LIST_HEAD(1, kRevision),
    OPERATOR_TAG_PARAM(1, blurSize),
    OPERATOR_TAG_PARAM(2, glowGain),
    OPERATOR_TAG_PARAM(3, fadePercent),
    OPERATOR_TAG_PARAM(4, fadeMode),
    0,
};

static const int32_t kCeiling = 240;

// ---------------------------------------------------------------------------
// Per-field set-up.

// How many times the blurred brightness is added: glowGain + 1. Beyond
// +-256 every blurred value of 1 or more already pushes the sum past the
// ceiling or below 0, so the count is held there and the per-pixel
// arithmetic stays in 32 bits.
static int32_t gainFactor(int32_t gain) {
    const int64_t factor = int64_t{gain} + 1;
    if (factor > 256) return 256;
    if (factor < -256) return -256;
    return static_cast<int32_t>(factor);
}

// ---------------------------------------------------------------------------
// Pixel work, on each pixel as one little-endian word (byte 3 the top
// eight bits) so that the loop vectorises. Byte 3 of the scratch image holds
// the blurred brightness B on entry. Per pixel: key 255, colour differences from the field, brightness
// (Y * (255 - s) + T * s) / 255 with T = Y + factor * B held to 0..240. The
// lower limit only matters for a negative factor (a glowGain below -1); it
// keeps the mix inside a byte. Every mix sum lies in 0..65025.

PIXEL_LOOP_CLONES
static void glowPixels(uint8_t* scratch, const uint8_t* field, size_t count, int32_t factor,
                       uint32_t s) {
    const int32_t keep = static_cast<int32_t>(255u - s);
    const int32_t take = static_cast<int32_t>(s);
    for (size_t i = 0; i < count; ++i) {
        uint32_t in, out;
        std::memcpy(&in, field + i * PIXEL_BYTES, 4);
        std::memcpy(&out, scratch + i * PIXEL_BYTES, 4);
        const int32_t y = static_cast<int32_t>(in >> 24);
        const int32_t b = static_cast<int32_t>(out >> 24);
        const int32_t t = std::clamp(y + factor * b, 0, kCeiling);
        const uint32_t luma = div255(static_cast<uint32_t>(y * keep + t * take));
        out = 0xFFu | (in & 0x00FFFF00u) | (luma << 24);
        std::memcpy(scratch + i * PIXEL_BYTES, &out, 4);
    }
}

// At strength 0 the brightness is (Y * 255 + T * 0) / 255 = Y whatever the
// blur gives, so the result is the field with an opaque key and the blur is
// left out.
PIXEL_LOOP_CLONES
static void opaqueCopy(uint8_t* scratch, const uint8_t* field, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t word;
        std::memcpy(&word, field + i * PIXEL_BYTES, 4);
        word |= 0xFFu;
        std::memcpy(scratch + i * PIXEL_BYTES, &word, 4);
    }
}

// ---------------------------------------------------------------------------
// Render: the whole field, not only its valid region, is worked on.

static int32_t renderField(const OperatorRequest& request) {
    const int32_t position = static_cast<int32_t>(request.position);
    FieldImage* field = opGetField(0, position);
    if (field == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    FieldImage* scratch = opAllocImage(-1, -1, 1, 0);
    if (scratch == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    const int32_t width = field->width;
    const int32_t height = field->height;
    const int32_t window = blurWindowLength(blurSize.value, request);
    const int32_t factor = gainFactor(glowGain.value);
    const int32_t length = static_cast<int32_t>(request.length);
    const uint32_t strength =
        static_cast<uint32_t>(FadeStrength(fadeMode.value, fadePercent.value, length, position));

    if (width > 0 && height > 0) {
        const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
        if (strength == 0) {
            opaqueCopy(scratch->pixels, field->pixels, count);
        } else {
            BlurBoth(field->pixels, scratch->pixels, width, height, window, PIXEL_LUMA);
            glowPixels(scratch->pixels, field->pixels, count, factor, strength);
        }
    }
    opFreeImage(field);
    return opPutField(scratch);
}

// ---------------------------------------------------------------------------
// Exports.

OPERATOR_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

OPERATOR_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    return dispatchCommand(request, renderField);
}
