// The 16-bit lanes of the box kernels (internal to BoxBlur.cpp): the means
// of a column step and of a row of totals in 16-bit arithmetic, one lane at
// a time in plain code and eight (SSE2) or sixteen (AVX2) at a time, and
// the running totals of a row in SSE2 lanes. shortStep and shortRow are the
// one dispatch: they run the widest lanes the instruction-set level allows
// (see IsaLevel.h; boxBlurWideLanes, a test hook, keeps them to SSE2).
// Every form gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "BoxBlur.h"
#include "BoxBlurForms.h"
#include "OperatorSupport.h"
#include "ShortDivisor.h"

namespace {

// A mean in 16-bit arithmetic: (sum * m) >> 24 for a byte window sum of at
// most 255 * d and the narrow multiplier m = floor(2^24 / d) + 1, d <= 256,
// as floor(sum * m / 2^16) >> 8 with m split into mh * 2^16 + ml:
// floor(sum * m / 2^16) = sum * mh + floor(sum * ml / 2^16). mh is at most
// (2^24 / d + 1) / 2^16, so sum * mh <= 255 * (256 + d / 2^16) stays at or
// below 65280, and the whole sum is below 2^16 because the mean is below
// 256. Every step fits 16-bit lanes (a low and a high 16-bit product).
// Where the count has a ShortDivisor (`single`), the lanes divide with that
// instead: one multiply fewer, the same quotient.
struct ShortMultiplier {
    uint16_t high;
    uint16_t low;
    ShortDivisor single{0, 0};
    explicit ShortMultiplier(uint32_t m)
        : high(static_cast<uint16_t>(m >> 16)), low(static_cast<uint16_t>(m & 0xFFFFu)) {}
    ShortMultiplier(uint32_t m, int64_t count) : ShortMultiplier(m) { single = shortDivisor(count); }
    ShortMultiplier(uint16_t h, uint16_t l, ShortDivisor d = {0, 0}) : high(h), low(l), single(d) {}
};

inline uint8_t shortMean(uint16_t sum, ShortMultiplier m) {
    const uint16_t top = static_cast<uint16_t>((static_cast<uint32_t>(sum) * m.low) >> 16);
    return static_cast<uint8_t>(static_cast<uint16_t>(sum * m.high + top) >> 8);
}

// Lanes first .. lanes - 1 of a 16-bit column step, one at a time. With
// bytes out (uint8_t) the means are stored. With 16-bit out the step runs
// over the bytes of a row of pixels (lane j is byte j % 4 of pixel j / 4)
// and its means are at once summed along the row: out[j + 4] = out[j] +
// mean of lane j, so that out[4k + c] ends as the sum of byte c of the first
// k pixels, modulo 2^16 (out[0..3] are 0 and `lanes` a multiple of four).
template <int kEnters, bool kLeaves, typename Out>
inline void shortStepLanes(uint16_t* sum, const uint8_t* enter1, const uint8_t* enter2, const uint8_t* leave,
                           Out* out, int32_t first, int32_t lanes, ShortMultiplier m) {
    for (int32_t j = first; j < lanes; ++j) {
        uint16_t v = sum[j];
        if constexpr (kEnters >= 1) v = static_cast<uint16_t>(v + enter1[j]);
        if constexpr (kEnters >= 2) v = static_cast<uint16_t>(v + enter2[j]);
        if constexpr (kLeaves) v = static_cast<uint16_t>(v - leave[j]);
        sum[j] = v;
        if constexpr (std::is_same_v<Out, uint16_t>) {
            out[j + 4] = static_cast<uint16_t>(out[j] + shortMean(v, m));
        } else {
            out[j] = shortMean(v, m);
        }
    }
}

// Weights of a strength mix in 16-bit lanes: (v * take + u * keep) / 255.
struct MixWeights {
    uint16_t take;
    uint16_t keep;
};

// The operands of a 16-bit row step are arrays of lanes: lane j of one that
// steps with the lanes (kStep 1), or of sixteen lanes that repeat one
// pixel's four values (kStep 0).
template <int kStep>
inline uint16_t laneOf(const uint16_t* p, int64_t j) {
    return kStep != 0 ? p[j] : p[j & 15];
}

// Means along a row from 16-bit totals, lanes first .. lanes - 1 (lane j is
// byte j % 4 of pixel j / 4): the mean of hi - lo (the difference of two
// totals taken modulo 2^16 is the exact window sum) by the multiplier in mh
// and ml, except that byte 0 of every pixel is kept from o; with kMix each
// lane is then mixed with the untouched byte by w. The result goes to o.
template <int kHi, int kLo, int kMult, bool kMix>
inline void shortRowLanes(const uint16_t* hi, const uint16_t* lo, const uint16_t* mh, const uint16_t* ml, uint8_t* o,
                          const uint8_t* untouched, int64_t first, int64_t lanes, MixWeights w) {
    for (int64_t j = first; j < lanes; ++j) {
        const uint16_t sum = static_cast<uint16_t>(laneOf<kHi>(hi, j) - laneOf<kLo>(lo, j));
        uint16_t v = (j & 3) == 0 ? o[j] : shortMean(sum, ShortMultiplier(laneOf<kMult>(mh, j), laneOf<kMult>(ml, j)));
        if constexpr (kMix) v = div255Narrow(static_cast<uint16_t>(v * w.take + untouched[j] * w.keep));
        o[j] = static_cast<uint8_t>(v);
    }
}

// The lanes the 16-bit kernels and the running totals may use, chosen once.
const IsaLevel kLanes = isaLevel();

#if defined(__SSE2__)
// The same in eight lanes (SSE2) and sixteen lanes (AVX2) at a time, with
// the same 16-bit operations.

// Eight means of the sums in v, as 16-bit lanes: by the split multiplier,
// or (kSingle) by a ShortDivisor.
inline __m128i shortMeans8(__m128i v, __m128i high, __m128i low) {
    return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(v, high), _mm_mulhi_epu16(v, low)), 8);
}

struct Divide8 {
    __m128i high, low, magic, shift;
    explicit Divide8(ShortMultiplier m)
        : high(_mm_set1_epi16(static_cast<int16_t>(m.high))),
          low(_mm_set1_epi16(static_cast<int16_t>(m.low))),
          magic(_mm_set1_epi16(static_cast<int16_t>(m.single.magic))),
          shift(_mm_cvtsi32_si128(m.single.shift)) {}
    template <bool kSingle>
    __m128i means(__m128i v) const {
        if constexpr (kSingle) return _mm_srl_epi16(_mm_mulhi_epu16(v, magic), shift);
        return shortMeans8(v, high, low);
    }
};

// Eight lanes at a time; the totals form sums the means of two pixels
// within the register by a shifted addition, then adds the carry (the
// totals so far, in both pixels' places). The carry moves on by the
// register's own sum, off the chain of stores.
template <int kEnters, bool kLeaves, bool kSingle, typename Out>
void shortStepSse2(uint16_t* sum, const uint8_t* enter1, const uint8_t* enter2, const uint8_t* leave, Out* out,
                   int32_t lanes, ShortMultiplier m) {
    const __m128i zero = _mm_setzero_si128();
    const Divide8 divide(m);
    auto bytes = [&](const uint8_t* p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    };
    __m128i carry = zero;  // out[0..3] of the totals form
    int32_t j = 0;
    for (; j + 8 <= lanes; j += 8) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sum + j));
        if constexpr (kEnters >= 1) v = _mm_add_epi16(v, bytes(enter1 + j));
        if constexpr (kEnters >= 2) v = _mm_add_epi16(v, bytes(enter2 + j));
        if constexpr (kLeaves) v = _mm_sub_epi16(v, bytes(leave + j));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sum + j), v);
        __m128i q = divide.means<kSingle>(v);
        if constexpr (std::is_same_v<Out, uint16_t>) {
            q = _mm_add_epi16(q, _mm_slli_si128(q, 8));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j + 4), _mm_add_epi16(q, carry));
            carry = _mm_add_epi16(carry, _mm_unpackhi_epi64(q, q));
        } else {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), _mm_packus_epi16(q, q));
        }
    }
    shortStepLanes<kEnters, kLeaves>(sum, enter1, enter2, leave, out, j, lanes, m);
}

__attribute__((target("avx2"))) inline __m256i sixteenBytes(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Sixteen means of the sums in v, as 16-bit lanes.
__attribute__((target("avx2"))) inline __m256i shortMeans16(__m256i v, __m256i high, __m256i low) {
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(v, high), _mm256_mulhi_epu16(v, low)), 8);
}

struct Divide16 {
    __m256i high, low, magic;
    __m128i shift;
    __attribute__((target("avx2"))) explicit Divide16(ShortMultiplier m)
        : high(_mm256_set1_epi16(static_cast<int16_t>(m.high))),
          low(_mm256_set1_epi16(static_cast<int16_t>(m.low))),
          magic(_mm256_set1_epi16(static_cast<int16_t>(m.single.magic))),
          shift(_mm_cvtsi32_si128(m.single.shift)) {}
    template <bool kSingle>
    __attribute__((target("avx2"))) __m256i means(__m256i v) const {
        if constexpr (kSingle) return _mm256_srl_epi16(_mm256_mulhi_epu16(v, magic), shift);
        return shortMeans16(v, high, low);
    }
};

// Sixteen 16-bit lanes stored as sixteen bytes.
__attribute__((target("avx2"))) inline void storeSixteenBytes(uint8_t* out, __m256i q) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_packus_epi16(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1)));
}

// Sixteen lanes (four pixels) at a time; the totals form sums within the
// register in two steps: pixels 0 1 | 2 3 -> 0, 0+1 | 2, 2+3, then 0+1 is
// added to the upper half.
template <int kEnters, bool kLeaves, bool kSingle, typename Out>
__attribute__((target("avx2"))) void shortStepAvx2(uint16_t* sum, const uint8_t* enter1, const uint8_t* enter2,
                                                   const uint8_t* leave, Out* out, int32_t lanes,
                                                   ShortMultiplier m) {
    const Divide16 divide(m);
    const __m256i zero = _mm256_setzero_si256();
    __m256i carry = zero;  // out[0..3] of the totals form
    int32_t j = 0;
    for (; j + 16 <= lanes; j += 16) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sum + j));
        if constexpr (kEnters >= 1) v = _mm256_add_epi16(v, sixteenBytes(enter1 + j));
        if constexpr (kEnters >= 2) v = _mm256_add_epi16(v, sixteenBytes(enter2 + j));
        if constexpr (kLeaves) v = _mm256_sub_epi16(v, sixteenBytes(leave + j));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sum + j), v);
        __m256i q = divide.means<kSingle>(v);
        if constexpr (std::is_same_v<Out, uint16_t>) {
            q = _mm256_add_epi16(q, _mm256_slli_si256(q, 8));
            q = _mm256_add_epi16(q, _mm256_blend_epi32(zero, _mm256_permute4x64_epi64(q, 0x55), 0xF0));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j + 4), _mm256_add_epi16(q, carry));
            carry = _mm256_add_epi16(carry, _mm256_permute4x64_epi64(q, 0xFF));
        } else {
            storeSixteenBytes(out + j, q);
        }
    }
    shortStepLanes<kEnters, kLeaves>(sum, enter1, enter2, leave, out, j, lanes, m);
}

template <int kStep>
inline __m128i eightLanes(const uint16_t* p, int64_t j) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (kStep != 0 ? j : (j & 15))));
}

template <int kHi, int kLo, int kMult, bool kMix, bool kSingle>
void shortRowSse2(const uint16_t* hi, const uint16_t* lo, const uint16_t* mh, const uint16_t* ml, uint8_t* o,
                  const uint8_t* untouched, int64_t lanes, MixWeights w, ShortDivisor single) {
    const Divide8 divide(ShortMultiplier(uint16_t{0}, uint16_t{0}, single));
    const __m128i zero = _mm_setzero_si128();
    const __m128i take = _mm_set1_epi16(static_cast<int16_t>(w.take));
    const __m128i keep = _mm_set1_epi16(static_cast<int16_t>(w.keep));
    const __m128i firstByte = _mm_set_epi16(0, 0, 0, -1, 0, 0, 0, -1);
    int64_t j = 0;
    for (; j + 8 <= lanes; j += 8) {
        const __m128i v = _mm_sub_epi16(eightLanes<kHi>(hi, j), eightLanes<kLo>(lo, j));
        __m128i q = kSingle ? divide.means<true>(v) : shortMeans8(v, eightLanes<kMult>(mh, j), eightLanes<kMult>(ml, j));
        const __m128i kept = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(o + j)), zero);
        q = _mm_or_si128(_mm_and_si128(firstByte, kept), _mm_andnot_si128(firstByte, q));
        if constexpr (kMix) {
            const __m128i u = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(untouched + j)), zero);
            const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(q, take), _mm_mullo_epi16(u, keep));
            q = div255Lanes(sum);
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + j), _mm_packus_epi16(q, q));
    }
    shortRowLanes<kHi, kLo, kMult, kMix>(hi, lo, mh, ml, o, untouched, j, lanes, w);
}

template <int kStep>
__attribute__((target("avx2"))) inline __m256i sixteenLanes(const uint16_t* p, int64_t j) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + (kStep != 0 ? j : 0)));
}

template <int kHi, int kLo, int kMult, bool kMix, bool kSingle>
__attribute__((target("avx2"))) void shortRowAvx2(const uint16_t* hi, const uint16_t* lo, const uint16_t* mh,
                                                  const uint16_t* ml, uint8_t* o, const uint8_t* untouched,
                                                  int64_t lanes, MixWeights w, ShortDivisor single) {
    const Divide16 divide(ShortMultiplier(uint16_t{0}, uint16_t{0}, single));
    const __m256i take = _mm256_set1_epi16(static_cast<int16_t>(w.take));
    const __m256i keep = _mm256_set1_epi16(static_cast<int16_t>(w.keep));
    int64_t j = 0;
    for (; j + 16 <= lanes; j += 16) {
        const __m256i v = _mm256_sub_epi16(sixteenLanes<kHi>(hi, j), sixteenLanes<kLo>(lo, j));
        __m256i q = kSingle ? divide.means<true>(v)
                            : shortMeans16(v, sixteenLanes<kMult>(mh, j), sixteenLanes<kMult>(ml, j));
        q = _mm256_blend_epi16(q, sixteenBytes(o + j), 0x11);  // byte 0 of each pixel kept
        if constexpr (kMix) {
            const __m256i sum =
                _mm256_add_epi16(_mm256_mullo_epi16(q, take), _mm256_mullo_epi16(sixteenBytes(untouched + j), keep));
            q = div255Lanes(sum);
        }
        storeSixteenBytes(o + j, q);
    }
    shortRowLanes<kHi, kLo, kMult, kMix>(hi, lo, mh, ml, o, untouched, j, lanes, w);
}
#endif

// runningTotals in SSE2 lanes: four (or sixteen) samples summed at once by
// shifted additions within a register, the carry from the last total moving
// on; the same totals as the plain chain. Returns the samples done (whole
// groups), 0 where the level does not allow SSE2.
template <ptrdiff_t kInPixel>
KERNEL_INLINE int64_t runningTotalsInLanes(const uint8_t* s, int shift, int64_t n, uint32_t* totals) {
    int64_t x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i carry = zero;
    if (kLanes < IsaLevel::Sse2) {
        // The plain loop does the whole row.
    } else if constexpr (kInPixel == 1) {
        for (; x + 16 <= n; x += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x));
            // Within each half of eight samples in 16-bit lanes (at most 2040).
            __m128i lo = _mm_unpacklo_epi8(bytes, zero);
            __m128i hi = _mm_unpackhi_epi8(bytes, zero);
            lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 2));
            hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 2));
            lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 4));
            hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 4));
            lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 8));
            hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 8));
            const __m128i t0 = _mm_add_epi32(_mm_unpacklo_epi16(lo, zero), carry);
            const __m128i t1 = _mm_add_epi32(_mm_unpackhi_epi16(lo, zero), carry);
            const __m128i half = _mm_shuffle_epi32(t1, 0xFF);
            const __m128i t2 = _mm_add_epi32(_mm_unpacklo_epi16(hi, zero), half);
            const __m128i t3 = _mm_add_epi32(_mm_unpackhi_epi16(hi, zero), half);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + x + 1), t0);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + x + 5), t1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + x + 9), t2);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + x + 13), t3);
            carry = _mm_shuffle_epi32(t3, 0xFF);
        }
    } else {
        const __m128i mask = _mm_set1_epi32(0xFF);
        const __m128i count = _mm_cvtsi32_si128(shift);
        for (; x + 4 <= n; x += 4) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x * kInPixel));
            v = _mm_and_si128(_mm_srl_epi32(v, count), mask);
            v = _mm_add_epi32(v, _mm_slli_si128(v, 4));
            v = _mm_add_epi32(v, _mm_slli_si128(v, 8));
            v = _mm_add_epi32(v, carry);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + x + 1), v);
            carry = _mm_shuffle_epi32(v, 0xFF);
        }
    }
#else
    (void)s, (void)shift, (void)n, (void)totals;
#endif
    return x;
}

// shortPixelTotals in SSE2 lanes, four pixels at a time: two pixels per
// register, the second made the sum of both by a shifted addition, then the
// carry (the last total, in both halves) added. Returns the pixels done.
KERNEL_INLINE int64_t shortPixelTotalsInLanes(const uint8_t* s, int64_t n, uint16_t* totals) {
    int64_t x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i carry = zero;
    for (; kLanes >= IsaLevel::Sse2 && x + 4 <= n; x += 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x * 4));
        __m128i first = _mm_unpacklo_epi8(bytes, zero);   // pixels x, x + 1
        __m128i second = _mm_unpackhi_epi8(bytes, zero);  // pixels x + 2, x + 3
        first = _mm_add_epi16(_mm_add_epi16(first, _mm_slli_si128(first, 8)), carry);
        const __m128i middle = _mm_unpackhi_epi64(first, first);
        second = _mm_add_epi16(_mm_add_epi16(second, _mm_slli_si128(second, 8)), middle);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + (x + 1) * 4), first);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + (x + 3) * 4), second);
        carry = _mm_unpackhi_epi64(second, second);
    }
#else
    (void)s, (void)n, (void)totals;
#endif
    return x;
}

// Runs a 16-bit kernel in the widest lanes the level allows: AVX2 or SSE2,
// else one lane at a time.
#if defined(__SSE2__)
#define IN_WIDEST_LANES(avx2Call, sse2Call, plainCall)                              \
    ((kLanes >= IsaLevel::Avx2 && boxBlurWideLanes) ? (avx2Call)                   \
     : kLanes >= IsaLevel::Sse2                      ? (sse2Call)                   \
                                                     : (plainCall))
#else
#define IN_WIDEST_LANES(avx2Call, sse2Call, plainCall) (plainCall)
#endif

// One 16-bit column step over `lanes` bytes, into means or totals.
template <int kEnters, bool kLeaves, typename Out>
inline void shortStep(uint16_t* sum, const uint8_t* enter1, const uint8_t* enter2, const uint8_t* leave, Out* out,
                      int32_t lanes, ShortMultiplier m) {
    if (m.single.magic != 0) {
        IN_WIDEST_LANES((shortStepAvx2<kEnters, kLeaves, true>(sum, enter1, enter2, leave, out, lanes, m)),
                        (shortStepSse2<kEnters, kLeaves, true>(sum, enter1, enter2, leave, out, lanes, m)),
                        (shortStepLanes<kEnters, kLeaves>(sum, enter1, enter2, leave, out, 0, lanes, m)));
    } else {
        IN_WIDEST_LANES((shortStepAvx2<kEnters, kLeaves, false>(sum, enter1, enter2, leave, out, lanes, m)),
                        (shortStepSse2<kEnters, kLeaves, false>(sum, enter1, enter2, leave, out, lanes, m)),
                        (shortStepLanes<kEnters, kLeaves>(sum, enter1, enter2, leave, out, 0, lanes, m)));
    }
}

// Means along a row from totals, into the destination row.
// A fixed multiplier (kMult 0) whose count has a ShortDivisor (`single`)
// divides with that.
template <int kHi, int kLo, int kMult, bool kMix>
inline void shortRow(const uint16_t* hi, const uint16_t* lo, const uint16_t* mh, const uint16_t* ml, uint8_t* o,
                     const uint8_t* untouched, int64_t lanes, MixWeights w, ShortDivisor single = {0, 0}) {
    if (kMult == 0 && single.magic != 0) {
        IN_WIDEST_LANES((shortRowAvx2<kHi, kLo, kMult, kMix, true>(hi, lo, mh, ml, o, untouched, lanes, w, single)),
                        (shortRowSse2<kHi, kLo, kMult, kMix, true>(hi, lo, mh, ml, o, untouched, lanes, w, single)),
                        (shortRowLanes<kHi, kLo, kMult, kMix>(hi, lo, mh, ml, o, untouched, 0, lanes, w)));
    } else {
        IN_WIDEST_LANES((shortRowAvx2<kHi, kLo, kMult, kMix, false>(hi, lo, mh, ml, o, untouched, lanes, w, single)),
                        (shortRowSse2<kHi, kLo, kMult, kMix, false>(hi, lo, mh, ml, o, untouched, lanes, w, single)),
                        (shortRowLanes<kHi, kLo, kMult, kMix>(hi, lo, mh, ml, o, untouched, 0, lanes, w)));
    }
}

}  // namespace
