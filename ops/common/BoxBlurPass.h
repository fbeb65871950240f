// The box pass of the kernels (internal to BoxBlur.cpp), in plain code.
//
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
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "BoxBlurForms.h"
#include "BoxBlurLanes.h"

namespace {

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

}  // namespace
