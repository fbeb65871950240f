// Glow: brightens the picture by adding a box-blurred copy of its brightness
// (byte 3) to itself, once or twice over, with a ceiling of 240, and mixes the
// brightened value with the untouched one by a strength that fades in or out
// over the run. The colour-difference bytes pass through, the key becomes
// opaque. The result is built in a scratch image, which is the rendered field.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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
// eight bits). Byte 3 of the scratch image holds the blurred brightness B on
// entry. Per pixel: key 255, colour differences from the field, brightness
// (Y * (255 - s) + T * s) / 255 with T = Y + factor * B held to 0..240. The
// lower limit only matters for a negative factor (a glowGain below -1); it
// keeps the mix inside a byte. Every mix sum lies in 0..65025.

static void glowPixelsFrom(size_t first, uint8_t* scratch, const uint8_t* field, size_t count, int32_t factor,
                           uint32_t s) {
    const int32_t keep = static_cast<int32_t>(255u - s);
    const int32_t take = static_cast<int32_t>(s);
    for (size_t i = first; i < count; ++i) {
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

#if defined(__x86_64__) || defined(__i386__)
static const bool kHasAvx2 = isaAllows(IsaLevel::Avx2);

// Sixteen pixels at a time in 16-bit lanes. Y and B are bytes, and so is
// the factor's reach: for factor >= 0, T = min(Y + factor * min(B, 241), 240)
// (at B = 241 the sum already passes the ceiling, and it stays below 2^16);
// for factor < 0, T = min(max(Y - |factor| * B, 0), 240) with |factor| * B
// at most 65280 and a saturating subtraction. The mix sum is at most 65025
// and divides by 255 as div255Narrow does. Returns the pixels done.
__attribute__((target("avx2"))) static size_t glowPixelsAvx2(uint8_t* scratch, const uint8_t* field,
                                                             size_t count, int32_t factor, uint32_t s) {
    const __m256i keep = _mm256_set1_epi16(static_cast<int16_t>(255u - s));
    const __m256i take = _mm256_set1_epi16(static_cast<int16_t>(s));
    const __m256i reach = _mm256_set1_epi16(static_cast<int16_t>(factor < 0 ? -factor : factor));
    const __m256i ceiling = _mm256_set1_epi16(kCeiling);
    const __m256i pastCeiling = _mm256_set1_epi16(kCeiling + 1);
    const __m256i passed = _mm256_set1_epi32(0x00FFFF00);
    const __m256i key = _mm256_set1_epi32(0xFF);
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i in0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(field + i * PIXEL_BYTES));
        const __m256i in1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(field + (i + 8) * PIXEL_BYTES));
        const __m256i out0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(scratch + i * PIXEL_BYTES));
        const __m256i out1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(scratch + (i + 8) * PIXEL_BYTES));
        // Byte 3 of each pixel, 16 to a register (in the lane order of the pack).
        const __m256i y = _mm256_packus_epi32(_mm256_srli_epi32(in0, 24), _mm256_srli_epi32(in1, 24));
        const __m256i b = _mm256_packus_epi32(_mm256_srli_epi32(out0, 24), _mm256_srli_epi32(out1, 24));
        __m256i t;
        if (factor >= 0) {
            t = _mm256_add_epi16(y, _mm256_mullo_epi16(reach, _mm256_min_epu16(b, pastCeiling)));
        } else {
            t = _mm256_subs_epu16(y, _mm256_mullo_epi16(reach, b));
        }
        t = _mm256_min_epu16(t, ceiling);
        const __m256i sum = _mm256_add_epi16(_mm256_mullo_epi16(y, keep), _mm256_mullo_epi16(t, take));
        const __m256i luma = div255Lanes(sum);
        // Back in pixel order: the low half of each pack lane came from in0.
        const __m256i zero = _mm256_setzero_si256();
        const __m256i luma0 = _mm256_slli_epi32(_mm256_unpacklo_epi16(luma, zero), 24);
        const __m256i luma1 = _mm256_slli_epi32(_mm256_unpackhi_epi16(luma, zero), 24);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(scratch + i * PIXEL_BYTES),
                            _mm256_or_si256(_mm256_or_si256(key, _mm256_and_si256(in0, passed)), luma0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(scratch + (i + 8) * PIXEL_BYTES),
                            _mm256_or_si256(_mm256_or_si256(key, _mm256_and_si256(in1, passed)), luma1));
    }
    return i;
}
#endif

static void glowPixels(uint8_t* scratch, const uint8_t* field, size_t count, int32_t factor, uint32_t s) {
    size_t done = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (kHasAvx2) done = glowPixelsAvx2(scratch, field, count, factor, s);
#endif
    glowPixelsFrom(done, scratch, field, count, factor, s);
}

// At strength 0 the brightness is (Y * 255 + T * 0) / 255 = Y whatever the
// blur gives, so the result is the field with an opaque key and the blur is
// left out.
[[gnu::always_inline]] static inline void opaqueCopyLoop(uint8_t* __restrict scratch, const uint8_t* __restrict field,
                                                 size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t word;
        std::memcpy(&word, field + i * PIXEL_BYTES, 4);
        word |= 0xFFu;
        std::memcpy(scratch + i * PIXEL_BYTES, &word, 4);
    }
}

static void opaqueCopy(uint8_t* scratch, const uint8_t* field, size_t count) {
    runInWidestBuild([&]() ISA_BODY { opaqueCopyLoop(scratch, field, count); });
}

// ---------------------------------------------------------------------------
// Render: the whole field, not only its valid region, is worked on.

static int32_t renderField(const OperatorRequest& request) {
    const int32_t position = static_cast<int32_t>(request.position);
    FieldImage* field = opGetField(0, position);
    if (field == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    FieldImage* scratch = allocFieldShapedImage();
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
            // Without working memory for the blur the render fails.
            if (!BlurBoth(field->pixels, scratch->pixels, width, height, window, PIXEL_LUMA)) {
                opFreeImage(scratch);
                opFreeImage(field);
                return logFailure(__LINE__, kSource, kMessageCode);
            }
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
