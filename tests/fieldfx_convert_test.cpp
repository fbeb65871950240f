// The row-by-row conversions between stored frames and fields against the
// plain ones they replace (expandFrame and fieldOf; weaveField and
// packFrame): byte for byte, in every chroma layout, scan type and field
// order, at widths that leave every kind of tail after the vector blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "FieldConvert.h"
#include "fieldfx/HostBackend.h"
#include "Video.h"
#include "VideoFixtures.h"

using namespace fieldfx;

namespace {

struct ImageDeleter {
    void operator()(FieldImage* image) const { deleteFieldImage(image); }
};
using ImagePtr = std::unique_ptr<FieldImage, ImageDeleter>;

const Chroma kLayouts[] = {Chroma::C420jpeg, Chroma::C420mpeg2, Chroma::C420paldv,
                           Chroma::C422,     Chroma::C444,      Chroma::C444alpha};
const Interlace kScans[] = {Interlace::Progressive, Interlace::TopFirst, Interlace::BottomFirst};

// Every layout and scan at sizes it allows: widths below, at and around the
// 16- and 32-sample blocks (odd where the layout allows), heights with one
// and several row pairs per field.
std::vector<VideoFormat> everyFormat() {
    std::vector<VideoFormat> formats;
    for (const Chroma c : kLayouts) {
        for (const Interlace i : kScans) {
            for (int w : {1, 2, 14, 30, 31, 32, 34, 62, 66, 97, 130}) {
                if (chromaShiftX(c) && w % 2 != 0) continue;
                for (int h : {2, 4, 6, 12}) {
                    const VideoFormat f = format(w, h, c, i);
                    if (formatProblem(f).empty()) formats.push_back(f);
                }
            }
        }
    }
    return formats;
}

std::string describe(const VideoFormat& f) {
    return std::string(chromaName(f.chroma)) + " " + std::to_string(f.width) + "x" + std::to_string(f.height) +
           " interlace " + std::to_string(int(f.interlace));
}

ImagePtr noiseField(int width, int height, uint32_t seed) {
    ImagePtr image(newFieldImage(width, height, false));
    const VideoFormat bytes = format(width, height * 2, Chroma::C444alpha, Interlace::Progressive);
    const Frame noise = noiseFrame(bytes, seed);  // at least width * height * 4 bytes
    std::memcpy(image->pixels, noise.data.data(), size_t(width) * size_t(height) * PIXEL_BYTES);
    return image;
}

}  // namespace

TEST(FieldConvert, SplitMatchesExpandThenFieldOf) {
    ConvertScratch scratch;  // shared across sizes, as a run shares it across frames
    for (const VideoFormat& f : everyFormat()) {
        const Frame frame = noiseFrame(f, uint32_t(f.width * 31 + f.height));
        const Picture picture = expandFrame(f, frame);
        ImagePtr fast[2] = {ImagePtr(newFieldImage(f.width, f.height / 2, false)),
                            ImagePtr(newFieldImage(f.width, f.height / 2, false))};
        FieldImage* both[2] = {fast[0].get(), fast[1].get()};
        splitFrame(f, frame.data.data(), both, scratch);
        for (int field = 0; field < 2; ++field) {
            ImagePtr plain(fieldOf(picture, field));
            EXPECT_EQ(std::memcmp(plain->pixels, fast[field]->pixels, size_t(f.width) * (f.height / 2) * PIXEL_BYTES), 0)
                << describe(f) << " field " << field;
        }
        // One field alone is the same field.
        ImagePtr alone(newFieldImage(f.width, f.height / 2, false));
        FieldImage* oddOnly[2] = {nullptr, alone.get()};
        splitFrame(f, frame.data.data(), oddOnly, scratch);
        EXPECT_EQ(std::memcmp(alone->pixels, fast[1]->pixels, size_t(f.width) * (f.height / 2) * PIXEL_BYTES), 0)
            << describe(f);
    }
}

TEST(FieldConvert, PackMatchesWeaveThenPackFrame) {
    ConvertScratch scratch;
    for (const VideoFormat& f : everyFormat()) {
        ImagePtr even = noiseField(f.width, f.height / 2, uint32_t(f.width + 5 * f.height));
        ImagePtr odd = noiseField(f.width, f.height / 2, uint32_t(f.width + 7 * f.height + 1));
        Picture picture;
        picture.resize(f.width, f.height);
        weaveField(picture, 0, *even);
        weaveField(picture, 1, *odd);
        const Frame plain = packFrame(f, picture);
        std::vector<uint8_t> fast(frameBytes(f), 0xA5);
        packFields(f, *even, *odd, fast.data(), scratch);
        EXPECT_TRUE(std::equal(plain.data.begin(), plain.data.end(), fast.begin(), fast.end())) << describe(f);
    }
}

TEST(FieldConvert, RowKernelsFollowThePlainRulesAtEveryCount) {
    std::vector<uint8_t> src(80), other(80);
    for (size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<uint8_t>(i * 97 + 13);
        other[i] = static_cast<uint8_t>(i * 61 + 200);
    }
    for (int n = 1; n <= 70; ++n) {
        // Doubling and halving with a destination that is too short, exact
        // and too long for the source: indices past the end clamp.
        for (int m : {2 * n - 1, 2 * n, 2 * n + 3, n / 2, (n + 1) / 2}) {
            if (m <= 0) continue;
            std::vector<uint8_t> out(static_cast<size_t>(m)), want(static_cast<size_t>(m));
            rows::doubleCentred(src.data(), n, out.data(), m);
            for (int i = 0; i < m; ++i) want[size_t(i)] = src[size_t(std::min(i / 2, n - 1))];
            EXPECT_EQ(out, want) << "doubleCentred " << n << " to " << m;
            rows::doubleCosited(src.data(), n, out.data(), m);
            for (int i = 0; i < m; ++i) {
                const int k = std::min(i / 2, n - 1);
                want[size_t(i)] = i % 2 == 0 || k + 1 >= n ? src[size_t(k)] : uint8_t((src[size_t(k)] + src[size_t(k) + 1] + 1) / 2);
            }
            EXPECT_EQ(out, want) << "doubleCosited " << n << " to " << m;
            rows::halveCentred(src.data(), n, out.data(), m);
            for (int k = 0; k < m; ++k) {
                want[size_t(k)] = uint8_t((src[size_t(std::min(2 * k, n - 1))] + src[size_t(std::min(2 * k + 1, n - 1))] + 1) / 2);
            }
            EXPECT_EQ(out, want) << "halveCentred " << n << " to " << m;
            rows::halveCosited(src.data(), n, out.data(), m);
            for (int k = 0; k < m; ++k) want[size_t(k)] = src[size_t(std::min(2 * k, n - 1))];
            EXPECT_EQ(out, want) << "halveCosited " << n << " to " << m;
        }
        std::vector<uint8_t> mean(static_cast<size_t>(n));
        rows::average(src.data(), other.data(), mean.data(), n);
        for (int i = 0; i < n; ++i) ASSERT_EQ(mean[size_t(i)], (src[size_t(i)] + other[size_t(i)] + 1) / 2) << n;
    }
}

TEST(FieldConvert, InterleaveWithoutKeysIsOpaqueAndRoundTrips) {
    for (int n : {1, 15, 16, 17, 33, 64}) {
        std::vector<uint8_t> planes[4];
        for (int p = 0; p < 4; ++p) {
            planes[p].resize(size_t(n));
            for (int i = 0; i < n; ++i) planes[p][size_t(i)] = static_cast<uint8_t>(i * (p + 3) + 40 * p);
        }
        std::vector<uint8_t> pixels(size_t(n) * PIXEL_BYTES);
        rows::interleave(nullptr, planes[1].data(), planes[2].data(), planes[3].data(), pixels.data(), n);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(pixels[size_t(i) * 4 + PIXEL_KEY], 255) << n;
            ASSERT_EQ(pixels[size_t(i) * 4 + PIXEL_CHROMA1], planes[1][size_t(i)]) << n;
            ASSERT_EQ(pixels[size_t(i) * 4 + PIXEL_CHROMA2], planes[2][size_t(i)]) << n;
            ASSERT_EQ(pixels[size_t(i) * 4 + PIXEL_LUMA], planes[3][size_t(i)]) << n;
        }
        rows::interleave(planes[0].data(), planes[1].data(), planes[2].data(), planes[3].data(), pixels.data(), n);
        std::vector<uint8_t> back[4];
        for (auto& b : back) b.assign(size_t(n), 0);
        rows::deinterleave(pixels.data(), back[0].data(), back[1].data(), back[2].data(), back[3].data(), n);
        for (int p = 0; p < 4; ++p) EXPECT_EQ(back[p], planes[p]) << n << " plane " << p;
    }
}

TEST(FieldConvert, PackedYuyvRowsMatchThePlainLoopAndRoundTrip) {
    for (int pairs = 0; pairs <= 50; ++pairs) {
        std::vector<uint8_t> packed(size_t(pairs) * 4 + 1);
        for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<uint8_t>(i * 89 + pairs * 7 + 3);
        const uint8_t guard = packed.back();
        std::vector<uint8_t> y(size_t(pairs) * 2 + 1, 0xA5), cb(size_t(pairs) + 1, 0xA5), cr(size_t(pairs) + 1, 0xA5);
        std::vector<uint8_t> wantY = y, wantCb = cb, wantCr = cr;
        for (int k = 0; k < pairs; ++k) {
            wantY[size_t(2 * k)] = packed[size_t(4 * k)];
            wantCb[size_t(k)] = packed[size_t(4 * k + 1)];
            wantY[size_t(2 * k + 1)] = packed[size_t(4 * k + 2)];
            wantCr[size_t(k)] = packed[size_t(4 * k + 3)];
        }
        rows::unpackYuyv(packed.data(), y.data(), cb.data(), cr.data(), pairs);
        EXPECT_EQ(std::memcmp(y.data(), wantY.data(), y.size()), 0) << pairs;  // the guard byte untouched too
        EXPECT_EQ(std::memcmp(cb.data(), wantCb.data(), cb.size()), 0) << pairs;
        EXPECT_EQ(std::memcmp(cr.data(), wantCr.data(), cr.size()), 0) << pairs;
        std::vector<uint8_t> back(packed.size(), 0);
        back.back() = guard;
        rows::packYuyv(y.data(), cb.data(), cr.data(), back.data(), pairs);
        EXPECT_EQ(std::memcmp(back.data(), packed.data(), packed.size()), 0) << pairs;
    }
}
