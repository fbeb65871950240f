// Small helpers that every operator library compiles in: the export marker, the
// command dispatch, the failure record, the exact division by 255 of the
// strength mix, and the valid region clipped to its image.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "IsaLevel.h"
#include "OperatorApi.h"

// Only GetOperatorInfo and OperatorAction (and Patina's OperatorReplay)
// leave an operator library; the build hides everything else.
#define OPERATOR_EXPORT extern "C" __attribute__((visibility("default")))

// Bodies of one operator. Only Patina has a start and a finish body.
using StartBody = int32_t (*)(const OperatorRequest& request);
using FinishBody = void (*)();
using RenderBody = int32_t (*)(const OperatorRequest& request);

// Commands 1 to 3 run their body; 4 to 7 and every unknown command (or no
// request at all) do nothing and return 0.
inline int32_t dispatchCommand(const OperatorRequest* request, RenderBody render,
                               StartBody start = nullptr, FinishBody finish = nullptr) {
    if (request == nullptr) return 0;
    switch (request->command) {
    case CMD_START:  return start != nullptr ? start(*request) : 0;
    case CMD_FINISH: if (finish != nullptr) finish(); return 0;
    case CMD_RENDER: return render(*request);
    default:         return 0;
    }
}

// The scratch image every operator asks for: one image shaped like the
// run's fields (opAllocImage's -1, -1 for their width and height, one image,
// no flags). Null on failure.
inline FieldImage* allocFieldShapedImage() { return opAllocImage(-1, -1, 1, 0); }

// The one failure record: level 4, the line of the failing check, the
// operator's source path and message code, and the text " ". Returns -1,
// the result of the failed command.
inline int32_t logFailure(int32_t line, const char* source, uint32_t code) {
    loggerMessage(4, line, source, code, " ");
    return -1;
}

// x / 255, truncating, for 0 <= x <= 66298 (so for every strength-mix sum
// 0..65025): 0x8081 / 2^23 exceeds 1/255 by less than 1/(255 * 66299).
constexpr uint32_t div255(uint32_t x) { return (x * 0x8081u) >> 23; }

// x / 255, truncating, for 0 <= x <= 65025 (every strength-mix sum) in
// 16-bit arithmetic, so that loops over bytes vectorise in 16-bit lanes:
// (x + 1 + (x >> 8)) >> 8, whose intermediate stays at or below 65280.
constexpr uint16_t div255Narrow(uint16_t x) {
    return static_cast<uint16_t>((x + 1u + (x >> 8)) >> 8);
}

#if defined(__SSE2__)
// div255Narrow in eight (SSE2) and sixteen (AVX2) 16-bit lanes.
inline __m128i div255Lanes(__m128i x) {
    return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(x, _mm_set1_epi16(1)), _mm_srli_epi16(x, 8)), 8);
}
__attribute__((target("avx2"))) inline __m256i div255Lanes(__m256i x) {
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(x, _mm256_set1_epi16(1)), _mm256_srli_epi16(x, 8)), 8);
}
#endif

// Strength mix of one byte: (processed * s + untouched * (255 - s)) / 255 for
// s in 0..255. At s = 255 it gives processed, at s = 0 untouched.
constexpr uint8_t mixByStrength(uint32_t processed, uint32_t untouched, uint32_t s) {
    return static_cast<uint8_t>(div255(processed * s + untouched * (255u - s)));
}

// mixByStrength over `bytes` bytes, processed[i] <- mix(processed[i],
// untouched[i]), s in 0..255. processed * s + untouched * (255 - s) is at
// most 65025, so the loop runs in 16-bit lanes.
[[gnu::always_inline]] inline void mixBytesByStrength(uint8_t* processed, const uint8_t* untouched, size_t bytes, uint32_t s) {
    const uint16_t keep = static_cast<uint16_t>(255u - s);
    const uint16_t take = static_cast<uint16_t>(s);
    for (size_t i = 0; i < bytes; ++i) {
        const uint16_t sum = static_cast<uint16_t>(processed[i] * take + untouched[i] * keep);
        processed[i] = static_cast<uint8_t>(div255Narrow(sum));
    }
}

// The part of an image's valid region that lies inside the image. A region
// reaching outside the image is cut to it; an empty one has width or height 0.
struct PixelRect {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
    bool empty() const { return width <= 0 || height <= 0; }
};

inline PixelRect clippedRegion(const FieldImage& image) {
    const int32_t imageWidth = image.width > 0 ? image.width : 0;
    const int32_t imageHeight = image.height > 0 ? image.height : 0;
    int32_t left = image.regionLeft;
    int32_t top = image.regionTop;
    int32_t right = left + image.regionWidth;   // i16 sums cannot overflow i32
    int32_t bottom = top + image.regionHeight;
    if (left < 0) left = 0;
    if (top < 0) top = 0;
    if (right > imageWidth) right = imageWidth;
    if (bottom > imageHeight) bottom = imageHeight;
    if (right <= left || bottom <= top) return PixelRect{0, 0, 0, 0};
    return PixelRect{left, top, right - left, bottom - top};
}

// The first five pairs of every operator tag list; the parameter pairs and
// the terminating 0 follow. `inputs` is 1 for an effect, 0 for a transition.
#define OPERATOR_TAG_LIST_HEAD(inputs, revisionText)                          \
    OPE_TAG_ZERO, 0, OPE_TAG_INPUTS, (inputs), OPE_TAG_ACTION,                \
        reinterpret_cast<uintptr_t>(&OperatorAction), OPE_TAG_REVISION,       \
        reinterpret_cast<uintptr_t>(revisionText), OPE_TAG_VERSION, 2

#define OPERATOR_TAG_PARAM(number, descriptor) \
    OPE_TAG_PARAM1 + (number) - 1, reinterpret_cast<uintptr_t>(&(descriptor))
