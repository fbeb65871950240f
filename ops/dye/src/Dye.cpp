// Dye: pulls the two colour-difference bytes of every pixel toward those of
// one colour, keeping each pixel's key and brightness. The tint fades in over
// the first and out over the last fadePercent / 2 percent of the run.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FadeStrength.h"
#include "OperatorSupport.h"

// ---------------------------------------------------------------------------
// Descriptors and tag list. The host writes its settings into these.

static const char kSource[] = "src\\Dye";
static const uint32_t kMessageCode = 0x0B7C0000u;
static const char kRevision[] = "$Id: Dye.cpp,v 1.0 2014/03/24 $";

static ColorParam tintColor = {{PARAM_COLOR, 310, 0}, {0xFF, 0x10, 0xA6, 0xAA}};
static SliderParam fadePercent = {{PARAM_SLIDER, 320, 0}, 321, 0, 0, 100, 25};

static uintptr_t tagList[] = {
    OPERATOR_TAG_LIST_HEAD(1, kRevision),
    OPERATOR_TAG_PARAM(1, tintColor),
    OPERATOR_TAG_PARAM(2, fadePercent),
    0,
};

// ---------------------------------------------------------------------------
// Pixel work: byte b <- (b * (255 - s) + c * s) / 255 for bytes 1 and 2.
// The weights are worked out once per field; every sum lies in 0..65025.
// Each pixel is handled as one little-endian word so the loop vectorises.

PIXEL_LOOP_CLONES
static void tintPixels(uint8_t* pixels, size_t count, uint32_t c1, uint32_t c2, uint32_t s) {
    const uint32_t keep = 255u - s;
    const uint32_t add1 = c1 * s;
    const uint32_t add2 = c2 * s;
    for (size_t i = 0; i < count; ++i) {
        uint32_t word;
        std::memcpy(&word, pixels + i * PIXEL_BYTES, 4);
        const uint32_t b1 = div255(((word >> 8) & 0xFFu) * keep + add1);
        const uint32_t b2 = div255(((word >> 16) & 0xFFu) * keep + add2);
        word = (word & 0xFF0000FFu) | (b1 << 8) | (b2 << 16);
        std::memcpy(pixels + i * PIXEL_BYTES, &word, 4);
    }
}

// ---------------------------------------------------------------------------
// Render: the whole image, not only its valid region, is tinted.

static int32_t renderField(const OperatorRequest& request) {
    const int32_t position = static_cast<int32_t>(request.position);
    FieldImage* field = opGetField(0, position);
    if (field == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    const int32_t width = field->width;
    const int32_t height = field->height;
    const uint32_t c1 = tintColor.color[PIXEL_CHROMA1];
    const uint32_t c2 = tintColor.color[PIXEL_CHROMA2];
    const int32_t length = static_cast<int32_t>(request.length);
    const int32_t halfRamp = fadeRampLength(length, fadePercent.value) / 2;
    const uint32_t strength = static_cast<uint32_t>(inOutStrength(length, position, halfRamp, 255));

    if (width > 0 && height > 0 && strength > 0) {
        tintPixels(field->pixels, static_cast<size_t>(width) * static_cast<size_t>(height), c1, c2,
                   strength);
    }
    return opPutField(field);
}

// ---------------------------------------------------------------------------
// Exports.

OPERATOR_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

OPERATOR_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    return dispatchCommand(request, renderField);
}
