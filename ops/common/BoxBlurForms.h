// The number forms of the box kernels (internal to BoxBlur.cpp): the sums
// and multipliers of the narrow, wide and 16-bit passes, the table of
// per-count multipliers, and how a pass reads one byte of its lines.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

}  // namespace
