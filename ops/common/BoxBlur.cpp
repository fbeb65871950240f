#include "BoxBlur.h"

#include "OperatorSupport.h"
#include "ShortDivisor.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// One box pass turns a line of n samples into n means. With window length L
// and half-width h = L / 2:
//   leading edge  (i = 0 .. h):          mean of samples 0 .. i + h
//   interior      (i = h+1 .. n-2-h):    mean of the L samples from i - h
//   trailing edge (i = n-1-h .. n-1):    mean of samples i - h .. n - 1
// The trailing edge takes precedence over the leading one where both reach.
// Where a line is shorter than 2h + 1, every edge window is cut to the line
// (which then reduces to the mean of what the line holds around i); L below 2
// copies the line. The interior slides a running sum (or, along rows, takes
// the difference of two running totals), so each output costs one addition,
// one subtraction and one division whatever L is.
//
// Means are sums divided by counts, truncating, done as a multiply and shift
// by a per-count multiplier m(d) = floor(2^k / d) + 1. For a mean of bytes,
// sum <= 255 * d, and sum * m(d) / 2^k then exceeds sum / d by less than
// sum * d / 2^k <= 255 * d * d / 2^k, which stays below 1 / d (so the quotient
// cannot reach the next integer) while 255 * d * d < 2^k:
//   narrow: 32-bit sums, k = 24, every count d <= 256; the product stays
//           below 255 * d * (2^24 / d + 1) = 255 * 2^24 + 255 * d < 2^32;
//   wide:   64-bit sums, k = 56, counts up to 1023 from a table, larger
//           ones divided for real.
// A pass whose counts all lie within 256 (every window up to 256 over any
// line, and every line up to 256 samples) takes the narrow form.

int32_t blurBothRefusedAllocations = 0;
bool boxBlurWideLanes = true;

// The passes are inlined into the bodies of the kernels, which run in code
// built for AVX2 or for any x86-64 as the instruction-set level allows (see
// runInWidestBuild), so that the loops over pixels use the wider registers
// where there are some. The arithmetic is integer throughout: both builds
// give the same bytes.
#define KERNEL_INLINE [[gnu::always_inline]] inline
#define KERNEL_INLINE_LAMBDA __attribute__((always_inline))

namespace {

constexpr int64_t kNarrowCounts = 256;
constexpr int64_t kWideTable = 1024;  // counts 1 .. 1023 have a multiplier
constexpr int32_t kStrip = 256;  // columns blurred side by side: one or four
                                 // kilobytes per row of a strip, so the rows
                                 // of a column window stay in L1 or L2 until
                                 // they leave it

struct Narrow {
    using Sum = uint32_t;
    using Mult = uint32_t;
    static constexpr int kShift = 24;
    static constexpr int64_t kTable = kNarrowCounts + 1;
};
struct Wide {
    using Sum = uint64_t;
    using Mult = uint64_t;
    static constexpr int kShift = 56;
    static constexpr int64_t kTable = kWideTable;
};
// The narrow form with 16-bit sums, for passes over every byte of an image
// (see shortMean): a window of at most 256 bytes sums to at most 65280.
struct Short {
    using Sum = uint16_t;
    using Mult = uint32_t;
    static constexpr int kShift = 24;
    static constexpr int64_t kTable = kNarrowCounts + 1;
};

// The 16-bit form whose means are not stored but summed along the row as
// they come (see shortStepLanes): the output is a row of 16-bit totals.
struct ShortTotals : Short {};

// Largest count a pass of window `len` over lines of `n` samples divides by:
// the edges reach up to 2h + 1 samples, cut to the line; the interior L.
int64_t largestCount(int64_t len, int64_t n) { return std::min(n, 2 * (len / 2) + 1); }

template <typename Form>
class Divisors {
public:
    using Mult = typename Form::Mult;
    explicit Divisors(int64_t largest) {
        limit_ = std::min(largest, Form::kTable - 1);
        for (int64_t d = 1; d <= limit_; ++d) {
            multiplier_[d] = static_cast<Mult>(((Mult{1} << Form::kShift) / static_cast<Mult>(d)) + 1);
        }
    }
    bool hasTable(int64_t count) const { return count <= limit_; }
    Mult multiplier(int64_t count) const { return multiplier_[count]; }

private:
    int64_t limit_ = 0;
    Mult multiplier_[Form::kTable];
};

static_assert(std::endian::native == std::endian::little,
              "pixels are read as little-endian words: byte c is bits 8c .. 8c + 7");

// One byte of every pixel. In a four-byte image (kPixel 4) the byte is bits
// `shift` .. shift + 7 of the pixel read as a word; pixels are read and
// written whole, the other three bytes written back as they were, so that
// loops over neighbouring pixels vectorise. The one-byte temporary image
// (kPixel 1) is read and written directly.
template <ptrdiff_t kPixel>
struct Plane;

template <>
struct Plane<4> {
    static uint32_t read(const uint8_t* p, int shift) {
        uint32_t w;
        std::memcpy(&w, p, 4);
        return (w >> shift) & 0xFFu;
    }
    static void write(uint8_t* p, int shift, uint32_t v) {
        uint32_t w;
        std::memcpy(&w, p, 4);
        w = (w & ~(0xFFu << shift)) | (v << shift);
        std::memcpy(p, &w, 4);
    }
};

template <>
struct Plane<1> {
    static uint32_t read(const uint8_t* p, int) { return *p; }
    static void write(uint8_t* p, int, uint32_t v) { *p = static_cast<uint8_t>(v); }
};

// Samples of `lanes` lines side by side: sample i of lane j lies at
// base + i * step + j * kPixel, the channel byte at bit `shift` of it.
struct Lines {
    const uint8_t* base;
    ptrdiff_t step;
    int shift;
};
struct OutLines {
    uint8_t* base;
    ptrdiff_t step;
    int shift;
};

// Which rows move in one step of a pass: `enters` rows join every lane's
// window, and with `leaves` one row drops out of it.
template <int kEnters, bool kLeaves>
struct Moves {
    static constexpr int enters = kEnters;
    static constexpr bool leaves = kLeaves;
};

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

// One output of each of `lanes` lanes: the sum updated by the rows that
// enter and leave, then divided by the count (multiplier m, or d for real
// when m is 0). The pointers do not overlap the sums or each other's
// written bytes, which lets the loop vectorise.
template <typename Form, ptrdiff_t kInPixel, ptrdiff_t kOutPixel, int kEnters, bool kLeaves>
KERNEL_INLINE void stepLanes(typename Form::Sum* __restrict sum, const uint8_t* __restrict enter1,
                             const uint8_t* __restrict enter2, const uint8_t* __restrict leave,
                             uint8_t* __restrict out, int32_t lanes, int inShift, int outShift,
                             typename Form::Mult m, typename Form::Mult d) {
    using Sum = typename Form::Sum;
    using In = Plane<kInPixel>;
    using Out = Plane<kOutPixel>;
    if constexpr (std::is_same_v<Form, ShortTotals>) {
        // As Short, into a row of totals (the output row is 16-bit).
        static_assert(kInPixel == 1 && kOutPixel == 1);
        (void)inShift;
        (void)outShift;
        shortStep<kEnters, kLeaves>(sum, enter1, enter2, leave, reinterpret_cast<uint16_t*>(out), lanes,
                                    ShortMultiplier(m, static_cast<int64_t>(d)));
        return;
    }
    if constexpr (std::is_same_v<Form, Short>) {
        // Bytes to bytes, every count within the table (m is never 0).
        static_assert(kInPixel == 1 && kOutPixel == 1);
        (void)inShift;
        (void)outShift;
        shortStep<kEnters, kLeaves>(sum, enter1, enter2, leave, out, lanes, ShortMultiplier(m, static_cast<int64_t>(d)));
        return;
    }
    auto update = [&](int32_t j) KERNEL_INLINE_LAMBDA {
        Sum v = sum[j];
        if constexpr (kEnters >= 1) v += In::read(enter1 + j * kInPixel, inShift);
        if constexpr (kEnters >= 2) v += In::read(enter2 + j * kInPixel, inShift);
        if constexpr (kLeaves) v -= In::read(leave + j * kInPixel, inShift);
        sum[j] = v;
        return v;
    };
    if (m != 0) {
        for (int32_t j = 0; j < lanes; ++j) {
            Out::write(out + j * kOutPixel, outShift, static_cast<uint32_t>((update(j) * m) >> Form::kShift));
        }
    } else {
        for (int32_t j = 0; j < lanes; ++j) {
            Out::write(out + j * kOutPixel, outShift, static_cast<uint32_t>(update(j) / d));
        }
    }
}

// Called after output i of every lane is written; passes that only write
// need nothing.
struct NoFollowUp {
    void operator()(int64_t) const {}
};

// One box pass of window `len` over `lanes` lines of `n` samples each,
// blurred in lockstep. A column pass makes the columns of a strip the lanes
// and walks the image row by row; a row pass runs one lane (kLanes 1) with
// the pixels of a row as its samples. The sums are kept in `sums` where
// given (room for laneCount), else in an array for at most kStrip lanes;
// `done(i)` runs once output i of every lane is written, in order.
template <typename Form, int32_t kLanes, ptrdiff_t kInPixel, ptrdiff_t kOutPixel,
          typename FollowUp = NoFollowUp>
KERNEL_INLINE void boxLines(Lines in, OutLines out, int64_t n, int32_t laneCount, int64_t len,
              const Divisors<Form>& div, typename Form::Sum* sums = nullptr, FollowUp done = {}) {
    using Sum = typename Form::Sum;
    using In = Plane<kInPixel>;
    using Out = Plane<kOutPixel>;
    const int32_t lanes = kLanes != 0 ? kLanes : laneCount;
    const uint8_t* src = in.base;
    uint8_t* dst = out.base;
    const int inShift = in.shift;
    const int outShift = out.shift;
    auto sample = [&](int64_t i, int32_t j) KERNEL_INLINE_LAMBDA -> Sum {
        return In::read(src + i * in.step + j * kInPixel, inShift);
    };
    Sum ownSums[kLanes != 0 ? kLanes : kStrip];
    Sum* sum = sums != nullptr ? sums : ownSums;
    auto clear = [&] { std::fill(sum, sum + lanes, Sum{0}); };
    auto add = [&](int64_t i) KERNEL_INLINE_LAMBDA {
        const uint8_t* s = src + i * in.step;
        for (int32_t j = 0; j < lanes; ++j) sum[j] += In::read(s + j * kInPixel, inShift);
    };
    // Output i of every lane, each lane's sum first brought up to date by
    // the rows that enter and leave its window, in the same loop.
    auto step = [&](int64_t i, int64_t count, auto entersLeaves, const uint8_t* enter1,
                    const uint8_t* enter2, const uint8_t* leave) KERNEL_INLINE_LAMBDA {
        constexpr int kEnters = decltype(entersLeaves)::enters;
        constexpr bool kLeaves = decltype(entersLeaves)::leaves;
        const bool table = div.hasTable(count);
        stepLanes<Form, kInPixel, kOutPixel, kEnters, kLeaves>(
            sum, enter1, enter2, leave, dst + i * out.step, lanes, inShift, outShift,
            table ? div.multiplier(count) : typename Form::Mult{0}, static_cast<typename Form::Mult>(count));
        done(i);
    };
    auto row = [&](int64_t i) { return src + i * in.step; };

    if (len < 2) {  // a window of one sample, or none: copy
        for (int64_t i = 0; i < n; ++i) {
            for (int32_t j = 0; j < lanes; ++j) {
                Out::write(dst + i * out.step + j * kOutPixel, outShift,
                           static_cast<uint32_t>(sample(i, j)));
            }
            done(i);
        }
        return;
    }

    const int64_t h = len / 2;
    const int64_t trailStart = std::max<int64_t>(0, n - 1 - h);

    // Leading edge up to h, or to where the trailing edge begins: the window
    // 0 .. i + h grows by one sample per output and stays inside the line.
    const int64_t leadEnd = std::min(h, trailStart - 1);
    clear();
    if (leadEnd >= 0) {
        for (int64_t k = 0; k < h; ++k) add(k);
        for (int64_t i = 0; i <= leadEnd; ++i) {
            const uint8_t* enter = row(i + h);
            step(i, i + h + 1, Moves<1, false>{}, enter, nullptr, nullptr);
        }
    }

    // Interior: here the leading edge ran to h, so the sum holds 0 .. 2h;
    // the first interior window is 1 .. len, then it slides.
    const bool interior = h + 1 <= trailStart - 1;
    if (interior) {
        const uint8_t* first = row(0);
        const uint8_t* last = row(2 * h + 1);
        if (len & 1) {
            step(h + 1, len, Moves<1, true>{}, last, nullptr, first);
        } else {
            step(h + 1, len, Moves<0, true>{}, nullptr, nullptr, first);
        }
        for (int64_t i = h + 2; i < trailStart; ++i) {
            const uint8_t* enter = row(i - h + len - 1);
            const uint8_t* leave = row(i - h - 1);
            step(i, len, Moves<1, true>{}, enter, nullptr, leave);
        }
    }

    // Trailing edge: the window max(0, i - h) .. n - 1. After an interior the
    // sum moves on from the last interior window (n - 2 - 2h onwards, L
    // samples) to n - 1 - 2h .. n - 1; otherwise it is summed afresh. Then
    // each further output drops the sample that leaves at the front.
    if (interior) {
        const uint8_t* leave = row(n - 2 - 2 * h);
        const uint8_t* beforeLast = row(n - 2);
        const uint8_t* lastSample = row(n - 1);
        if (len & 1) {
            step(trailStart, 2 * h + 1, Moves<1, true>{}, lastSample, nullptr, leave);
        } else {
            step(trailStart, 2 * h + 1, Moves<2, true>{}, beforeLast, lastSample, leave);
        }
    } else {
        clear();
        const int64_t from = std::max<int64_t>(0, trailStart - h);
        for (int64_t k = from; k < n; ++k) add(k);
        step(trailStart, n - from, Moves<0, false>{}, nullptr, nullptr, nullptr);
    }
    for (int64_t i = trailStart + 1; i < n; ++i) {
        if (i - 1 - h >= 0) {
            const uint8_t* leave = row(i - 1 - h);
            step(i, n - (i - h), Moves<0, true>{}, nullptr, nullptr, leave);
        } else {
            step(i, n, Moves<0, false>{}, nullptr, nullptr, nullptr);
        }
    }
}

// Row pass in the narrow form over rows of at most kPrefixRow pixels: the
// running totals t[k] of the first k samples of the row are taken once, and
// every window sum is then t[end] - t[start], the same sum as the sliding
// one, computed without a chain from output to output so that the interior
// loop vectorises. Totals are 32-bit and may wrap on a long row; differences
// of wrapped totals are still the exact window sums (below 2^32).
constexpr int64_t kPrefixRow = 4096;

// totals[k] = sum of the first k samples of a row, k = 0 .. n. The scalar
// loop is one chain of additions; with SSE2 four (or sixteen) samples are
// summed at once by shifted additions within a register, and the carry from
// the last total moves on. Both give the same totals.
template <ptrdiff_t kInPixel>
KERNEL_INLINE void runningTotals(const uint8_t* s, int shift, int64_t n, uint32_t* totals) {
    totals[0] = 0;
    int64_t x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i carry = zero;
    if (kLanes < IsaLevel::Sse2) {
        // The plain loop below does the whole row.
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
#endif
    uint32_t running = totals[x];
    for (; x < n; ++x) {
        running += Plane<kInPixel>::read(s + x * kInPixel, shift);
        totals[x + 1] = running;
    }
}

// Outputs first .. end - 1 of a row: ((hi - lo) * mult) >> 24. Each operand
// is an array with an offset: one that steps with the output (k...Step 1)
// is read at offset + (i - first), a fixed one (0) at offset. The offsets
// are applied only when there is an output, so no pointer is formed outside
// an array.
template <ptrdiff_t kOutPixel, int kHiStep, int kLoStep, int kMultStep>
KERNEL_INLINE void writeMeans(uint8_t* __restrict o, int shift, int64_t first, int64_t end,
                              const uint32_t* hiArray, int64_t hiOffset, const uint32_t* loArray,
                              int64_t loOffset, const uint32_t* multArray) {
    if (first >= end) return;
    const uint32_t* __restrict hi = hiArray + hiOffset;
    const uint32_t* __restrict lo = loArray + loOffset;
    const uint32_t* __restrict mult = multArray;
    for (int64_t i = first; i < end; ++i) {
        const int64_t k = i - first;
        const uint32_t sum = hi[k * kHiStep] - lo[k * kLoStep];
        Plane<kOutPixel>::write(o + i * kOutPixel, shift, (sum * mult[k * kMultStep]) >> Narrow::kShift);
    }
}

// The parts of a row pass by totals over rows of n samples, window len:
// leading edge 0 .. leadEnd, interior h + 1 .. trailStart - 1, outputs
// trailStart .. min(h, n) - 1 whose window is the whole row, and trailing
// outputs cutStart .. n - 1, with their multipliers taken once per pass.
struct RowEdges {
    int64_t n, len, h, trailStart, leadEnd, cutStart;
    uint32_t m;          // the interior's; only needed when there is an
                         // interior, and then len <= n - 3 <= 256
    uint32_t wholeMult;  // a window of the whole row
    // The leading counts i + h + 1, and the trailing counts n - (i - h) for
    // the outputs whose window starts inside the line at i - h. Every count
    // is at most 256, so each edge has at most 257 outputs.
    uint32_t leadMult[kNarrowCounts + 1];
    uint32_t trailMult[kNarrowCounts + 1];

    RowEdges(int64_t samples, int64_t window, const Divisors<Narrow>& div) {
        n = samples;
        len = window;
        h = len / 2;
        trailStart = std::max<int64_t>(0, n - 1 - h);
        leadEnd = std::min(h, trailStart - 1);
        cutStart = std::max(trailStart, h);
        m = div.hasTable(len) ? div.multiplier(len) : 0;
        wholeMult = div.hasTable(n) ? div.multiplier(n) : 0;
        for (int64_t i = 0; i <= leadEnd; ++i) leadMult[i] = div.multiplier(i + h + 1);
        for (int64_t i = cutStart; i < n; ++i) trailMult[i - cutStart] = div.multiplier(n - (i - h));
    }
};

template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel>
KERNEL_INLINE void rowsByTotals(Lines in, OutLines out, int32_t height, int64_t n, int64_t len,
                  const Divisors<Narrow>& div) {
    const RowEdges e(n, len, div);
    const int64_t h = e.h, trailStart = e.trailStart, leadEnd = e.leadEnd, cutStart = e.cutStart;
    const uint32_t m = e.m, wholeMult = e.wholeMult;
    const uint32_t* leadMult = e.leadMult;
    const uint32_t* trailMult = e.trailMult;
    const uint32_t zero = 0;

    uint32_t totals[kPrefixRow + 1];
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* s = in.base + y * in.step;
        uint8_t* o = out.base + y * out.step;
        runningTotals<kInPixel>(s, in.shift, n, totals);
        writeMeans<kOutPixel, 1, 0, 1>(o, out.shift, 0, leadEnd + 1, totals, h + 1, &zero, 0,
                                       leadMult);
        writeMeans<kOutPixel, 1, 1, 0>(o, out.shift, h + 1, trailStart, totals, len + 1, totals, 1, &m);
        writeMeans<kOutPixel, 0, 0, 0>(o, out.shift, trailStart, std::min(h, n), totals, n, &zero, 0,
                                       &wholeMult);
        writeMeans<kOutPixel, 0, 1, 1>(o, out.shift, cutStart, n, totals, n, totals, cutStart - h,
                                       trailMult);
    }
}

// The row pass of rowsByTotals on all four bytes of every pixel at once, in
// 16-bit lanes: totals[4k + c] is the sum of byte c of the first k pixels of
// a row, modulo 2^16, and each window sum (below 2^16) is the difference of
// two totals, with the four lanes of a pixel sharing its count. The means go
// straight into the destination row, whose byte 0 is kept as it was.
uint16_t pixelTotals[(kPrefixRow + 1) * 4];

// The multipliers of RowEdges split for 16-bit lanes, one per lane: the
// edges' for each of their pixels' four lanes, the interior's and the whole
// row's repeated over sixteen lanes; and the interior's ShortDivisor.
struct ShortRowEdges {
    uint16_t leadHigh[(kNarrowCounts + 1) * 4], leadLow[(kNarrowCounts + 1) * 4];
    uint16_t trailHigh[(kNarrowCounts + 1) * 4], trailLow[(kNarrowCounts + 1) * 4];
    uint16_t interiorHigh[16], interiorLow[16];
    uint16_t wholeHigh[16], wholeLow[16];
    ShortDivisor interior;

    explicit ShortRowEdges(const RowEdges& e) : interior(shortDivisor(e.len)) {
        auto split = [](uint32_t m, uint16_t* high, uint16_t* low, int64_t lanes) {
            const ShortMultiplier s(m);
            std::fill(high, high + lanes, s.high);
            std::fill(low, low + lanes, s.low);
        };
        for (int64_t i = 0; i <= e.leadEnd; ++i) split(e.leadMult[i], leadHigh + 4 * i, leadLow + 4 * i, 4);
        for (int64_t i = e.cutStart; i < e.n; ++i) {
            const int64_t k = i - e.cutStart;
            split(e.trailMult[k], trailHigh + 4 * k, trailLow + 4 * k, 4);
        }
        split(e.m, interiorHigh, interiorLow, 16);
        split(e.wholeMult, wholeHigh, wholeLow, 16);
    }
};

const uint16_t kZeroLanes[16] = {};

// totals[4k + c] for k = 0 .. n. With SSE2 four pixels at a time: two pixels
// per register, the second made the sum of both by a shifted addition, then
// the carry (the last total, in both halves) added.
KERNEL_INLINE void shortPixelTotals(const uint8_t* s, int64_t n, uint16_t* totals) {
    totals[0] = totals[1] = totals[2] = totals[3] = 0;
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
#endif
    for (; x < n; ++x) {
        for (int64_t c = 0; c < 4; ++c) {
            totals[(x + 1) * 4 + c] = static_cast<uint16_t>(totals[x * 4 + c] + s[x * 4 + c]);
        }
    }
}

// One row of the fused pass from its totals (see shortPixelTotals) into
// destination row o (n pixels), whose byte 0 is kept; with kMix every byte
// of the row is then mixed with the untouched row (see BlurBothPictureMixed).
// The parts of the row are those of RowEdges; a part's offsets are applied
// only when it has outputs, so no pointer is formed outside an array.
template <bool kMix>
KERNEL_INLINE void shortPixelRowFromTotals(const uint16_t* totals, uint8_t* o, const RowEdges& e,
                                           const ShortRowEdges& se, const uint8_t* untouched, MixWeights w) {
    const int64_t n = e.n, len = e.len, h = e.h, trailStart = e.trailStart, leadEnd = e.leadEnd, cutStart = e.cutStart;
    uint16_t whole[16];  // the totals of the whole row, repeated
    for (int64_t j = 0; j < 16; ++j) whole[j] = totals[n * 4 + (j & 3)];
    if (leadEnd >= 0) {
        shortRow<1, 0, 1, kMix>(totals + (h + 1) * 4, kZeroLanes, se.leadHigh, se.leadLow, o, untouched,
                                (leadEnd + 1) * 4, w);
    }
    if (h + 1 < trailStart) {
        shortRow<1, 1, 0, kMix>(totals + (len + 1) * 4, totals + 4, se.interiorHigh, se.interiorLow, o + (h + 1) * 4,
                                untouched + (h + 1) * 4, (trailStart - h - 1) * 4, w, se.interior);
    }
    if (trailStart < std::min(h, n)) {
        shortRow<0, 0, 0, kMix>(whole, kZeroLanes, se.wholeHigh, se.wholeLow, o + trailStart * 4,
                                untouched + trailStart * 4, (std::min(h, n) - trailStart) * 4, w);
    }
    if (cutStart < n) {
        shortRow<0, 1, 1, kMix>(whole, totals + (cutStart - h) * 4, se.trailHigh, se.trailLow, o + cutStart * 4,
                                untouched + cutStart * 4, (n - cutStart) * 4, w);
    }
}

// The same from source row s, without a mix (o stands in for the untouched
// row, which is not read).
KERNEL_INLINE void shortPixelRow(const uint8_t* s, uint8_t* o, const RowEdges& e, const ShortRowEdges& se) {
    shortPixelTotals(s, e.n, pixelTotals);
    shortPixelRowFromTotals<false>(pixelTotals, o, e, se, o, MixWeights{255, 0});
}

// Whether a row pass of window len over rows of n pixels takes the fused
// 16-bit form: a window of two samples or more, rows within the totals
// buffer, every count within the narrow table.
bool shortPixelRowsFit(int64_t len, int64_t n) {
    return len >= 2 && n <= kPrefixRow && largestCount(len, n) <= kNarrowCounts;
}

KERNEL_INLINE void shortPixelRows(const uint8_t* source, uint8_t* destination, int32_t height, int64_t n,
                                  int64_t len) {
    const Divisors<Narrow> div(largestCount(len, n));
    const RowEdges e(n, len, div);
    const ShortRowEdges se(e);
    for (int32_t y = 0; y < height; ++y) shortPixelRow(source + y * n * 4, destination + y * n * 4, e, se);
}

bool validCall(int32_t width, int32_t height, int32_t channel) {
    return width > 0 && height > 0 && channel >= 0 && channel < 4;
}

// Column pass, window r / 2: columns in strips of kStrip, each strip walked
// row by row. kInPixel/kOutPixel are the pixel sizes of the two images (4 in
// a four-byte image, 1 in the one-byte temporary); the shifts select the
// channel byte.
template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel, typename Form>
KERNEL_INLINE void columnStrips(Lines in, OutLines out, int32_t width, int32_t height, int64_t len) {
    const Divisors<Form> div(largestCount(len, height));
    for (int32_t x = 0; x < width; x += kStrip) {
        const int32_t lanes = std::min(kStrip, width - x);
        boxLines<Form, 0, kInPixel, kOutPixel>(
            Lines{in.base + x * kInPixel, in.step, in.shift},
            OutLines{out.base + x * kOutPixel, out.step, out.shift}, height, lanes, len, div);
    }
}

template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel>
KERNEL_INLINE void columnPass(const uint8_t* src, int inShift, uint8_t* dst, int outShift, int32_t width,
                int32_t height, int32_t window) {
    const int64_t len = window / 2;
    const Lines in{src, width * kInPixel, inShift};
    const OutLines out{dst, width * kOutPixel, outShift};
    if (largestCount(len, height) <= kNarrowCounts) {
        columnStrips<kInPixel, kOutPixel, Narrow>(in, out, width, height, len);
    } else {
        columnStrips<kInPixel, kOutPixel, Wide>(in, out, width, height, len);
    }
}

// Row pass, window r: one row at a time.
template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel, typename Form>
KERNEL_INLINE void rowsOneByOne(Lines in, OutLines out, int32_t width, int32_t height, int64_t len) {
    const Divisors<Form> div(largestCount(len, width));
    for (int32_t y = 0; y < height; ++y) {
        boxLines<Form, 1, kInPixel, kOutPixel>(Lines{in.base + y * in.step, kInPixel, in.shift},
                                               OutLines{out.base + y * out.step, kOutPixel, out.shift},
                                               width, 1, len, div);
    }
}

template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel>
KERNEL_INLINE void rowPass(const uint8_t* src, int inShift, uint8_t* dst, int outShift, int32_t width,
             int32_t height, int32_t window) {
    const int64_t len = window;
    const Lines in{src, width * kInPixel, inShift};
    const OutLines out{dst, width * kOutPixel, outShift};
    if (len >= 2 && width <= kPrefixRow && largestCount(len, width) <= kNarrowCounts) {
        const Divisors<Narrow> div(largestCount(len, width));
        rowsByTotals<kInPixel, kOutPixel>(in, out, height, width, len, div);
    } else if (largestCount(len, width) <= kNarrowCounts) {
        rowsOneByOne<kInPixel, kOutPixel, Narrow>(in, out, width, height, len);
    } else {
        rowsOneByOne<kInPixel, kOutPixel, Wide>(in, out, width, height, len);
    }
}

// The passes of each kernel, built once per instruction set; the exported
// kernels below call these, so the choice between the builds is made inside
// this file whatever compiler builds the callers.
void blurBothPasses(const uint8_t* source, uint8_t* temporary, uint8_t* destination, int32_t width,
                    int32_t height, int32_t window, int32_t channel) {
    runInWidestBuild([&]() ISA_BODY {
        columnPass<4, 1>(source, 8 * channel, temporary, 0, width, height, window);
        rowPass<1, 4>(temporary, 0, destination, 8 * channel, width, height, window);
    });
}

// BlurBoth on bytes 1, 2 and 3 at once: the column pass over every byte of
// the image (seen as a byte image four times as wide, whose columns are the
// bytes of the pixel columns), then the row pass on the three bytes, fused
// where the rows take the narrow form with totals, byte by byte elsewhere.
// Byte 0 of the temporary image is blurred along but never used.
void picturePasses(const uint8_t* source, uint8_t* temporary, uint8_t* destination, int32_t width,
                   int32_t height, int32_t window) {
    runInWidestBuild([&]() ISA_BODY {
        const int32_t lanes = width * 4;
        const int64_t columnLen = window / 2;
        const Lines in{source, lanes, 0};
        const OutLines out{temporary, lanes, 0};
        if (largestCount(columnLen, height) <= kNarrowCounts) {
            columnStrips<1, 1, Short>(in, out, lanes, height, columnLen);
        } else {
            columnStrips<1, 1, Wide>(in, out, lanes, height, columnLen);
        }
        const int64_t len = window;
        if (shortPixelRowsFit(len, width)) {
            shortPixelRows(temporary, destination, height, width, len);
        } else {
            for (int shift = 8; shift < 32; shift += 8) {
                rowPass<4, 4>(temporary, shift, destination, shift, width, height, window);
            }
        }
    });
}

// Whether picturePassesByRows can take a picture: both passes in their
// 16-bit forms.
bool picturePassesByRowsFit(int32_t width, int32_t height, int32_t window) {
    return shortPixelRowsFit(window, width) && window / 2 >= 2 && largestCount(window / 2, height) <= kNarrowCounts;
}

// Whether two images of width x height pixels share no byte. Blurring row by
// row writes destination rows while source rows below them are still to be
// read, so an image blurred onto itself takes a temporary image instead.
bool apart(const uint8_t* a, const uint8_t* b, int32_t width, int32_t height) {
    const uintptr_t bytes = static_cast<uintptr_t>(width) * static_cast<uintptr_t>(height) * 4u;
    const uintptr_t x = reinterpret_cast<uintptr_t>(a);
    const uintptr_t y = reinterpret_cast<uintptr_t>(b);
    return x >= y ? x - y >= bytes : y - x >= bytes;
}

// The column sums of every byte of a row and one blurred row, for
// picturePassesByRows.
uint16_t rowColumnSums[kPrefixRow * 4];
uint16_t columnBlurredTotals[(kPrefixRow + 1) * 4];

// picturePasses without a temporary image: the column pass runs over whole
// rows at once (every byte of a row a lane), and each row it finishes is at
// once blurred along the row into the destination, while it is in cache.
void picturePassesByRows(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                         int32_t window, uint32_t strength) {
    runInWidestBuild([&]() ISA_BODY {
        const int32_t lanes = width * 4;
        const int64_t len = window;
        const Divisors<Narrow> rowDiv(largestCount(len, width));
        const RowEdges e(width, len, rowDiv);
        const ShortRowEdges se(e);
        const MixWeights w{static_cast<uint16_t>(strength), static_cast<uint16_t>(255u - strength)};
        const Divisors<ShortTotals> columnDiv(largestCount(window / 2, height));
        // Inlined, so that the row pass is built for the same processor as this
        // function.
        auto blurRow = [&](int64_t y) KERNEL_INLINE_LAMBDA {
            uint8_t* o = destination + y * lanes;
            if (strength == 255) {
                shortPixelRowFromTotals<false>(columnBlurredTotals, o, e, se, o, w);
            } else {
                shortPixelRowFromTotals<true>(columnBlurredTotals, o, e, se, source + y * lanes, w);
            }
        };
        // The column pass's rows come as totals along the row: their first four
        // stay 0.
        std::fill(columnBlurredTotals, columnBlurredTotals + 4, uint16_t{0});
        boxLines<ShortTotals, 0, 1, 1>(Lines{source, lanes, 0},
                                       OutLines{reinterpret_cast<uint8_t*>(columnBlurredTotals), 0, 0}, height,
                                       lanes, window / 2, columnDiv, rowColumnSums, blurRow);
    });
}

void columnPassOfImage(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                       int32_t window, int32_t channel) {
    runInWidestBuild([&]() ISA_BODY {
        columnPass<4, 4>(source, 8 * channel, destination, 8 * channel, width, height, window);
    });
}

void rowPassOfImage(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                    int32_t window, int32_t channel) {
    runInWidestBuild([&]() ISA_BODY {
        rowPass<4, 4>(source, 8 * channel, destination, 8 * channel, width, height, window);
    });
}

// picturePassesByRows where it can take the picture (not while a test
// refuses memory, so that the fallbacks stay as they were): returns whether
// it did.
bool blurredRowByRow(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height, int32_t window,
                     uint32_t strength) {
    if (blurBothRefusedAllocations != 0 || !picturePassesByRowsFit(width, height, window) ||
        !apart(source, destination, width, height)) {
        return false;
    }
    picturePassesByRows(source, destination, width, height, window, strength);
    return true;
}

}  // namespace

BlurMemory::BlurMemory(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        taken_ = true;
        return;
    }
    if (blurBothRefusedAllocations > 0) {
        --blurBothRefusedAllocations;
        return;
    }
    // Only the one byte per pixel that is blurred is kept in between.
    const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (count > static_cast<uint64_t>(PTRDIFF_MAX)) return;
    bytes_ = new (std::nothrow) uint8_t[static_cast<size_t>(count)];
    taken_ = bytes_ != nullptr;
}

BlurMemory::~BlurMemory() { delete[] bytes_; }

void BlurBoth(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
              int32_t window, int32_t channel, const BlurMemory& memory) {
    if (!validCall(width, height, channel)) return;
    blurBothPasses(source, memory.bytes(), destination, width, height, window, channel);
}

bool BlurBoth(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
              int32_t window, int32_t channel) {
    if (!validCall(width, height, channel)) return true;
    const BlurMemory memory(width, height);
    if (!memory.taken()) return false;
    BlurBoth(source, destination, width, height, window, channel, memory);
    return true;
}

void BlurVertical(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                  int32_t window, int32_t channel) {
    if (!validCall(width, height, channel)) return;
    columnPassOfImage(source, destination, width, height, window, channel);
}

void BlurHorizontal(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                    int32_t window, int32_t channel) {
    if (!validCall(width, height, channel)) return;
    rowPassOfImage(source, destination, width, height, window, channel);
}

bool BlurBothPicture(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                     int32_t window) {
    if (width <= 0 || height <= 0) return true;
    if (blurredRowByRow(source, destination, width, height, window, 255)) return true;
    // All four bytes of every pixel are kept in between. Without that much
    // memory (or while a test refuses it), or for an image too wide to be
    // seen as bytes, the three bytes are blurred one by one instead.
    const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4u;
    uint8_t* temporary = nullptr;
    if (blurBothRefusedAllocations == 0 && width <= INT32_MAX / 4 &&
        bytes <= static_cast<uint64_t>(PTRDIFF_MAX)) {
        temporary = new (std::nothrow) uint8_t[static_cast<size_t>(bytes)];
    }
    if (temporary == nullptr) {
        bool blurred = true;
        for (int32_t channel = 1; channel < 4; ++channel) {
            blurred = BlurBoth(source, destination, width, height, window, channel) && blurred;
        }
        return blurred;
    }
    picturePasses(source, temporary, destination, width, height, window);
    delete[] temporary;
    return true;
}

bool BlurBothPictureMixed(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                          int32_t window, uint32_t strength) {
    if (width <= 0 || height <= 0) return true;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4u;
    if (strength == 0) {  // the source, whatever the blur gives
        std::memmove(destination, source, bytes);
        return true;
    }
    strength = std::min(strength, 255u);
    if (blurredRowByRow(source, destination, width, height, window, strength)) return true;
    if (!BlurBothPicture(source, destination, width, height, window)) return false;
    if (strength == 255) return true;
    mixBytesByStrength(destination, source, bytes, strength);
    return true;
}
