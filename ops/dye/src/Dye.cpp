// Dye: pulls the two colour-difference bytes of every pixel toward those of
// one colour, keeping each pixel's key and brightness. The tint fades in over
// the first and out over the last fadePercent / 2 percent of the run.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

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
// The weights are worked out once per field. Every sum lies in 0..65025, so
// the blend runs in 16-bit lanes, and the division is (sum * 0x8081) >> 23,
// the high half of a 16 x 16-bit product shifted by 7: exact for every sum up
// to 66298 (div255). Bytes 0 and 3 go through the same arithmetic with the
// weights 255 and 0, which gives b * 255 / 255 = b back exactly, so that
// every byte of a run of pixels is handled alike. The vector forms (AVX2
// where the processor has it, else SSE2) and the plain loop give the same
// bytes: integer arithmetic, the same operations in every lane.

struct TintWeights {
    uint16_t scale[PIXEL_BYTES];  // 255, 255 - s, 255 - s, 255
    uint16_t add[PIXEL_BYTES];    // 0, c1 * s, c2 * s, 0
};

// Bytes from..end-1 of the image, one at a time.
static void tintBytes(uint8_t* pixels, size_t from, size_t end, const TintWeights& w) {
    for (size_t i = from; i < end; ++i) {
        const uint32_t k = i % PIXEL_BYTES;
        pixels[i] = static_cast<uint8_t>(div255(pixels[i] * uint32_t{w.scale[k]} + w.add[k]));
    }
}

#if defined(__SSE2__)
// Eight 16-bit lanes hold two pixels, byte k of a pixel in lane k % 4.
static __m128i lanes128(const uint16_t (&v)[PIXEL_BYTES]) {
    return _mm_setr_epi16(static_cast<short>(v[0]), static_cast<short>(v[1]), static_cast<short>(v[2]),
                          static_cast<short>(v[3]), static_cast<short>(v[0]), static_cast<short>(v[1]),
                          static_cast<short>(v[2]), static_cast<short>(v[3]));
}

// Returns how many bytes it has done: whole blocks of 16.
static size_t tintSse2(uint8_t* pixels, size_t bytes, const TintWeights& w) {
    const __m128i scale = lanes128(w.scale);
    const __m128i add = lanes128(w.add);
    const __m128i reciprocal = _mm_set1_epi16(static_cast<short>(0x8081));
    const __m128i zero = _mm_setzero_si128();
    auto blend = [&](__m128i b) {
        const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(b, scale), add);
        return _mm_srli_epi16(_mm_mulhi_epu16(sum, reciprocal), 7);
    };
    size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + i));
        const __m128i lo = blend(_mm_unpacklo_epi8(v, zero));
        const __m128i hi = blend(_mm_unpackhi_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + i), _mm_packus_epi16(lo, hi));
    }
    return i;
}

static const IsaLevel kLevel = isaLevel();

// The same on 32 bytes at a time; unpacking and packing work within each
// half of the register, so every byte returns to its place.
__attribute__((target("avx2"))) static size_t tintAvx2(uint8_t* pixels, size_t bytes,
                                                       const TintWeights& w) {
    const __m256i scale = _mm256_broadcastsi128_si256(lanes128(w.scale));
    const __m256i add = _mm256_broadcastsi128_si256(lanes128(w.add));
    const __m256i reciprocal = _mm256_set1_epi16(static_cast<short>(0x8081));
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 32 <= bytes; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + i));
        __m256i lo = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(v, zero), scale), add);
        __m256i hi = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(v, zero), scale), add);
        lo = _mm256_srli_epi16(_mm256_mulhi_epu16(lo, reciprocal), 7);
        hi = _mm256_srli_epi16(_mm256_mulhi_epu16(hi, reciprocal), 7);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels + i), _mm256_packus_epi16(lo, hi));
    }
    return i;
}
#endif

static void tintPixels(uint8_t* pixels, size_t count, uint32_t c1, uint32_t c2, uint32_t s) {
    const uint16_t keep = static_cast<uint16_t>(255u - s);
    const TintWeights w = {{255, keep, keep, 255},
                           {0, static_cast<uint16_t>(c1 * s), static_cast<uint16_t>(c2 * s), 0}};
    const size_t bytes = count * PIXEL_BYTES;
    size_t done = 0;
#if defined(__SSE2__)
    if (kLevel >= IsaLevel::Avx2) {
        done = tintAvx2(pixels, bytes, w);
    } else if (kLevel >= IsaLevel::Sse2) {
        done = tintSse2(pixels, bytes, w);
    }
#endif
    tintBytes(pixels, done, bytes, w);
}

// ---------------------------------------------------------------------------
// Render: the whole image, not only its valid region, is tinted.

static int32_t renderField(const OperatorRequest& request) {
    const int32_t position = static_cast<int32_t>(request.position);
    FieldImage* field = opGetField(0, position);
    if (field == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    const int32_t width = field->width;
    const int32_t height = field->height;
    const uint32_t c1 = tintColor.color[PIXEL_CR];
    const uint32_t c2 = tintColor.color[PIXEL_CB];
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
