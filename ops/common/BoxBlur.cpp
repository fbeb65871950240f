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
// Means are sums divided by counts, truncating. The division is a multiply
// and shift: q = (sum * m(d)) >> 56 with m(d) = floor(2^56 / d) + 1. For a
// mean of bytes, sum <= 255 * d, and the product then errs by less than
// sum * d / 2^56 < 1 / d above sum / d, which cannot reach the next integer
// while 255 * d * d < 2^56 (d below 16.8 million); the product stays below
// 2^64 for every such sum. Counts beyond the table divide for real.

int32_t blurBothRefusedAllocations = 0;

namespace {

constexpr int kShift = 56;
constexpr int64_t kTableCounts = 1024;  // counts 1 .. 1023 have a multiplier
constexpr int32_t kStrip = 256;         // columns blurred side by side

class Divisors {
public:
    // Multipliers for every count a pass of window `len` over lines of `n`
    // samples divides by: the edges use up to min(n, 2h + 1), the interior L.
    Divisors(int64_t len, int64_t n) {
        const int64_t most = std::min(n, 2 * (len / 2) + 1);
        limit_ = std::min(most, kTableCounts - 1);
        for (int64_t d = 1; d <= limit_; ++d) {
            multiplier_[d] = ((uint64_t{1} << kShift) / static_cast<uint64_t>(d)) + 1;
        }
    }
    bool hasTable(int64_t count) const { return count <= limit_; }
    uint64_t multiplier(int64_t count) const { return multiplier_[count]; }

private:
    int64_t limit_ = 0;
    uint64_t multiplier_[kTableCounts];
};

// Samples of `lanes` lines side by side: sample i of lane j lies at
// base + i * step + j * lane. The lines are blurred in lockstep, so a column
// pass walks the image row by row.
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
// kLanes fixes the lane count at compile time (1 for a row at a time), 0
// takes it from `laneCount` (at most kStrip).
template <int32_t kLanes>
void boxLines(Lines in, OutLines out, int64_t n, int32_t laneCount, int64_t len,
              const Divisors& div) {
    const int32_t lanes = kLanes != 0 ? kLanes : laneCount;
    auto sample = [&](int64_t i, int32_t j) -> uint64_t {
        return in.base[i * in.step + j * in.lane];
    };
    uint64_t sum[kLanes != 0 ? kLanes : kStrip];
    auto clear = [&] { std::fill(sum, sum + lanes, uint64_t{0}); };
    auto add = [&](int64_t i) {
        for (int32_t j = 0; j < lanes; ++j) sum[j] += sample(i, j);
    };
    auto emit = [&](int64_t i, int64_t count) {
        uint8_t* o = out.base + i * out.step;
        if (div.hasTable(count)) {
            const uint64_t m = div.multiplier(count);
            for (int32_t j = 0; j < lanes; ++j) {
                o[j * out.lane] = static_cast<uint8_t>((sum[j] * m) >> kShift);
            }
        } else {
            const uint64_t d = static_cast<uint64_t>(count);
            for (int32_t j = 0; j < lanes; ++j) o[j * out.lane] = static_cast<uint8_t>(sum[j] / d);
        }
    };

    if (len < 2) {  // a window of one sample, or none: copy
        for (int64_t i = 0; i < n; ++i) {
            for (int32_t j = 0; j < lanes; ++j) {
                out.base[i * out.step + j * out.lane] = in.base[i * in.step + j * in.lane];
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
        for (int64_t i = h + 2; i < trailStart; ++i) {
            const int64_t enter = i - h + len - 1;
            const int64_t leave = i - h - 1;
            for (int32_t j = 0; j < lanes; ++j) sum[j] = sum[j] + sample(enter, j) - sample(leave, j);
            emit(i, len);
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
// row by row. `srcPixel`/`dstPixel` are the byte distances between
// neighbouring pixels of a row (4 in an image, 1 in the one-byte temporary).
void columnPass(const uint8_t* src, ptrdiff_t srcPixel, uint8_t* dst, ptrdiff_t dstPixel,
                int32_t width, int32_t height, int32_t window) {
    const int64_t len = window / 2;
    const Divisors div(len, height);
    for (int32_t x = 0; x < width; x += kStrip) {
        const int32_t lanes = std::min(kStrip, width - x);
        boxLines<0>(Lines{src + x * srcPixel, width * srcPixel, srcPixel},
                    OutLines{dst + x * dstPixel, width * dstPixel, dstPixel}, height, lanes, len,
                    div);
    }
}

// Row pass, window r: one row at a time.
void rowPass(const uint8_t* src, ptrdiff_t srcPixel, uint8_t* dst, ptrdiff_t dstPixel,
             int32_t width, int32_t height, int32_t window) {
    const int64_t len = window;
    const Divisors div(len, width);
    for (int32_t y = 0; y < height; ++y) {
        const ptrdiff_t row = static_cast<ptrdiff_t>(y) * width;
        boxLines<1>(Lines{src + row * srcPixel, srcPixel, 0},
                    OutLines{dst + row * dstPixel, dstPixel, 0}, width, 1, len, div);
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
    columnPass(source + channel, 4, temporary, 1, width, height, window);
    rowPass(temporary, 1, destination + channel, 4, width, height, window);
    delete[] temporary;
}

void BlurVertical(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                  int32_t window, int32_t channel) {
    if (!validCall(width, height, channel)) return;
    columnPass(source + channel, 4, destination + channel, 4, width, height, window);
}

void BlurHorizontal(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                    int32_t window, int32_t channel) {
    if (!validCall(width, height, channel)) return;
    rowPass(source + channel, 4, destination + channel, 4, width, height, window);
}
