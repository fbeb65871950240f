// The row passes by running totals of the kernels (internal to
// BoxBlur.cpp): one byte of every pixel in 32-bit totals, and all four
// bytes at once in 16-bit lanes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "BoxBlurForms.h"
#include "BoxBlurLanes.h"

namespace {

// Row pass in the narrow form over rows of at most kPrefixRow pixels: the
// running totals t[k] of the first k samples of the row are taken once, and
// every window sum is then t[end] - t[start], the same sum as the sliding
// one, computed without a chain from output to output so that the interior
// loop vectorises. Totals are 32-bit and may wrap on a long row; differences
// of wrapped totals are still the exact window sums (below 2^32).
constexpr int64_t kPrefixRow = 4096;

// totals[k] = sum of the first k samples of a row, k = 0 .. n: one chain of
// additions, after the samples the lanes have summed (see
// runningTotalsInLanes).
template <ptrdiff_t kInPixel>
KERNEL_INLINE void runningTotals(const uint8_t* s, int shift, int64_t n, uint32_t* totals) {
    totals[0] = 0;
    const int64_t done = runningTotalsInLanes<kInPixel>(s, shift, n, totals);
    uint32_t running = totals[done];
    for (int64_t x = done; x < n; ++x) {
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

// totals[4k + c] for k = 0 .. n, after the pixels the lanes have summed
// (see shortPixelTotalsInLanes).
KERNEL_INLINE void shortPixelTotals(const uint8_t* s, int64_t n, uint16_t* totals) {
    totals[0] = totals[1] = totals[2] = totals[3] = 0;
    for (int64_t x = shortPixelTotalsInLanes(s, n, totals); x < n; ++x) {
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

}  // namespace
