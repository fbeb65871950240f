// The box kernels against a plain definition that sums every window afresh.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "BoxBlur.h"
#include "OperatorSupport.h"

namespace {

// One pass done the slow way: interior, then leading edge, then trailing
// edge, each overwriting the last, every window summed from scratch and cut
// to the line. A window below one sample copies.
std::vector<int> referencePass(const std::vector<int>& s, int64_t len) {
    const int64_t n = static_cast<int64_t>(s.size());
    std::vector<int> o(s);
    if (len < 1) return o;
    const int64_t h = len / 2;
    auto mean = [&](int64_t from, int64_t to) {
        from = std::max<int64_t>(from, 0);
        to = std::min<int64_t>(to, n - 1);
        int64_t sum = 0;
        for (int64_t k = from; k <= to; ++k) sum += s[k];
        return static_cast<int>(sum / (to - from + 1));
    };
    for (int64_t i = h; i <= h + n - len; ++i) {
        if (i >= 0 && i < n) o[i] = mean(i - h, i - h + len - 1);
    }
    if (h > 0) {
        for (int64_t i = 0; i <= h && i < n; ++i) o[i] = mean(0, i + h);
        for (int64_t i = std::max<int64_t>(0, n - 1 - h); i < n; ++i) o[i] = mean(i - h, n - 1);
    }
    return o;
}

struct Image {
    int32_t width, height;
    std::vector<uint8_t> bytes;
    Image(int32_t w, int32_t h, uint32_t seed) : width(w), height(h), bytes(size_t(w) * h * 4) {
        std::mt19937 rng(seed);
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    }
    uint8_t& at(int32_t x, int32_t y, int c) { return bytes[(size_t(y) * width + x) * 4 + c]; }
};

std::vector<int> row(Image& im, int32_t y, int c) {
    std::vector<int> v;
    for (int32_t x = 0; x < im.width; ++x) v.push_back(im.at(x, y, c));
    return v;
}
std::vector<int> column(Image& im, int32_t x, int c) {
    std::vector<int> v;
    for (int32_t y = 0; y < im.height; ++y) v.push_back(im.at(x, y, c));
    return v;
}

enum class Kind { Both, Vertical, Horizontal };
const char* kindName(Kind k) {
    return k == Kind::Both ? "BlurBoth" : k == Kind::Vertical ? "BlurVertical" : "BlurHorizontal";
}

// The expected destination: `dst` with byte `c` replaced by the reference.
Image expected(Kind kind, Image src, Image dst, int32_t r, int c) {
    Image mid = src;
    if (kind != Kind::Horizontal) {
        Image& target = kind == Kind::Vertical ? dst : mid;
        for (int32_t x = 0; x < src.width; ++x) {
            const std::vector<int> o = referencePass(column(src, x, c), r / 2);
            for (int32_t y = 0; y < src.height; ++y) target.at(x, y, c) = uint8_t(o[y]);
        }
    }
    if (kind != Kind::Vertical) {
        for (int32_t y = 0; y < src.height; ++y) {
            const std::vector<int> o = referencePass(row(mid, y, c), r);
            for (int32_t x = 0; x < src.width; ++x) dst.at(x, y, c) = uint8_t(o[x]);
        }
    }
    return dst;
}

using Kernel = void (*)(const uint8_t*, uint8_t*, int32_t, int32_t, int32_t, int32_t);

Kernel kernelOf(Kind kind) {
    Kernel both = [](const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, int32_t r, int32_t c) {
        EXPECT_TRUE(BlurBoth(src, dst, w, h, r, c));
    };
    return kind == Kind::Both ? both : kind == Kind::Vertical ? BlurVertical : BlurHorizontal;
}

void runKernel(Kind kind, const Image& src, Image& dst, int32_t r, int c) {
    kernelOf(kind)(src.bytes.data(), dst.bytes.data(), src.width, src.height, r, c);
}

// Runs a kernel on a random image into a random destination and compares
// all four bytes of every pixel with the reference; the source must not move.
void checkAgainstReference(Kind kind, int32_t w, int32_t h, int32_t r, int c, uint32_t seed) {
    const Image src(w, h, seed);
    Image dst(w, h, seed + 1);
    const Image want = expected(kind, src, dst, r, c);
    const std::vector<uint8_t> before = src.bytes;
    runKernel(kind, src, dst, r, c);
    ASSERT_EQ(src.bytes, before) << kindName(kind);
    ASSERT_EQ(dst.bytes, want.bytes)
        << kindName(kind) << " " << w << "x" << h << " r=" << r << " channel " << c;
}

std::vector<int> horizontalLine(std::vector<int> in, int32_t r) {
    Image src(int32_t(in.size()), 1, 0);
    for (size_t x = 0; x < in.size(); ++x) src.at(int32_t(x), 0, 3) = uint8_t(in[x]);
    Image dst = src;
    BlurHorizontal(src.bytes.data(), dst.bytes.data(), src.width, 1, r, 3);
    return row(dst, 0, 3);
}

}  // namespace

TEST(BoxBlur, WorkedLinesOfSeven) {
    const std::vector<int> spike = {0, 0, 0, 255, 0, 0, 0};
    const std::vector<int> ramp = {0, 100, 200, 50, 250, 0, 10};
    struct Case {
        std::vector<int> in;
        int32_t r;
        std::vector<int> out;
    };
    const Case cases[] = {
        {spike, 4, {0, 63, 51, 63, 51, 63, 0}},
        {spike, 5, {0, 63, 51, 51, 51, 63, 0}},
        {ramp, 2, {50, 100, 150, 125, 150, 86, 5}},
        {ramp, 3, {50, 100, 116, 166, 100, 86, 5}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(horizontalLine(c.in, c.r), c.out) << "r=" << c.r;
        EXPECT_EQ(referencePass(c.in, c.r), c.out) << "reference, r=" << c.r;
    }
    // The column pass of r = 8 has the same window as the row pass of r = 4.
    Image src(1, 7, 0), dst(1, 7, 1);
    for (int y = 0; y < 7; ++y) src.at(0, y, 3) = uint8_t(spike[y]);
    BlurVertical(src.bytes.data(), dst.bytes.data(), 1, 7, 8, 3);
    EXPECT_EQ(column(dst, 0, 3), (std::vector<int>{0, 63, 51, 63, 51, 63, 0}));
}

TEST(BoxBlur, BothOnASinglePoint) {
    Image src(9, 5, 0);
    for (auto& b : src.bytes) b = 0;
    src.at(4, 2, 3) = 255;
    Image dst = src;
    BlurBoth(src.bytes.data(), dst.bytes.data(), 9, 5, 4, 3);
    const std::vector<std::vector<int>> rows = {
        {0, 0, 0, 0, 0, 0, 0, 0, 0},     {0, 0, 17, 21, 21, 21, 17, 0, 0},
        {0, 0, 25, 31, 31, 31, 25, 0, 0}, {0, 0, 17, 21, 21, 21, 17, 0, 0},
        {0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (int y = 0; y < 5; ++y) EXPECT_EQ(row(dst, y, 3), rows[y]) << "row " << y;
}

TEST(BoxBlur, ConstantLinesStayConstant) {
    for (int32_t r : {2, 3, 4, 7, 20}) {
        Image src(41, 23, 0);
        for (size_t i = 3; i < src.bytes.size(); i += 4) src.bytes[i] = 187;
        for (Kind kind : {Kind::Both, Kind::Vertical, Kind::Horizontal}) {
            Image dst(41, 23, 5);
            runKernel(kind, src, dst, r, 3);
            for (size_t i = 3; i < dst.bytes.size(); i += 4) ASSERT_EQ(dst.bytes[i], 187) << r;
        }
    }
}

// Within the preconditions: random images of many sizes, every window that
// fits, and the narrowest fields where both edges meet in the middle.
TEST(BoxBlur, MatchesTheReferenceWithinPreconditions) {
    uint32_t seed = 1;
    for (int32_t r : {2, 3, 4, 5, 6, 7, 9, 12, 20, 33}) {
        const int32_t minW = 2 * (r / 2) + 1;
        const int32_t minH = 2 * ((r / 2) / 2) + 1;
        for (int32_t w : {minW, minW + 1, minW + 2, minW + 7, 2 * minW + 3}) {
            for (int32_t h : {minH, minH + 1, minH + 4, 2 * minH + 5}) {
                for (Kind kind : {Kind::Both, Kind::Vertical, Kind::Horizontal}) {
                    checkAgainstReference(kind, w, h, r, int(seed % 4), seed);
                    ++seed;
                }
            }
        }
    }
    // Wider than one strip of columns side by side.
    checkAgainstReference(Kind::Both, 301, 29, 20, 3, 99);
    checkAgainstReference(Kind::Vertical, 517, 31, 100, 1, 98);
}

TEST(BoxBlur, EdgesMeetInTheMiddleAtTheNarrowestWidth) {
    for (int32_t r : {4, 5, 10, 11}) {
        const int32_t w = 2 * (r / 2) + 1;
        Image src(w, 1, 0);
        int sum = 0;
        for (int32_t x = 0; x < w; ++x) {
            src.at(x, 0, 2) = uint8_t(x * 37 % 251);
            sum += src.at(x, 0, 2);
        }
        Image dst = src;
        BlurHorizontal(src.bytes.data(), dst.bytes.data(), w, 1, r, 2);
        EXPECT_EQ(dst.at(w / 2, 0, 2), sum / w) << "r=" << r;
    }
}

TEST(BoxBlur, BothWithoutMemoryLeavesTheDestination) {
    const Image src(37, 11, 3);
    Image dst(37, 11, 4);
    const std::vector<uint8_t> before = dst.bytes;
    blurBothRefusedAllocations = 1;
    EXPECT_FALSE(BlurBoth(src.bytes.data(), dst.bytes.data(), 37, 11, 8, 3));
    EXPECT_EQ(blurBothRefusedAllocations, 0);
    EXPECT_EQ(dst.bytes, before);
    // The next call has its memory again.
    checkAgainstReference(Kind::Both, 37, 11, 8, 3, 3);
}

// Outside the preconditions: windows below 2 (down to negative and huge
// ones) and fields narrower or lower than the window. Every window is cut to
// the line; nothing is read or written outside the image (ASan build).
TEST(BoxBlur, WindowsAndFieldsOutsideThePreconditions) {
    uint32_t seed = 500;
    for (int32_t r : {INT_MIN, -7, -1, 0, 1, 2, 3, 4, 9, 20, 100, INT_MAX}) {
        for (auto [w, h] : {std::pair{1, 1}, {1, 6}, {6, 1}, {2, 2}, {3, 5}, {7, 4}, {12, 9}}) {
            for (Kind kind : {Kind::Both, Kind::Vertical, Kind::Horizontal}) {
                checkAgainstReference(kind, w, h, r, int(seed % 4), seed);
                ++seed;
            }
        }
    }
}

TEST(BoxBlur, EmptyFieldsAndBadChannelsWriteNothing) {
    Image src(5, 5, 1), dst(5, 5, 2);
    const std::vector<uint8_t> before = dst.bytes;
    for (Kind kind : {Kind::Both, Kind::Vertical, Kind::Horizontal}) {
        const Kernel fn = kernelOf(kind);
        fn(src.bytes.data(), dst.bytes.data(), 0, 5, 4, 3);
        fn(src.bytes.data(), dst.bytes.data(), 5, -2, 4, 3);
        fn(src.bytes.data(), dst.bytes.data(), 5, 5, 4, 4);
        fn(src.bytes.data(), dst.bytes.data(), 5, 5, 4, -1);
    }
    EXPECT_EQ(dst.bytes, before);
}

// Sums that are exact multiples of their count are where a division by
// multiplication would first go wrong; counts run past the multiplier table.
TEST(BoxBlur, ExactMeansForEveryCount) {
    for (int v : {1, 128, 254, 255}) {
        for (int32_t r : {2, 3, 1022, 1023, 1024, 1025, 2046, 2047, 2059}) {
            Image src(2060, 1, 0);
            for (size_t i = 1; i < src.bytes.size(); i += 4) src.bytes[i] = uint8_t(v);
            src.at(1029, 0, 1) = uint8_t(v - 1);
            Image dst = src;
            const Image want = expected(Kind::Horizontal, src, dst, r, 1);
            BlurHorizontal(src.bytes.data(), dst.bytes.data(), 2060, 1, r, 1);
            ASSERT_EQ(dst.bytes, want.bytes) << "v=" << v << " r=" << r;
        }
    }
}

// Rows longer than the running-totals buffer and windows beyond 256 take
// the sliding sums in 32 or 64 bits; they must give the same means.
TEST(BoxBlur, LongLinesAndWideWindows) {
    uint32_t seed = 900;
    for (int32_t r : {4, 5, 100, 513, 1100}) {
        checkAgainstReference(Kind::Horizontal, 4100, 2, r, 1, seed++);
        checkAgainstReference(Kind::Both, 4099, 3, r, 2, seed++);
        checkAgainstReference(Kind::Vertical, 3, 600, r, 3, seed++);
        checkAgainstReference(Kind::Both, 5, 601, r, 0, seed++);
    }
}

// BlurBothPicture blurs bytes 1..3 in one pass over 16-bit lanes; it must
// give the bytes of three BlurBoth calls (which the tests above hold to the
// reference), byte 0 of the destination untouched. Images of random bytes,
// of 255 only (every window sum at its largest, 255 times its count) and of
// 0 and 255 side by side; sizes around the 16- and 8-lane steps and the
// strips of columns, rows past the totals buffer, windows below one sample
// and beyond 256 (which take the byte-by-byte passes).
TEST(BoxBlur, PictureKernelEqualsThreeBothCalls) {
    enum class Fill { Random, Full, Stripes };
    struct Case { int32_t w, h; std::vector<int32_t> windows; };
    const std::vector<int32_t> all = {INT_MIN, -5, 0, 1, 2, 3, 4, 5, 8, 20, 21, 64, 100, 255, 256, 257, 512, 513};
    const Case cases[] = {
        {1, 1, all},   {1, 7, all},  {7, 1, all},   {3, 5, all},  {4, 4, all},
        {5, 33, all},  {17, 9, all}, {33, 20, all}, {65, 11, all}, {301, 29, {2, 20, 21, 100, 513}},
        {720, 6, {4, 20, 21}}, {4099, 3, {4, 21, 513}}, {3, 601, {20, 513, 1100}},
    };
    for (bool wide : {true, false}) {
    boxBlurWideLanes = wide;
    uint32_t seed = 7000;
    for (const Case& c : cases) {
        for (int32_t r : c.windows) {
            for (Fill fill : {Fill::Random, Fill::Full, Fill::Stripes}) {
                Image src(c.w, c.h, seed++);
                for (size_t i = 0; i < src.bytes.size(); ++i) {
                    if (fill == Fill::Full) src.bytes[i] = 255;
                    if (fill == Fill::Stripes) src.bytes[i] = ((i / 4) % 3 == 0) ? 255 : 0;
                }
                const Image dst(c.w, c.h, seed++);
                Image three = dst;
                for (int channel = 1; channel < 4; ++channel) {
                    BlurBoth(src.bytes.data(), three.bytes.data(), c.w, c.h, r, channel);
                }
                Image fused = dst;
                BlurBothPicture(src.bytes.data(), fused.bytes.data(), c.w, c.h, r);
                ASSERT_EQ(fused.bytes, three.bytes) << c.w << "x" << c.h << " r=" << r << " fill "
                                                    << static_cast<int>(fill) << (wide ? "" : " (8 lanes)");
            }
        }
    }
    }
    boxBlurWideLanes = true;
}

// BlurBothPictureMixed blurs and mixes row by row; it must give the bytes of
// BlurBothPicture followed by a strength mix of every byte (byte 0 too) with
// the source, at every strength, in both lane widths, on rows with and
// without an interior, in the 16-bit form and outside it.
TEST(BoxBlur, MixedPictureKernelEqualsPictureThenMix) {
    struct Case { int32_t w, h; std::vector<int32_t> windows; };
    const Case cases[] = {
        {1, 1, {4, 9}}, {2, 9, {4, 5, 30}}, {5, 3, {4, 8, 9, 11}}, {9, 17, {4, 7, 10, 18, 19}},
        {37, 23, {4, 10, 21, 300}}, {720, 5, {6, 10, 255}}, {300, 2, {3, 2, 600}},
    };
    for (bool wide : {true, false}) {
        boxBlurWideLanes = wide;
        uint32_t seed = 9100;
        for (const Case& c : cases) {
            for (int32_t r : c.windows) {
                for (uint32_t strength : {0u, 1u, 77u, 200u, 254u, 255u, 256u}) {
                    const Image src(c.w, c.h, seed++);
                    const Image dst(c.w, c.h, seed++);
                    Image expected = dst;
                    BlurBothPicture(src.bytes.data(), expected.bytes.data(), c.w, c.h, r);
                    const uint32_t s = std::min(strength, 255u);
                    for (size_t i = 0; i < expected.bytes.size(); ++i) {
                        expected.bytes[i] = mixByStrength(expected.bytes[i], src.bytes[i], s);
                    }
                    Image mixed = dst;
                    BlurBothPictureMixed(src.bytes.data(), mixed.bytes.data(), c.w, c.h, r, strength);
                    ASSERT_EQ(mixed.bytes, expected.bytes) << c.w << "x" << c.h << " r=" << r << " s=" << strength
                                                           << (wide ? "" : " (8 lanes)");
                }
            }
        }
    }
    boxBlurWideLanes = true;
}

// Blurred onto itself, the picture kernel still gives what three BlurBoth
// calls give in place (rows are then not written while source rows below
// them remain to be read).
TEST(BoxBlur, PictureKernelInPlace) {
    for (int32_t r : {4, 10, 21}) {
        Image three(41, 19, 300u + r);
        Image fused = three;
        for (int channel = 1; channel < 4; ++channel) {
            BlurBoth(three.bytes.data(), three.bytes.data(), 41, 19, r, channel);
        }
        BlurBothPicture(fused.bytes.data(), fused.bytes.data(), 41, 19, r);
        EXPECT_EQ(fused.bytes, three.bytes) << "r=" << r;
    }
}

// Without memory for the four-byte temporary image the bytes are blurred one
// by one, each call as BlurBoth would be: a refusal that covers the first
// of them leaves byte 1 as it was and still blurs bytes 2 and 3.
TEST(BoxBlur, PictureKernelWithoutMemoryActsAsThreeBothCalls) {
    const Image src(29, 13, 11);
    const Image dst(29, 13, 12);
    for (int32_t refusals : {1, 2, 3}) {
        Image three = dst;
        blurBothRefusedAllocations = refusals;
        for (int channel = 1; channel < 4; ++channel) {
            BlurBoth(src.bytes.data(), three.bytes.data(), 29, 13, 9, channel);
        }
        Image fused = dst;
        blurBothRefusedAllocations = refusals;
        EXPECT_FALSE(BlurBothPicture(src.bytes.data(), fused.bytes.data(), 29, 13, 9));
        EXPECT_EQ(blurBothRefusedAllocations, 0);
        EXPECT_EQ(fused.bytes, three.bytes) << refusals << " refusals";
    }
    Image untouched = dst;
    BlurBothPicture(src.bytes.data(), untouched.bytes.data(), 0, 13, 9);
    BlurBothPicture(src.bytes.data(), untouched.bytes.data(), 29, -1, 9);
    EXPECT_EQ(untouched.bytes, dst.bytes);
}
