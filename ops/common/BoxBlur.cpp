#include "BoxBlur.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

// One box pass turns a line of n samples into n means. With window length L
// and half-width h = L / 2:
//   leading edge  (i = 0 .. h):          mean of samples 0 .. i + h
//   interior      (i = h+1 .. n-2-h):    mean of the L samples from i - h
//   trailing edge (i = n-1-h .. n-1):    mean of samples i - h .. n - 1
// The trailing edge takes precedence over the leading one where both reach.
// Where a line is shorter than 2h + 1, every edge window is cut to the line
// (which then reduces to the mean of what the line holds around i); L below 2
// copies the line. The interior slides a running sum, so each output costs
// one addition, one subtraction and one division whatever L is.
//
// Means are sums divided by counts, truncating, done as a multiply and shift
// by a per-count multiplier m(d) = floor(2^k / d) + 1. For a mean of bytes,
// sum <= 255 * d, and sum * m(d) / 2^k then exceeds sum / d by less than
// sum * d / 2^k <= 255 * d * d / 2^k, which stays below 1 / d (so the quotient
// cannot reach the next integer) while 255 * d * d < 2^k:
//   narrow: 32-bit sums, k = 24, every count d <= 256; the product stays
//           below 2^32 (checked for every sum and count by the tests);
//   wide:   64-bit sums, k = 56, counts up to 1023 from a table, larger
//           ones divided for real.
// A pass whose counts all lie within 256 (every window up to 256 over any
// line, and every line up to 256 samples) takes the narrow form.

int32_t blurBothRefusedAllocations = 0;

namespace {

constexpr int64_t kNarrowCounts = 256;
constexpr int64_t kWideTable = 1024;  // counts 1 .. 1023 have a multiplier
constexpr int32_t kStrip = 256;       // columns blurred side by side

struct Narrow {
    using Sum = uint32_t;
    static constexpr int kShift = 24;
    static constexpr int64_t kTable = kNarrowCounts + 1;
};
struct Wide {
    using Sum = uint64_t;
    static constexpr int kShift = 56;
    static constexpr int64_t kTable = kWideTable;
};

// Largest count a pass of window `len` over lines of `n` samples divides by:
// the edges reach up to 2h + 1 samples, cut to the line; the interior L.
int64_t largestCount(int64_t len, int64_t n) { return std::min(n, 2 * (len / 2) + 1); }

template <typename Form>
class Divisors {
public:
    using Sum = typename Form::Sum;
    explicit Divisors(int64_t largest) {
        limit_ = std::min(largest, Form::kTable - 1);
        for (int64_t d = 1; d <= limit_; ++d) {
            multiplier_[d] = static_cast<Sum>(((Sum{1} << Form::kShift) / static_cast<Sum>(d)) + 1);
        }
    }
    bool hasTable(int64_t count) const { return count <= limit_; }
    Sum multiplier(int64_t count) const { return multiplier_[count]; }

private:
    int64_t limit_ = 0;
    Sum multiplier_[Form::kTable];
};

// Samples of `lanes` lines side by side: sample i of lane j lies at
// base + i * step + j * lane. The lines are blurred in lockstep, so a column
// pass walks the image row by row. Strides known at compile time (template
// arguments other than 0) replace the run-time ones so that the loops over
// lanes vectorise.
struct Lines {
    const uint8_t* base;
    ptrdiff_t step;
    ptrdiff_t lane;
};
struct OutLines {
    uint8_t* base;
    ptrdiff_t step;
    ptrdiff_t lane;
};

// One box pass of window `len` over `lanes` lines of `n` samples each.
// kLanes fixes the lane count (1 for a row at a time), 0 takes it from
// `laneCount` (at most kStrip).
template <typename Form, int32_t kLanes, ptrdiff_t kInStep, ptrdiff_t kInLane, ptrdiff_t kOutStep,
          ptrdiff_t kOutLane>
void boxLines(Lines in, OutLines out, int64_t n, int32_t laneCount, int64_t len,
              const Divisors<Form>& div) {
    using Sum = typename Form::Sum;
    const int32_t lanes = kLanes != 0 ? kLanes : laneCount;
    const ptrdiff_t inStep = kInStep != 0 ? kInStep : in.step;
    const ptrdiff_t inLane = kInLane != 0 ? kInLane : in.lane;
    const ptrdiff_t outStep = kOutStep != 0 ? kOutStep : out.step;
    const ptrdiff_t outLane = kOutLane != 0 ? kOutLane : out.lane;
    const uint8_t* src = in.base;
    uint8_t* dst = out.base;
    auto sample = [&](int64_t i, int32_t j) -> Sum { return src[i * inStep + j * inLane]; };
    Sum sum[kLanes != 0 ? kLanes : kStrip];
    auto clear = [&] { std::fill(sum, sum + lanes, Sum{0}); };
    auto add = [&](int64_t i) {
        const uint8_t* s = src + i * inStep;
        for (int32_t j = 0; j < lanes; ++j) sum[j] += s[j * inLane];
    };
    auto emit = [&](int64_t i, int64_t count) {
        uint8_t* o = dst + i * outStep;
        if (div.hasTable(count)) {
            const Sum m = div.multiplier(count);
            for (int32_t j = 0; j < lanes; ++j) {
                o[j * outLane] = static_cast<uint8_t>((sum[j] * m) >> Form::kShift);
            }
        } else {
            const Sum d = static_cast<Sum>(count);
            for (int32_t j = 0; j < lanes; ++j) o[j * outLane] = static_cast<uint8_t>(sum[j] / d);
        }
    };

    if (len < 2) {  // a window of one sample, or none: copy
        for (int64_t i = 0; i < n; ++i) {
            for (int32_t j = 0; j < lanes; ++j) {
                dst[i * outStep + j * outLane] = src[i * inStep + j * inLane];
            }
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
            add(i + h);
            emit(i, i + h + 1);
        }
    }

    // Interior: here the leading edge ran to h, so the sum holds 0 .. 2h;
    // the first interior window is 1 .. len, then it slides.
    if (h + 1 <= trailStart - 1) {
        for (int32_t j = 0; j < lanes; ++j) {
            sum[j] -= sample(0, j);
            if (len & 1) sum[j] += sample(2 * h + 1, j);
        }
        emit(h + 1, len);
        const Sum m = div.hasTable(len) ? div.multiplier(len) : 0;
        for (int64_t i = h + 2; i < trailStart; ++i) {
            const uint8_t* enter = src + (i - h + len - 1) * inStep;
            const uint8_t* leave = src + (i - h - 1) * inStep;
            uint8_t* o = dst + i * outStep;
            if (m != 0) {
                for (int32_t j = 0; j < lanes; ++j) {
                    sum[j] = sum[j] + enter[j * inLane] - leave[j * inLane];
                    o[j * outLane] = static_cast<uint8_t>((sum[j] * m) >> Form::kShift);
                }
            } else {
                for (int32_t j = 0; j < lanes; ++j) {
                    sum[j] = sum[j] + enter[j * inLane] - leave[j * inLane];
                    o[j * outLane] = static_cast<uint8_t>(sum[j] / static_cast<Sum>(len));
                }
            }
        }
    }

    // Trailing edge, from the last sample backwards: the window
    // max(0, i - h) .. n - 1 grows by one sample per output.
    clear();
    for (int64_t k = std::max<int64_t>(0, n - 1 - h); k < n; ++k) add(k);
    for (int64_t i = n - 1; i >= trailStart; --i) {
        if (i < n - 1 && i - h >= 0) add(i - h);
        emit(i, n - std::max<int64_t>(0, i - h));
    }
}

bool validCall(int32_t width, int32_t height, int32_t channel) {
    return width > 0 && height > 0 && channel >= 0 && channel < 4;
}

// Column pass, window r / 2: columns in strips of kStrip, each strip walked
// row by row. kInPixel/kOutPixel are the byte distances between neighbouring
// pixels of a row (4 in an image, 1 in the one-byte temporary).
template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel, typename Form>
void columnStrips(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int64_t len) {
    const Divisors<Form> div(largestCount(len, height));
    for (int32_t x = 0; x < width; x += kStrip) {
        const int32_t lanes = std::min(kStrip, width - x);
        boxLines<Form, 0, 0, kInPixel, 0, kOutPixel>(
            Lines{src + x * kInPixel, width * kInPixel, kInPixel},
            OutLines{dst + x * kOutPixel, width * kOutPixel, kOutPixel}, height, lanes, len, div);
    }
}

template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel>
void columnPass(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t window) {
    const int64_t len = window / 2;
    if (largestCount(len, height) <= kNarrowCounts) {
        columnStrips<kInPixel, kOutPixel, Narrow>(src, dst, width, height, len);
    } else {
        columnStrips<kInPixel, kOutPixel, Wide>(src, dst, width, height, len);
    }
}

// Row pass, window r: one row at a time.
template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel, typename Form>
void rowsOneByOne(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int64_t len) {
    const Divisors<Form> div(largestCount(len, width));
    for (int32_t y = 0; y < height; ++y) {
        const ptrdiff_t row = static_cast<ptrdiff_t>(y) * width;
        boxLines<Form, 1, kInPixel, 1, kOutPixel, 1>(Lines{src + row * kInPixel, kInPixel, 0},
                                                     OutLines{dst + row * kOutPixel, kOutPixel, 0},
                                                     width, 1, len, div);
    }
}

template <ptrdiff_t kInPixel, ptrdiff_t kOutPixel>
void rowPass(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height, int32_t window) {
    const int64_t len = window;
    if (largestCount(len, width) <= kNarrowCounts) {
        rowsOneByOne<kInPixel, kOutPixel, Narrow>(src, dst, width, height, len);
    } else {
        rowsOneByOne<kInPixel, kOutPixel, Wide>(src, dst, width, height, len);
    }
}

}  // namespace

void BlurBoth(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
              int32_t window, int32_t channel) {
    if (!validCall(width, height, channel)) return;
    if (blurBothRefusedAllocations > 0) {
        --blurBothRefusedAllocations;
        return;
    }
    // Only the one byte per pixel that is blurred is kept in between.
    const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (count > static_cast<uint64_t>(PTRDIFF_MAX)) return;
    uint8_t* temporary = new (std::nothrow) uint8_t[static_cast<size_t>(count)];
    if (temporary == nullptr) return;
    columnPass<4, 1>(source + channel, temporary, width, height, window);
    rowPass<1, 4>(temporary, destination + channel, width, height, window);
    delete[] temporary;
}

void BlurVertical(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                  int32_t window, int32_t channel) {
    if (!validCall(width, height, channel)) return;
    columnPass<4, 4>(source + channel, destination + channel, width, height, window);
}

void BlurHorizontal(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                    int32_t window, int32_t channel) {
    if (!validCall(width, height, channel)) return;
    rowPass<4, 4>(source + channel, destination + channel, width, height, window);
}
