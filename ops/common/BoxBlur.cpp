// The box-filter kernels (see BoxBlur.h): each chooses its passes, takes its
// working memory and runs in the widest build the instruction-set level
// allows. The passes are in BoxBlurPass.h (the plain box pass),
// BoxBlurTotals.h (rows by running totals) and BoxBlurLanes.h (16-bit lanes
// and the x86 code, behind one dispatch).
#include "BoxBlur.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "BoxBlurForms.h"
#include "BoxBlurLanes.h"
#include "BoxBlurPass.h"
#include "BoxBlurTotals.h"
#include "OperatorSupport.h"

int32_t blurBothRefusedAllocations = 0;
bool boxBlurWideLanes = true;

namespace {

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
