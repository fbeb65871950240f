// The MLT module rendering through MLT itself, as editors drive it: frames
// asked for in order, backwards and at random (an editor scrubbing), and
// images made on several threads at once (MLT's parallel rendering); every
// frame must be the one a render in order gives, Patina included. The clip
// is made here: moving noise, so that every frame differs.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <framework/mlt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VideoFixtures.h"
#include "Y4m.h"

namespace {

using fieldfx::Chroma;
using fieldfx::Interlace;

constexpr int kFrames = 12;
constexpr int kWidth = 96, kHeight = 64;

struct Scan {
    const char* name;
    Interlace interlace;
};

// Printed by name: the struct has padding bytes that gtest would otherwise dump.
void PrintTo(const Scan& scan, std::ostream* os) { *os << scan.name; }

class MltRender : public testing::TestWithParam<Scan> {
protected:
    // A repository of the three modules the test uses (the clip's reader,
    // MLT's core and ours), so that no other module's libraries are loaded:
    // several of them leak in their own set-up, which the leak checker of
    // the sanitizer build would report.
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/fieldfx-mlt-modules-XXXXXX";
        modules_ = mkdtemp(pattern);
        for (const char* module : {"libmltcore.so", "libmltavformat.so", "libmltfieldfx.so"}) {
            const std::string from = std::string(FIELDFX_MLT_REPOSITORY) + "/" + module;
            if (symlink(from.c_str(), (modules_ + "/" + module).c_str()) != 0) std::perror(module);
            // Kept loaded after MLT closes them, so that the leak checker can
            // still name the library of every allocation it reports.
            dlopen(from.c_str(), RTLD_NOW | RTLD_NODELETE);
        }
        setenv("MLT_REPOSITORY", modules_.c_str(), 1);
        repository_ = mlt_factory_init(nullptr);
    }
    static void TearDownTestSuite() {
        mlt_factory_close();
        std::system(("rm -rf '" + modules_ + "'").c_str());
    }

    void SetUp() override {
        ASSERT_NE(repository_, nullptr);
        char pattern[] = "/tmp/fieldfx-mlt-XXXXXX";
        dir_ = mkdtemp(pattern);
        clip_ = dir_ + "/clip.y4m";
        const fieldfx::VideoFormat format = fieldfx::format(kWidth, kHeight, Chroma::C422, GetParam().interlace);
        FILE* file = std::fopen(clip_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fieldfx::Y4mWriter writer(file, format, clip_);
        for (int f = 0; f < kFrames; ++f) writer.writeFrame(fieldfx::noiseFrame(format, uint32_t(f) + 1));
        std::fclose(file);
        profile_ = mlt_profile_init(nullptr);
        profile_->width = kWidth;
        profile_->height = kHeight;
        profile_->frame_rate_num = 25;
        profile_->frame_rate_den = 1;
        profile_->progressive = GetParam().interlace == Interlace::Progressive;
        profile_->sample_aspect_num = profile_->sample_aspect_den = 1;
        profile_->colorspace = 601;
    }
    void TearDown() override {
        mlt_profile_close(profile_);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    // The clip through `service` (a filter), its frames fetched in order.
    mlt_producer clipWith(const char* service, const char* settings) {
        mlt_producer producer = mlt_factory_producer(profile_, "avformat", clip_.c_str());
        EXPECT_NE(producer, nullptr);
        mlt_filter filter = mlt_factory_filter(profile_, service, nullptr);
        EXPECT_NE(filter, nullptr) << service;
        // NAME=VALUE pairs, separated by blanks.
        for (std::string rest = settings != nullptr ? settings : ""; !rest.empty();) {
            const size_t blank = rest.find(' ');
            mlt_properties_parse(MLT_FILTER_PROPERTIES(filter), rest.substr(0, blank).c_str());
            rest = blank == std::string::npos ? "" : rest.substr(blank + 1);
        }
        mlt_producer_attach(producer, filter);
        mlt_filter_close(filter);
        return producer;
    }

    static mlt_frame frameAt(mlt_producer producer, int position) {
        mlt_producer_seek(producer, position);
        mlt_frame frame = nullptr;
        mlt_service_get_frame(MLT_PRODUCER_SERVICE(producer), &frame, 0);
        mlt_properties_set_int(MLT_FRAME_PROPERTIES(frame), "consumer.progressive", 0);
        return frame;
    }

    static std::vector<uint8_t> imageOf(mlt_frame frame) {
        mlt_image_format format = mlt_image_yuv422;
        int width = kWidth, height = kHeight;
        uint8_t* image = nullptr;
        EXPECT_EQ(mlt_frame_get_image(frame, &image, &format, &width, &height, 0), 0);
        EXPECT_EQ(format, mlt_image_yuv422);
        return image == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(image, image + width * height * 2);
    }

    // The clip's frames at `positions`, in that order, each made at once.
    std::vector<std::vector<uint8_t>> render(const char* service, const std::vector<int>& positions,
                                             const char* settings = nullptr) {
        mlt_producer producer = clipWith(service, settings);
        std::vector<std::vector<uint8_t>> images(kFrames);
        for (int p : positions) {
            mlt_frame frame = frameAt(producer, p);
            images[size_t(p)] = imageOf(frame);
            mlt_frame_close(frame);
        }
        mlt_producer_close(producer);
        return images;
    }

    static std::vector<int> inOrder() {
        std::vector<int> positions(kFrames);
        for (int i = 0; i < kFrames; ++i) positions[size_t(i)] = i;
        return positions;
    }

    static mlt_repository repository_;
    static std::string modules_;
    std::string dir_, clip_;
    mlt_profile profile_ = nullptr;
};

mlt_repository MltRender::repository_ = nullptr;
std::string MltRender::modules_;

const char* const kPatinaSettings = "filmAge=2 filmCondition=3 tintAmount=20";

// Scrubbing: Patina's frames asked for backwards and at random are those of
// the render in order (and the render is Patina's, not another service's).
TEST_P(MltRender, PatinaInEveryOrderAsInOrder) {
    const auto wanted = render("fieldfx.patina", inOrder(), kPatinaSettings);
    const auto tinted = render("fieldfx.dye", inOrder(), "fadePercent=0");
    std::vector<int> backwards = inOrder();
    std::reverse(backwards.begin(), backwards.end());
    std::vector<int> shuffled = inOrder();
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
    for (const auto& [name, order] : {std::pair{"backwards", backwards}, std::pair{"at random", shuffled}}) {
        const auto got = render("fieldfx.patina", order, kPatinaSettings);
        for (int f = 0; f < kFrames; ++f) {
            EXPECT_FALSE(wanted[size_t(f)].empty());
            EXPECT_TRUE(got[size_t(f)] == wanted[size_t(f)]) << name << ": frame " << f;
        }
    }
    EXPECT_FALSE(wanted[3] == tinted[3]);
}

// MLT's parallel rendering: frames fetched in order, their images made on
// four threads at once, for every service of the module.
TEST_P(MltRender, ImagesMadeOnSeveralThreadsAsInOrder) {
    for (const char* service : {"fieldfx.patina", "fieldfx.blur", "fieldfx.underwater"}) {
        SCOPED_TRACE(service);
        const auto wanted = render(service, inOrder());
        mlt_producer producer = clipWith(service, nullptr);
        std::vector<mlt_frame> frames;
        for (int p = 0; p < kFrames; ++p) frames.push_back(frameAt(producer, p));
        std::vector<std::vector<uint8_t>> got(kFrames);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int p = t; p < kFrames; p += 4) got[size_t(p)] = imageOf(frames[size_t(p)]);
            });
        }
        for (std::thread& thread : threads) thread.join();
        for (mlt_frame frame : frames) mlt_frame_close(frame);
        mlt_producer_close(producer);
        for (int f = 0; f < kFrames; ++f) EXPECT_TRUE(got[size_t(f)] == wanted[size_t(f)]) << "frame " << f;
    }
}

// Sizes as MLT hands them: an odd height (its last line goes into both
// fields), and images smaller than the profile's (an editor's preview at
// reduced size): each rendered, as asked, and unlike its source.
TEST_P(MltRender, OddHeightsAndPreviewSizes) {
    for (const auto& [width, height] : {std::pair{96, 63}, std::pair{48, 32}, std::pair{48, 31}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        std::vector<uint8_t> images[2];
        for (const char* service : {"fieldfx.limelight", static_cast<const char*>(nullptr)}) {
            // Through the loader, whose normalisers scale to the size asked for.
            mlt_producer producer = mlt_factory_producer(profile_, nullptr, clip_.c_str());
            ASSERT_NE(producer, nullptr);
            if (service != nullptr) {
                mlt_filter filter = mlt_factory_filter(profile_, service, nullptr);
                mlt_properties_set(MLT_FILTER_PROPERTIES(filter), "spotSize", "30");
                mlt_producer_attach(producer, filter);
                mlt_filter_close(filter);
            }
            mlt_frame frame = frameAt(producer, 2);
            mlt_image_format format = mlt_image_yuv422;
            int w = width, h = height;
            uint8_t* image = nullptr;
            EXPECT_EQ(mlt_frame_get_image(frame, &image, &format, &w, &h, 0), 0);
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(w, width);
            EXPECT_EQ(h, height);
            images[service == nullptr].assign(image, image + size_t(w) * size_t(h) * 2);
            mlt_frame_close(frame);
            mlt_producer_close(producer);
        }
        EXPECT_FALSE(images[0] == images[1]);
    }
}

INSTANTIATE_TEST_SUITE_P(Scans, MltRender,
                         testing::Values(Scan{"TopFirst", Interlace::TopFirst},
                                         Scan{"BottomFirst", Interlace::BottomFirst},
                                         Scan{"Progressive", Interlace::Progressive}),
                         [](const testing::TestParamInfo<Scan>& info) { return std::string(info.param.name); });

}  // namespace
