// The row conversions between RGBA and Y'CbCr (Rgba.h) against the plain
// per-pixel loops over rgbToYCbCr and yCbCrToRgb: every form the process may
// run, on all 2^24 inputs of each direction (a fixed sample of them under
// valgrind), and rows of odd widths at odd addresses whose neighbouring
// bytes must stay as they were.
#include <valgrind/valgrind.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "RenderHost.h"
#include "Rgba.h"

namespace {

using namespace fieldfx;

// Each level up to the one of this process (FIELDFX_ISA caps it).
std::vector<IsaLevel> runnableLevels() {
    std::vector<IsaLevel> levels;
    for (IsaLevel level : {IsaLevel::Scalar, IsaLevel::Sse2, IsaLevel::Ssse3, IsaLevel::Avx2}) {
        if (isaAllows(level)) levels.push_back(level);
    }
    return levels;
}

std::string levelName(IsaLevel level) {
    static const char* const kNames[] = {"scalar", "sse2", "ssse3", "avx2"};
    return kNames[static_cast<int>(level)];
}

void plainToPixels(const uint8_t* rgba, uint8_t* pixels, int count) {
    for (int i = 0; i < count; ++i) {
        const YCbCr c = rgbToYCbCr(rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2]);
        pixels[4 * i + PIXEL_KEY] = rgba[4 * i + 3];
        pixels[4 * i + PIXEL_CR] = c.cr;
        pixels[4 * i + PIXEL_CB] = c.cb;
        pixels[4 * i + PIXEL_LUMA] = c.y;
    }
}

void plainToRgba(const uint8_t* pixels, uint8_t* rgba, int count) {
    for (int i = 0; i < count; ++i) {
        yCbCrToRgb(pixels[4 * i + PIXEL_LUMA], pixels[4 * i + PIXEL_CB], pixels[4 * i + PIXEL_CR], rgba + 4 * i);
        rgba[4 * i + 3] = pixels[4 * i + PIXEL_KEY];
    }
}

// The planes of a row of operator pixels, and back.
struct Planes {
    std::vector<uint8_t> y, cb, cr, a;
    explicit Planes(size_t n, uint8_t fill = 0) : y(n, fill), cb(n, fill), cr(n, fill), a(n, fill) {}
    PlaneRow row(size_t at = 0) { return PlaneRow{y.data() + at, cb.data() + at, cr.data() + at, a.data() + at}; }
    ConstPlaneRow constRow(size_t at = 0) const {
        return ConstPlaneRow{y.data() + at, cb.data() + at, cr.data() + at, a.data() + at};
    }
    static Planes of(const std::vector<uint8_t>& pixels) {
        Planes p(pixels.size() / 4);
        for (size_t i = 0; i < p.y.size(); ++i) {
            p.y[i] = pixels[4 * i + PIXEL_LUMA];
            p.cb[i] = pixels[4 * i + PIXEL_CB];
            p.cr[i] = pixels[4 * i + PIXEL_CR];
            p.a[i] = pixels[4 * i + PIXEL_KEY];
        }
        return p;
    }
    std::vector<uint8_t> pixels(size_t from, size_t count) const {
        std::vector<uint8_t> out(4 * count);
        for (size_t i = 0; i < count; ++i) {
            out[4 * i + PIXEL_LUMA] = y[from + i];
            out[4 * i + PIXEL_CB] = cb[from + i];
            out[4 * i + PIXEL_CR] = cr[from + i];
            out[4 * i + PIXEL_KEY] = a[from + i];
        }
        return out;
    }
};

// The first pixel where two rows of 4-byte pixels differ, or -1.
int firstDifference(const uint8_t* a, const uint8_t* b, int count) {
    if (std::memcmp(a, b, size_t(count) * 4) == 0) return -1;
    for (int i = 0;; ++i) {
        if (std::memcmp(a + 4 * i, b + 4 * i, 4) != 0) return i;
    }
}

std::string bytes(const uint8_t* p) {
    return std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + " " + std::to_string(p[3]);
}

// The slices of the exhaustive runs: every value of the first channel, or
// under valgrind (some fifty times slower) a few, among them those of
// colours whose Y' is a tie (22 and 37).
std::vector<int> slices(std::initializer_list<int> sample) {
    std::vector<int> values;
    if (RUNNING_ON_VALGRIND) return std::vector<int>(sample);
    for (int v = 0; v < 256; ++v) values.push_back(v);
    return values;
}

TEST(RgbaConversion, EveryRgbColourAsTheReference) {
    const std::vector<IsaLevel> levels = runnableLevels();
    std::vector<uint8_t> rgba(65536 * 4), expected(65536 * 4), pixels(65536 * 4);
    Planes planes(65536);
    for (int r : slices({0, 1, 22, 37, 127, 128, 254, 255})) {
        for (int i = 0; i < 65536; ++i) {
            rgba[4 * i] = uint8_t(r);
            rgba[4 * i + 1] = uint8_t(i >> 8);
            rgba[4 * i + 2] = uint8_t(i);
            rgba[4 * i + 3] = uint8_t(i * 7 + r);
        }
        plainToPixels(rgba.data(), expected.data(), 65536);
        for (IsaLevel level : levels) {
            rgbaToPixels(rgba.data(), pixels.data(), 65536, level);
            int at = firstDifference(pixels.data(), expected.data(), 65536);
            ASSERT_EQ(at, -1) << levelName(level) << " rgbaToPixels: RGBA " << bytes(&rgba[4 * at]) << " gives "
                              << bytes(&pixels[4 * at]) << ", not " << bytes(&expected[4 * at]);
            rgbaToPlanes(rgba.data(), planes.row(), 65536, level);
            pixels = planes.pixels(0, 65536);
            at = firstDifference(pixels.data(), expected.data(), 65536);
            ASSERT_EQ(at, -1) << levelName(level) << " rgbaToPlanes: RGBA " << bytes(&rgba[4 * at]) << " gives "
                              << bytes(&pixels[4 * at]) << ", not " << bytes(&expected[4 * at]);
        }
    }
}

TEST(RgbaConversion, EveryYCbCrColourAsTheReference) {
    const std::vector<IsaLevel> levels = runnableLevels();
    std::vector<uint8_t> pixels(65536 * 4), expected(65536 * 4), rgba(65536 * 4);
    for (int y : slices({0, 15, 16, 17, 128, 235, 236, 255})) {
        for (int i = 0; i < 65536; ++i) {
            pixels[4 * i + PIXEL_LUMA] = uint8_t(y);
            pixels[4 * i + PIXEL_CB] = uint8_t(i >> 8);
            pixels[4 * i + PIXEL_CR] = uint8_t(i);
            pixels[4 * i + PIXEL_KEY] = uint8_t(i * 5 + y);
        }
        const Planes planes = Planes::of(pixels);
        plainToRgba(pixels.data(), expected.data(), 65536);
        for (IsaLevel level : levels) {
            pixelsToRgba(pixels.data(), rgba.data(), 65536, level);
            int at = firstDifference(rgba.data(), expected.data(), 65536);
            ASSERT_EQ(at, -1) << levelName(level) << " pixelsToRgba: pixel " << bytes(&pixels[4 * at]) << " gives "
                              << bytes(&rgba[4 * at]) << ", not " << bytes(&expected[4 * at]);
            planesToRgba(planes.constRow(), rgba.data(), 65536, level);
            at = firstDifference(rgba.data(), expected.data(), 65536);
            ASSERT_EQ(at, -1) << levelName(level) << " planesToRgba: pixel " << bytes(&pixels[4 * at]) << " gives "
                              << bytes(&rgba[4 * at]) << ", not " << bytes(&expected[4 * at]);
        }
    }
}

// Rows of every width up to past two whole blocks and a few longer, each
// starting one byte past an aligned address, in buffers with guard bytes on
// either side. The RGB rows carry colours whose Y' is a tie (rounded up and
// down by the reference) at their ends and in the middle of a block.
TEST(RgbaConversion, OddWidthsAsThePlainLoop) {
    const uint8_t kTies[][3] = {{22, 206, 0}, {0, 204, 68}, {37, 197, 7}, {42, 250, 0}};
    constexpr size_t kGuard = 37, kSkew = 1;
    constexpr uint8_t kFill = 0xA5;
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return uint8_t(seed >> 16);
    };
    std::vector<int> widths;
    for (int w = 0; w <= 20; ++w) widths.push_back(w);
    for (int w : {31, 33, 63, 65, 721}) widths.push_back(w);
    for (IsaLevel level : runnableLevels()) {
        for (int width : widths) {
            SCOPED_TRACE(levelName(level) + " width " + std::to_string(width));
            const size_t n = size_t(width), total = 4 * n + 2 * kGuard;
            std::vector<uint8_t> in(4 * n + kSkew);
            for (uint8_t& b : in) b = next();
            uint8_t* row = in.data() + kSkew;
            for (size_t t = 0; t < 4 && width > 0; ++t) {
                const size_t at = t == 0 ? 0 : t == 1 ? n - 1 : t == 2 ? n / 2 : n / 3;
                std::memcpy(row + 4 * at, kTies[t], 3);
            }

            // RGBA rows to pixels and planes.
            std::vector<uint8_t> expected(4 * n), out(total, kFill);
            plainToPixels(row, expected.data(), width);
            rgbaToPixels(row, out.data() + kGuard, width, level);
            EXPECT_EQ(std::vector<uint8_t>(out.begin() + kGuard, out.end() - kGuard), expected);
            EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + kGuard), std::vector<uint8_t>(kGuard, kFill));
            EXPECT_EQ(std::vector<uint8_t>(out.end() - kGuard, out.end()), std::vector<uint8_t>(kGuard, kFill));
            Planes planes(n + 2 * kGuard, kFill);
            rgbaToPlanes(row, planes.row(kGuard), width, level);
            EXPECT_EQ(planes.pixels(kGuard, n), expected);
            EXPECT_EQ(planes.pixels(0, kGuard), std::vector<uint8_t>(4 * kGuard, kFill));
            EXPECT_EQ(planes.pixels(n + kGuard, kGuard), std::vector<uint8_t>(4 * kGuard, kFill));

            // Rows of pixels (any bytes, including Y'CbCr outside its
            // range) and their planes to RGBA.
            plainToRgba(row, expected.data(), width);
            std::fill(out.begin(), out.end(), kFill);
            pixelsToRgba(row, out.data() + kGuard, width, level);
            EXPECT_EQ(std::vector<uint8_t>(out.begin() + kGuard, out.end() - kGuard), expected);
            EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + kGuard), std::vector<uint8_t>(kGuard, kFill));
            EXPECT_EQ(std::vector<uint8_t>(out.end() - kGuard, out.end()), std::vector<uint8_t>(kGuard, kFill));
            const Planes source = Planes::of(std::vector<uint8_t>(row, row + 4 * n));
            std::fill(out.begin(), out.end(), kFill);
            planesToRgba(source.constRow(), out.data() + kGuard, width, level);
            EXPECT_EQ(std::vector<uint8_t>(out.begin() + kGuard, out.end() - kGuard), expected);
            EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + kGuard), std::vector<uint8_t>(kGuard, kFill));
            EXPECT_EQ(std::vector<uint8_t>(out.end() - kGuard, out.end()), std::vector<uint8_t>(kGuard, kFill));
        }
    }
}

// The picture functions, and the rows without a level (the process's own).
TEST(RgbaConversion, PicturesAsThePlainLoop) {
    const int width = 37, height = 5;
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 131 + i / 7);
    const Picture picture = pictureFromRgba(rgba.data(), width, height);
    ASSERT_EQ(picture.width, width);
    ASSERT_EQ(picture.height, height);
    std::vector<uint8_t> expected(rgba.size()), back(rgba.size());
    plainToPixels(rgba.data(), expected.data(), width * height);
    Planes planes(size_t(width) * height);
    planes.y = picture.y;
    planes.cb = picture.cb;
    planes.cr = picture.cr;
    planes.a = picture.a;
    EXPECT_EQ(planes.pixels(0, size_t(width) * height), expected);

    plainToRgba(expected.data(), back.data(), width * height);
    EXPECT_EQ(rgbaFromPicture(picture).rgba, back);

    std::vector<uint8_t> row(size_t(width) * 4);
    rgbaToPixels(rgba.data(), row.data(), width);
    EXPECT_EQ(row, std::vector<uint8_t>(expected.begin(), expected.begin() + 4 * width));
    pixelsToRgba(expected.data(), row.data(), width);
    EXPECT_EQ(row, std::vector<uint8_t>(back.begin(), back.begin() + 4 * width));
}

}  // namespace

namespace fieldfx {
namespace {

// Frames straight to fields and back, as the plug-ins convert their hosts'
// frames: the fields of the picture, with an odd frame's last line repeated
// into its odd field, and back the frame's own lines.
TEST(RgbaConversion, FramesToFieldsAsThroughPictures) {
    for (const auto& [width, height] : {std::pair{37, 5}, std::pair{8, 6}, std::pair{1, 1}, std::pair{3, 2}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        std::vector<uint8_t> rgba(size_t(width) * height * 4);
        for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 89 + i / 5);
        Picture picture = pictureFromRgba(rgba.data(), width, height);
        if (height % 2 != 0) {  // the last line once more
            for (std::vector<uint8_t>* plane : {&picture.y, &picture.cb, &picture.cr, &picture.a}) {
                plane->insert(plane->end(), plane->end() - width, plane->end());
            }
            picture.height = height + 1;
        }
        ImagePtr made[2], wanted[2];
        for (int field = 0; field < 2; ++field) {
            made[field].reset(newFieldImage(width, (height + 1) / 2, false));
            wanted[field].reset(fieldOf(picture, field));
        }
        FieldImage* const fields[2] = {made[0].get(), made[1].get()};
        rgbaToFields(rgba.data(), width, height, fields);
        for (int field = 0; field < 2; ++field) {
            const size_t bytes = size_t(width) * size_t((height + 1) / 2) * 4;
            EXPECT_EQ(std::memcmp(made[field]->pixels, wanted[field]->pixels, bytes), 0) << "field " << field;
        }
        std::vector<uint8_t> back(rgba.size());
        const FieldImage* const woven[2] = {made[0].get(), made[1].get()};
        fieldsToRgba(woven, width, height, back.data());
        picture.height = height;
        EXPECT_EQ(back, rgbaFromPicture(picture).rgba);
    }
}

}  // namespace
}  // namespace fieldfx
