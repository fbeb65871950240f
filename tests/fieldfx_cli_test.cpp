// The fieldfx program end to end: it is run as a user runs it, on clips the
// tests write, and its output is compared with each operator driven field by
// field through the recording test host.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LoadedOperator.h"
#include "Png.h"
#include "RecordingHost.h"
#include "CliFixture.h"

using namespace fxtest;

namespace {

// ---------------------------------------------------------------------------
// Each operator through the program equals the operator driven through the
// recording host.

struct Variant {
    const char* name;
    const char* interlace;    // of the clip
    const char* extraArgs;    // given to fieldfx
    bool bottomFirst;         // field order of the run
    std::string rate = "25:1", aspect = "1:1";
    bool sixty = false;
    int16_t pixelAspect = 1000;
    bool region = false;      // --region 5,2,30,5
};

const Variant kVariants[] = {
    {"TopFirst", "t", "", false},
    {"BottomFirst", "b", "", true},
    {"Progressive", "p", "", false},
    {"FieldOrderOverride", "t", "--field-order bff", true},
    {"SixtyFieldsAspectRegion", "t", "--region 5,2,30,5", false, "30000:1001", "10:11", true, 1100, true},
};

struct OperatorCase {
    const char* name;
    bool transition;
};

const OperatorCase kOperators[] = {
    {"Blur", false}, {"Rebound", true},     {"Dye", false},   {"Glow", false},
    {"Limelight", false}, {"Underwater", false}, {"Rotate", true}, {"Patina", false},
};

void PrintTo(const OperatorCase& op, std::ostream* out) { *out << op.name; }
void PrintTo(const Variant& v, std::ostream* out) { *out << v.name; }

class OperatorThroughProgram : public testing::TestWithParam<std::tuple<OperatorCase, Variant>> {};

TEST_P(OperatorThroughProgram, EqualsTheOperatorDrivenFieldByField) {
    const OperatorCase& op = std::get<0>(GetParam());
    const Variant& v = std::get<1>(GetParam());
    if (!isBuiltOperator(op.name)) GTEST_SKIP() << op.name << " is not part of this build";
    TempDir dir;
    Clip clips[2];
    for (int i = 0; i < 2; ++i) {
        clips[i].interlace = v.interlace;
        clips[i].rate = v.rate;
        clips[i].aspect = v.aspect;
        clips[i].seed = 11 + i;
        writeFile(dir / ("in" + std::to_string(i) + ".y4m"), clips[i].bytes());
    }
    const std::string inputs = quote(dir / "in0.y4m") + (op.transition ? " " + quote(dir / "in1.y4m") : "");
    const Outcome run = runFieldfx(std::string("render ") + op.name + " " + inputs + " -o " + quote(dir / "out.y4m") +
                                   " --quiet " + v.extraArgs, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const Y4mFile out = parseY4m(readFile(dir / "out.y4m"), clips[0].frameSize());
    ASSERT_EQ(out.frames.size(), size_t(clips[0].frames));

    // The same run through the recording host.
    LoadedOperator loaded(op.name);
    RecordingHost host;
    const int fieldHeight = clips[0].height / 2;
    auto fieldOfPosition = [&](int32_t position) { return v.bottomFirst ? 1 - position % 2 : position % 2; };
    int field = 0;  // the field of the current call
    for (int i = 0; i < 2; ++i) {
        host.input(i).setSize(clips[i].width, fieldHeight);
        if (v.region) host.input(i).setRegion(5, 2, 30, 5);
        host.input(i).content = [&, i](int32_t, int32_t position, int32_t x, int32_t y) {
            return clips[i].fieldPixel(position / 2, field, x, y);
        };
    }
    // Both fields of a progressive frame at the frame's position; the run is
    // one shorter so that the last frame ends it.
    const bool progressive = std::string(v.interlace) == "p";
    const uint32_t length = 2 * clips[0].frames - (progressive ? 1 : 0);
    OperatorRequest request = makeRequest(CMD_START, length);
    request.flags = v.sixty ? FLAG_SIXTY_FIELDS : 0;
    request.pixelAspect = v.pixelAspect;
    ASSERT_NE(host.call(loaded.action(), request), -1);
    std::vector<std::string> expected(clips[0].frames, std::string(clips[0].frameSize(), '\0'));
    for (uint32_t call = 0; call < 2 * uint32_t(clips[0].frames); ++call) {
        const uint32_t position = progressive ? call & ~1u : call;
        field = fieldOfPosition(int32_t(call));
        request.command = CMD_RENDER;
        request.position = position;
        request.flags = uint8_t((v.sixty ? FLAG_SIXTY_FIELDS : 0) | (field == 1 ? FLAG_LOWER_FIELD : 0));
        ASSERT_EQ(host.call(loaded.action(), request), 0) << "position " << position;
        const ImageCopy& image = host.lastOutput();
        std::string& frame = expected[position / 2];
        const size_t n = clips[0].planeSize();
        for (int y = 0; y < fieldHeight; ++y) {
            for (int x = 0; x < clips[0].width; ++x) {
                const size_t i = size_t(2 * y + field) * clips[0].width + x;
                frame[i] = char(image.byte(x, y, PIXEL_LUMA));
                frame[n + i] = char(image.byte(x, y, PIXEL_CB));
                frame[2 * n + i] = char(image.byte(x, y, PIXEL_CR));
                frame[3 * n + i] = char(image.byte(x, y, PIXEL_KEY));
            }
        }
    }
    request.command = CMD_FINISH;
    host.call(loaded.action(), request);
    EXPECT_TRUE(host.violations().empty());
    for (int f = 0; f < clips[0].frames; ++f) EXPECT_TRUE(out.frames[f] == expected[f]) << "frame " << f << " differs";
}

std::string caseName(const testing::TestParamInfo<std::tuple<OperatorCase, Variant>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(AllOperators, OperatorThroughProgram,
                         testing::Combine(testing::ValuesIn(kOperators), testing::ValuesIn(kVariants)), caseName);

// ---------------------------------------------------------------------------
// Values on the command line reach the descriptors, keyframed per field.

TEST(Settings, KeyframedValuesAreWrittenBeforeEachField) {
    TempDir dir;
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    const Outcome run = runFieldfx("render Dye " + quote(dir / "in.y4m") + " -o " + quote(dir / "out.y4m") +
                                   " --quiet --set tintColor=#FF0000 --set fadePercent=0@0,100@5", dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const Y4mFile out = parseY4m(readFile(dir / "out.y4m"), clip.frameSize());
    ASSERT_EQ(out.frames.size(), 3u);

    LoadedOperator dye("Dye");
    const uint8_t red[4] = {255, 240, 90, 81};  // key, Cr, Cb, Y' of #FF0000
    std::memcpy(dye.color(1)->color, red, 4);
    RecordingHost host;
    host.input(0).setSize(clip.width, clip.height / 2);
    host.input(0).content = [&](int32_t, int32_t position, int32_t x, int32_t y) {
        return clip.fieldPixel(position / 2, position % 2, x, y);
    };
    const int32_t fade[6] = {0, 20, 40, 60, 80, 100};
    for (uint32_t position = 0; position < 6; ++position) {
        dye.slider(2)->value = fade[position];
        ASSERT_EQ(host.render(dye.action(), 6, position, position % 2 ? FLAG_LOWER_FIELD : 0), 0);
        const ImageCopy& image = host.lastOutput();
        const size_t n = clip.planeSize();
        for (int y = 0; y < clip.height / 2; ++y) {
            for (int x = 0; x < clip.width; ++x) {
                const size_t i = size_t(2 * y + position % 2) * clip.width + x;
                ASSERT_EQ(uint8_t(out.frames[position / 2][2 * n + i]), image.byte(x, y, PIXEL_CR))
                    << "position " << position << " x " << x << " y " << y;
            }
        }
    }
}

TEST(Settings, NoProgressBarOffATerminalOnlyTheSummary) {
    TempDir dir;
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    Outcome run = runFieldfx("render Dye " + quote(dir / "in.y4m") + " -o " + quote(dir / "out.y4m"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << run.err;
    EXPECT_EQ(run.err.rfind("fieldfx: Dye: 6 fields (3 frames, 48x16)", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    run = runFieldfx("render Dye " + quote(dir / "in.y4m") + " -o " + quote(dir / "out.y4m") + " --quiet", dir);
    EXPECT_EQ(run.err, "");
}

// ---------------------------------------------------------------------------
// Formats

TEST(Formats, StoredFramesComeBackUnchangedInEveryLayout) {
    const char* layouts[] = {"420jpeg", "420mpeg2", "420paldv", "422", "444", "444alpha"};
    for (const char* chroma : layouts) {
        for (const char* interlace : {"t", "b", "p"}) {
            TempDir dir;
            Clip clip;
            clip.chroma = chroma;
            clip.interlace = interlace;
            clip.aspect = "59:54";
            clip.rate = "30000:1001";
            writeFile(dir / "in.y4m", clip.bytes());
            // Also when the operator fetches each field twice (the second
            // fetch is made again from the frame), with a region, and with
            // a worker.
            for (const char* extra : {"", " --set param4=1 --region 2,1,20,3", " --set param4=1 -j 2"}) {
                const Outcome run = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "in.y4m") +
                                               " -o " + quote(dir / "out.y4m") + " --quiet" + extra, dir);
                ASSERT_EQ(run.status, 0) << run.err;
                EXPECT_TRUE(readFile(dir / "out.y4m") == clip.bytes()) << chroma << " I" << interlace << extra;
            }
        }
    }
}

TEST(Formats, PngInAndOut) {
    TempDir dir;
    fieldfx::RgbaImage still;
    still.width = 8;
    still.height = 4;
    for (int i = 0; i < 32; ++i) {
        const uint8_t px[4] = {uint8_t(i * 8), uint8_t(255 - i * 8), uint8_t(i * 3), uint8_t(i * 7)};
        still.rgba.insert(still.rgba.end(), px, px + 4);
    }
    fieldfx::writePng(dir / "still.png", still, true);
    Outcome run = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "still.png") + " --duration 0.2 -o " +
                             quote(dir / "out.y4m") + " --quiet", dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string y4m = readFile(dir / "out.y4m");
    EXPECT_NE(y4m.find("C444alpha"), std::string::npos);
    const Y4mFile out = parseY4m(y4m, 4 * 32);
    ASSERT_EQ(out.frames.size(), 5u) << "0.2 s at 25 frames a second";
    for (int i = 0; i < 32; ++i) EXPECT_EQ(uint8_t(out.frames[4][3 * 32 + i]), still.rgba[4 * i + 3]) << "alpha";

    run = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "out.y4m") + " --from 4 -o " +
                         quote(dir / "back.png") + " --quiet", dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const fieldfx::RgbaImage back = fieldfx::readPng(dir / "back.png");
    ASSERT_EQ(back.width, 8);
    ASSERT_EQ(back.height, 4);
    for (size_t i = 0; i < back.rgba.size(); ++i) EXPECT_NEAR(back.rgba[i], still.rgba[i], 3) << i;

    run = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "out.y4m") + " -o " +
                         quote(dir / "seq%02d.png") + " --quiet", dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(exists(dir / "seq00.png"));
    EXPECT_TRUE(exists(dir / "seq04.png"));
    EXPECT_FALSE(exists(dir / "seq05.png"));
}

// A numbered PNG sequence is one clip: its frames in order from the first
// number of 0..4 that exists up to a gap, at --rate frames a second.
TEST(Formats, PngSequenceIn) {
    struct Case {
        int first, count;
        const char* rate;  // empty: the default
        const char* header;
        const char* error;  // expected in stderr, or empty for success
    };
    const Case cases[] = {
        {0, 3, "", "F25:1", ""},
        {1, 4, "29.97", "F30000:1001", ""},
        {4, 2, "30000/1001", "F30000:1001", ""},
        {2, 2, "12.5", "F25:2", ""},
        {5, 2, "", "", "no such PNG sequence"},
        {0, 2, "0", "", "--rate: '0' is not a frame rate"},
        {0, 2, "fast", "", "--rate: 'fast' is not a frame rate"},
        {0, 0, "", "", "no such PNG sequence"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        fieldfx::RgbaImage frame;
        frame.width = 4;
        frame.height = 2;
        frame.rgba.assign(32, 0);
        for (int n = c.first; n < c.first + c.count; ++n) {
            frame.rgba.assign(32, uint8_t(n * 40));
            char name[32];
            std::snprintf(name, sizeof name, "in%03d.png", n);
            fieldfx::writePng(dir / name, frame, true);
        }
        // A frame after a gap is not part of the clip.
        fieldfx::writePng(dir / "in010.png", frame, true);
        const Outcome run = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "in%03d.png") +
                                           (*c.rate ? std::string(" --rate ") + c.rate : "") + " -o " +
                                           quote(dir / "out.y4m") + " --quiet",
                                       dir);
        if (*c.error) {
            EXPECT_NE(run.status, 0) << c.first;
            EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string y4m = readFile(dir / "out.y4m");
        EXPECT_NE(y4m.substr(0, y4m.find('\n')).find(c.header), std::string::npos) << y4m.substr(0, 60);
        const Y4mFile out = parseY4m(y4m, 4 * 8);
        ASSERT_EQ(out.frames.size(), size_t(c.count)) << "first " << c.first;
        for (int n = 0; n < c.count; ++n) {
            const fieldfx::YCbCr expected = fieldfx::rgbToYCbCr((c.first + n) * 40, (c.first + n) * 40, (c.first + n) * 40);
            EXPECT_EQ(uint8_t(out.frames[size_t(n)][0]), expected.y) << "frame " << n << " in order";
        }
    }
}

// What an operator reads at the start of its run is the user's setting:
// Patina's film condition decides its scratches and jumps there.
TEST(Settings, TheStartOfTheRunSeesThem) {
    if (!isBuiltOperator("Patina")) GTEST_SKIP();
    TempDir dir;
    Clip clip;
    clip.frames = 4;
    writeFile(dir / "in.y4m", clip.bytes());
    std::string outputs[3];
    const char* conditions[3] = {"1", "50", "100"};
    for (int i = 0; i < 3; ++i) {
        const Outcome run = runFieldfx(std::string("render Patina ") + quote(dir / "in.y4m") + " -o " +
                                           quote(dir / "out.y4m") + " --quiet --set filmCondition=" + conditions[i],
                                       dir);
        ASSERT_EQ(run.status, 0) << run.err;
        outputs[i] = readFile(dir / "out.y4m");
    }
    EXPECT_NE(outputs[0], outputs[1]);
    EXPECT_NE(outputs[1], outputs[2]);
}

TEST(Formats, ScaleHalvesTheOutput) {
    TempDir dir;
    Clip clip;
    clip.chroma = "420jpeg";
    writeFile(dir / "in.y4m", clip.bytes());
    const Outcome run = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "in.y4m") + " --scale 1/2 -o " +
                                   quote(dir / "out.y4m") + " --quiet --pix-fmt 444", dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string out = readFile(dir / "out.y4m");
    EXPECT_EQ(out.substr(0, out.find('\n')), "YUV4MPEG2 W24 H8 F25:1 It A1:1 C444");
    EXPECT_EQ(out.size(), out.find('\n') + 1 + 3 * (6 + 3 * 24 * 8));
}

TEST(Formats, TheRequestCarriesScaleRateAspectFieldAndRun) {
    TempDir dir;
    Clip clip;
    clip.frames = 4;
    clip.interlace = "b";
    clip.rate = "30000:1001";
    clip.aspect = "10:11";
    writeFile(dir / "in.y4m", clip.bytes());
    const Outcome run = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "in.y4m") +
                                       " --from 1 --length 2 --scale 1/2 --set param2=1 -o " + quote(dir / "out.y4m") +
                                       " --quiet", dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const size_t plane = 24 * 8;
    const std::string data = readFile(dir / "out.y4m");
    EXPECT_EQ(data.substr(0, data.find('\n')), "YUV4MPEG2 W24 H8 F30000:1001 Ib A10:11 C444alpha");
    const Y4mFile out = parseY4m(data, 4 * plane);
    ASSERT_EQ(out.frames.size(), 2u);
    for (int position = 0; position < 4; ++position) {
        const int field = 1 - position % 2;  // bottom field first
        const std::string& frame = out.frames[position / 2];
        auto at = [&](int planeIndex, int x) { return uint8_t(frame[planeIndex * plane + size_t(field) * 24 + x]); };
        // Planes: Y' 0, Cb 1, Cr 2, A 3; a field pixel is key, Cr, Cb, Y'.
        EXPECT_EQ(at(3, 0), FLAG_REDUCED_SIZE | FLAG_SIXTY_FIELDS | (field == 1 ? FLAG_LOWER_FIELD : 0)) << position;
        EXPECT_EQ(at(2, 0), 1) << "scaleNum";
        EXPECT_EQ(at(1, 0), 2) << "scaleDen";
        EXPECT_EQ(at(0, 0), position);
        EXPECT_EQ(at(3, 1) | at(2, 1) << 8, 1100) << "pixelAspect";
        EXPECT_EQ(at(1, 1) | at(0, 1) << 8, 4) << "length";
    }
}

// Both fields of a progressive frame are rendered at the frame's position
// (top, then bottom, flagged as usual); the run is 2N-1 long so that the last
// frame sits at its end.
TEST(Formats, ProgressiveFramesRenderBothFieldsAtOnePosition) {
    TempDir dir;
    Clip clip;
    clip.frames = 3;
    clip.interlace = "p";
    writeFile(dir / "in.y4m", clip.bytes());
    const Outcome run = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "in.y4m") + " -o " +
                                       quote(dir / "out.y4m") + " --set param2=1 --quiet", dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const size_t plane = size_t(clip.width) * clip.height;
    const Y4mFile out = parseY4m(readFile(dir / "out.y4m"), 4 * plane);
    ASSERT_EQ(out.frames.size(), 3u);
    for (int frame = 0; frame < 3; ++frame) {
        for (int field = 0; field < 2; ++field) {
            auto at = [&](int planeIndex, int x) {
                return uint8_t(out.frames[frame][planeIndex * plane + size_t(field) * clip.width + x]);
            };
            EXPECT_EQ(at(3, 0), field == 1 ? FLAG_LOWER_FIELD : 0) << frame << "/" << field;
            EXPECT_EQ(at(0, 0), 2 * frame) << frame << "/" << field;
            EXPECT_EQ(at(1, 1) | at(0, 1) << 8, 5) << "length";
        }
    }
}

TEST(Formats, StdinToStdout) {
    TempDir dir;
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    const Outcome run = runFieldfx("render " + kTestOps + "/libPassthrough.so - -o - --quiet <" + quote(dir / "in.y4m") +
                                   " >" + quote(dir / "out.y4m"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(readFile(dir / "out.y4m") == clip.bytes());
}

// ---------------------------------------------------------------------------
// Bad input: one clear message, a non-zero exit, and no output file.

TEST(BadInput, EachGetsItsMessageAndLeavesNoOutput) {
    TempDir dir;
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    Clip other = clip;
    other.width = 32;
    writeFile(dir / "small.y4m", other.bytes());
    Clip slow = clip;
    slow.rate = "24:1";
    writeFile(dir / "slow.y4m", slow.bytes());
    const std::string full = clip.bytes();
    writeFile(dir / "truncated.y4m", full.substr(0, full.size() - 10));
    writeFile(dir / "junk.y4m", "this is not video\n");
    writeFile(dir / "noframe.y4m", clip.header() + "FRAMX\n" + clip.frameBytes(0));
    writeFile(dir / "p10.y4m", "YUV4MPEG2 W8 H4 F25:1 C420p10\n");
    writeFile(dir / "headerless.y4m", "YUV4MPEG2 W8 H4");
    writeFile(dir / "empty.y4m", "");
    writeFile(dir / "libFake.so", "not a library");
    mkdir((dir / "adir").c_str(), 0777);
    const std::string in = quote(dir / "in.y4m");
    const std::string out = " -o " + quote(dir / "out.y4m");
    const std::string pass = kTestOps + "/libPassthrough.so ";

    struct Case {
        std::string args;
        std::string message;
    };
    std::vector<Case> cases = {
        {"render Dye " + quote(dir / "missing.y4m") + out, "missing.y4m: No such file or directory"},
        {"render Dye " + quote(dir / "adir") + out, "adir: is a directory"},
        {"render Dye " + quote(dir / "junk.y4m") + out, "not a YUV4MPEG2 stream"},
        {"render Dye " + quote(dir / "empty.y4m") + out, "empty input"},
        {"render Dye " + quote(dir / "headerless.y4m") + out, "truncated YUV4MPEG2 header"},
        {"render Dye " + quote(dir / "truncated.y4m") + out, "truncated frame 3"},
        {"render Dye " + quote(dir / "noframe.y4m") + out, "malformed frame 1"},
        {"render Dye " + quote(dir / "p10.y4m") + out, "unsupported chroma format '420p10'"},
        {"render NoSuchOperator " + in + out, "NoSuchOperator: no such operator"},
        {"render hostcore " + in + out, "no such operator"},
        {"render Dye " + in + out + " --set speed=3", "speed: Dye has no such parameter"},
        {"render Dye " + in + out + " --set fadePercent=101", "fadePercent: 101 is out of range 0..100"},
        {"render Dye " + in + out + " --set tintColor=red", "tintColor: 'red' is not a colour"},
        {"render Dye " + in + out + " --set fadePercent", "a setting is NAME=VALUE"},
        {"render Dye " + in + " " + in + out, "is an effect and takes one input"},
        {"render Dye " + in, "no output given"},
        {"render Dye " + in + out + " --bogus", "unknown option --bogus"},
        {"render Dye " + in + out + " --from 3", "frame 3 is past the end of the input (3 frames)"},
        {"render Dye " + in + out + " --length 4", "4 frames asked for, but only 3"},
        {"render Dye " + in + out + " --region 0,0,49,8", "does not lie inside the 48x8 field"},
        {"render Dye " + in + out + " --scale 3/2", "must reduce"},
        {"render Dye " + in + out + " --field-order top", "is not tff or bff"},
        {"render Dye " + in + out + " --pix-fmt rgb", "is not one of"},
        {"render Dye " + in + " -o " + quote(dir / "one.png"), "a single PNG holds one frame and the run has 3"},
        {"render Dye " + in + " -o " + quote(dir / "nodir/out.y4m"), "its directory does not exist"},
        {"render " + quote(dir / "libFake.so") + " " + in + out, "cannot load operator library"},
        {"render " + quote(dir / "libNothing.so") + " " + in + out, "cannot open operator library"},
        {"render " + std::string(FIELDFX_LIB_DIR) + "/libhostcore.so " + in + out, "not an operator library (no GetOperatorInfo)"},
        {"render " + kTestOps + "/libEndless.so " + in + out, "tag list does not end within 64 words"},
        {"render " + kTestOps + "/libWild.so " + in + out, "parameter 1 has no readable descriptor"},
        {"render " + pass + in + out + " --set param1=3", "Passthrough: render failed at field 3 of 6 (operator log: level 4, src\\Passthrough line"},
        {"render Dye " + in + out + " --ops " + quote(dir / "adir"), ""},  // found beside the program all the same
        {"info NoSuchOperator", "no such operator"},
        {"frobnicate", "frobnicate: unknown command"},
    };
    for (const char* transition : {"Rotate", "Rebound"}) {
        if (!isBuiltOperator(transition)) continue;
        cases.push_back({std::string("render ") + transition + " " + in + " " + quote(dir / "small.y4m") + out,
                         "does not match"});
        cases.push_back({std::string("render ") + transition + " " + in + " " + quote(dir / "slow.y4m") + out,
                         "does not match"});
        cases.push_back({std::string("render ") + transition + " " + in + out, "is a transition and takes two inputs"});
    }
    for (const Case& c : cases) {
        const Outcome run = runFieldfx(c.args, dir);
        if (c.message.empty()) {
            EXPECT_EQ(run.status, 0) << c.args << "\n" << run.err;
            std::remove((dir / "out.y4m").c_str());
            continue;
        }
        EXPECT_NE(run.status, 0) << c.args;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\nstderr: " << run.err;
        EXPECT_EQ(run.err.rfind("fieldfx: ", 0), 0u) << run.err;
        EXPECT_FALSE(exists(dir / "out.y4m")) << c.args;
        for (const std::string& name : dir.files()) EXPECT_NE(name.rfind(".fieldfx-", 0), 0u) << "left " << name;
    }
}

TEST(Operators, ListInfoAndLookup) {
    TempDir dir;
    Outcome run = runFieldfx("list > " + quote(dir / "list.txt"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string list = readFile(dir / "list.txt");
    for (const OperatorCase& op : kOperators) {
        if (!isBuiltOperator(op.name)) continue;
        EXPECT_NE(list.find(std::string(op.name) + " "), std::string::npos) << list;
        EXPECT_NE(list.find(op.transition ? "transition" : "effect"), std::string::npos);
    }
    EXPECT_EQ(list.find("hostcore"), std::string::npos);

    // A directory of operators in FIELDFX_OPS: the stand-in is listed, the
    // library that is not an operator passed over.
    const std::string withOps = std::string("FIELDFX_OPS=") + quote(kTestOps) + " ";
    const int raw = std::system((withOps + kProgram + " list > " + quote(dir / "list3.txt")).c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 0);
    const std::string list3 = readFile(dir / "list3.txt");
    EXPECT_NE(list3.find("Passthrough"), std::string::npos);
    EXPECT_EQ(list3.find("Endless"), std::string::npos);
    run = runFieldfx("list --ops " + quote(kTestOps) + " > " + quote(dir / "list4.txt"), dir);
    EXPECT_EQ(readFile(dir / "list4.txt"), list3);

    // Operators named by name are found through FIELDFX_OPS and --ops too.
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    const int byName = std::system((withOps + kProgram + " render passthrough " + quote(dir / "in.y4m") + " -o " +
                                    quote(dir / "out.y4m") + " --quiet").c_str());
    EXPECT_EQ(WEXITSTATUS(byName), 0);
    EXPECT_TRUE(readFile(dir / "out.y4m") == clip.bytes());
    run = runFieldfx("render Passthrough " + quote(dir / "in.y4m") + " -o " + quote(dir / "out2.y4m") + " --quiet --ops " +
                         quote(kTestOps), dir);
    EXPECT_EQ(run.status, 0) << run.err;

    run = runFieldfx("info dye > " + quote(dir / "info.txt"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string info = readFile(dir / "info.txt");
    for (const char* word : {"tintColor", "colour", "#00FFFF", "Tint colour", "fadePercent", "slider", "0..100", "25",
                             "Fade share (percent of the run)"}) {
        EXPECT_NE(info.find(word), std::string::npos) << word << "\n" << info;
    }
    for (const char* command : {"list", "info", "render", "demo"}) {
        run = runFieldfx(std::string(command) + " --help > " + quote(dir / "help.txt"), dir);
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_NE(readFile(dir / "help.txt").find(std::string("usage: fieldfx ") + command), std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// Ctrl-C: the run stops after the current field, the output is a valid,
// shorter clip, and the exit status is 130.

// Feeds `frames` frames of a clip into `fieldfx render Dye - ... extra` on a
// pipe, sends SIGINT while it waits for more, and checks the outcome: status
// 130, the message, a valid output of at most the frames sent, no temporary
// file left behind.
static void interruptPipedRender(const std::vector<std::string>& extra, int frames) {
    TempDir dir;
    Clip clip;
    int toChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    const std::string output = dir / "out.y4m";
    const std::string errFile = dir / "stderr.txt";
    std::vector<std::string> args = {"fieldfx", "render", "Dye", "-", "-o", output, "--length", "10"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(toChild[0], 0);
        close(toChild[1]);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        execv(kProgram.c_str(), argv.data());
        _exit(127);
    }
    close(toChild[0]);
    const std::string header = clip.header();
    ASSERT_EQ(write(toChild[1], header.data(), header.size()), ssize_t(header.size()));
    // The temporary output appears once the run has started.
    const std::string temp = dir / (".fieldfx-" + std::to_string(pid) + "-out.y4m");
    for (int i = 0; i < 200 && !exists(temp); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(exists(temp));
    for (int f = 0; f < frames; ++f) {
        const std::string frame = "FRAME\n" + clip.frameBytes(f);
        ASSERT_EQ(write(toChild[1], frame.data(), frame.size()), ssize_t(frame.size()));
    }
    // Ctrl-C while the run renders and the next read waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    close(toChild[1]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130) << readFile(errFile);
    EXPECT_NE(readFile(errFile).find("interrupted"), std::string::npos);
    const std::string data = readFile(output);
    EXPECT_EQ(data.rfind(clip.header(), 0), 0u);
    const Y4mFile out = parseY4m(data, clip.frameSize());
    EXPECT_LE(out.frames.size(), size_t(frames));
    EXPECT_EQ(data.size(), clip.header().size() + out.frames.size() * (6 + clip.frameSize()));
    EXPECT_FALSE(exists(temp));
}

TEST(Interrupt, LeavesAValidShorterClip) { interruptPipedRender({}, 2); }

// ---------------------------------------------------------------------------
// -j N: worker processes give the same bytes as one process, and the same
// errors.

struct JobsCase {
    const char* name;
    bool transition;
    const char* settings;  // keyframed where the operator has a slider to move
};

const JobsCase kJobsCases[] = {
    {"Blur", false, "--set blurSize=1@0,25@9 --set fadeMode=2"},
    {"Dye", false, "--set tintColor=#FF0000@0,#0000FF@9 --set fadePercent=0@0,100@7"},
    {"Glow", false, "--set blurSize=25@0,1@9 --set glowGain=1"},
    {"Limelight", false, "--set spotCenter=0,0@0,47,7@9 --set spotSize=10@1,90@8"},
    {"Underwater", false, "--set waveAmplitude=1@0,20@9 --set waveSpeed=30"},
    {"Rotate", true, "--set turns=-9@0,9@9 --set trailCount=9"},
    {"Rebound", true, "--set reboundCount=1@0,9@9 --set hingeCorner=8"},
    {"Patina", false, "--set tintAmount=0@0,40@9"},
};

void PrintTo(const JobsCase& c, std::ostream* out) { *out << c.name; }

class WorkerProcesses : public testing::TestWithParam<JobsCase> {};

TEST_P(WorkerProcesses, EveryJobCountGivesTheSameBytes) {
    const JobsCase& c = GetParam();
    if (!isBuiltOperator(c.name)) GTEST_SKIP() << c.name << " is not part of this build";
    TempDir dir;
    for (int i = 0; i < 2; ++i) {
        Clip clip;
        clip.frames = 5;  // odd, so the workers get unequal shares
        clip.seed = 21 + i;
        writeFile(dir / ("in" + std::to_string(i) + ".y4m"), clip.bytes());
    }
    const std::string inputs = quote(dir / "in0.y4m") + (c.transition ? " " + quote(dir / "in1.y4m") : "");
    std::string reference;
    for (const char* jobs : {"1", "2", "3", "7"}) {
        for (const char* region : {"", " --region 5,1,30,6"}) {
            const std::string out = dir / (std::string("out") + jobs + (*region ? "r" : "") + ".y4m");
            const Outcome run = runFieldfx(std::string("render ") + c.name + " " + inputs + " -o " + quote(out) + " -j " +
                                               jobs + " " + c.settings + region, dir);
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err.rfind(std::string("fieldfx: ") + c.name + ": 10 fields (5 frames, 48x16)", 0), 0u) << run.err;
            const std::string bytes = readFile(out);
            ASSERT_EQ(parseY4m(bytes, Clip().frameSize()).frames.size(), 5u);
            const std::string first = dir / (std::string("out1") + (*region ? "r" : "") + ".y4m");
            EXPECT_TRUE(bytes == readFile(first)) << "-j " << jobs << region << " differs from -j 1";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllOperators, WorkerProcesses, testing::ValuesIn(kJobsCases),
                         [](const testing::TestParamInfo<JobsCase>& info) { return std::string(info.param.name); });

// Patina in workers: stretches of frames, each started by skipping ahead in
// the run through the replay. The clips are long enough for several
// stretches per worker; interlaced and progressive, both field orders, 50
// and 60 fields a second, reduced size.
TEST(WorkerProcesses, PatinaStretchesGiveTheBytesOfOneProcess) {
    if (!isBuiltOperator("Patina")) GTEST_SKIP() << "Patina is not part of this build";
    const struct {
        const char* interlace;
        const char* rate;
        const char* settings;
    } cases[] = {
        {"t", "25:1", "--set filmAge=1 --set filmCondition=1"},
        {"p", "25:1", "--set filmAge=0 --set filmCondition=50"},
        {"b", "30000:1001", "--set filmAge=2 --set filmCondition=20 --scale 1/2"},
        {"p", "30:1", "--set filmAge=1 --set filmCondition=1 --region 3,1,40,6"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        Clip clip;
        clip.frames = 150;
        clip.interlace = c.interlace;
        clip.rate = c.rate;
        writeFile(dir / "in.y4m", clip.bytes());
        std::string reference;
        for (const char* jobs : {"1", "2", "3"}) {
            const std::string out = dir / (std::string("out") + jobs + ".y4m");
            const Outcome run = runFieldfx("render Patina " + quote(dir / "in.y4m") + " -o " + quote(out) + " -j " +
                                               jobs + " " + c.settings,
                                           dir);
            ASSERT_EQ(run.status, 0) << run.err;
            const std::string bytes = readFile(out);
            if (reference.empty()) reference = bytes;
            EXPECT_TRUE(bytes == reference) << "-j " << jobs << " I" << c.interlace << " " << c.settings
                                            << " differs from -j 1";
        }
    }
}

TEST(WorkerProcesses, AFailingOrCrashingWorkerIsTheRunsError) {
    TempDir dir;
    Clip clip;
    clip.frames = 5;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string render = "render " + kTestOps + "/libPassthrough.so " + quote(dir / "in.y4m") + " -o " +
                               quote(dir / "out.y4m");
    struct Case {
        const char* args;
        const char* jobs;
        const char* message;
    };
    const Case cases[] = {
        {"--set param1=0", "2", "render failed at field 0 of 10 (operator log: level 4, src\\Passthrough line"},
        {"--set param1=3", "2", "render failed at field 3 of 10 (operator log: level 4, src\\Passthrough line"},
        {"--set param1=9", "3", "render failed at field 9 of 10 (operator log: level 4, src\\Passthrough line"},
        {"--set param1=6", "7", "render failed at field 6 of 10 (operator log: level 4, src\\Passthrough line"},
        {"--set param3=0", "2", "render failed at field 0 of 10 (its worker process ended by signal"},
        {"--set param3=5", "2", "render failed at field 5 of 10 (its worker process ended by signal"},
        {"--set param3=8", "7", "render failed at field 8 of 10 (its worker process ended by signal"},
        {"--set param3=2 --set param1=7", "2", "render failed at field 2 of 10 (its worker process ended"},
        {"--set param3=7 --set param1=2", "3", "render failed at field 2 of 10 (operator log"},
    };
    for (const Case& c : cases) {
        const Outcome run = runFieldfx(render + " -j " + c.jobs + " " + c.args, dir);
        EXPECT_EQ(run.status, 1) << c.args << " -j " << c.jobs;
        EXPECT_NE(run.err.find(std::string("fieldfx: Passthrough: ") + c.message), std::string::npos)
            << c.args << " -j " << c.jobs << "\nstderr: " << run.err;
        EXPECT_FALSE(exists(dir / "out.y4m")) << c.args;
        for (const std::string& name : dir.files()) EXPECT_NE(name.rfind(".fieldfx-", 0), 0u) << "left " << name;
    }
}

TEST(WorkerProcesses, TheJobCountIsChecked) {
    TempDir dir;
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    for (const char* jobs : {"0", "257", "-1", "two", "2x", "", "99999999999999999999"}) {
        for (const char* command : {"render Dye", "demo"}) {
            // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) about
            // a literal + temporary string here.
            std::string args = command;
            if (args == "demo") {
                args.append(" -o ").append(quote(dir / "demo"));
            } else {
                args.append(" ").append(quote(dir / "in.y4m")).append(" -o ").append(quote(dir / "out.y4m"));
            }
            args.append(" --jobs=").append(jobs);
            const Outcome run = runFieldfx(args, dir);
            EXPECT_EQ(run.status, 1) << args;
            EXPECT_NE(run.err.find("fieldfx: -j: '" + std::string(jobs) + "' is not a number of worker processes from 1 to 256"),
                      std::string::npos) << args << "\n" << run.err;
            EXPECT_FALSE(exists(dir / "out.y4m"));
            EXPECT_FALSE(exists(dir / "demo"));
        }
    }
    const Outcome run = runFieldfx("render Dye " + quote(dir / "in.y4m") + " -o " + quote(dir / "out.y4m") + " -j 256 --quiet", dir);
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST(Interrupt, WithWorkersLeavesAValidShorterClip) { interruptPipedRender({"-j", "3"}, 4); }

// ---------------------------------------------------------------------------
// ffmpeg: a clip it made goes through fieldfx and back into it.

TEST(Ffmpeg, TestPatternRoundTrip) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    TempDir dir;
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 "
                           "-pix_fmt yuv420p " + quote(dir / "in.mkv")).c_str()), 0);
    const Outcome run = runFieldfx("render Dye " + quote(dir / "in.mkv") + " -o " + quote(dir / "out.mkv") + " --quiet", dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string countFile = dir / "count.txt";
    ASSERT_EQ(std::system(("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                           "-of csv=p=0 " + quote(dir / "out.mkv") + " > " + quote(countFile)).c_str()), 0);
    EXPECT_EQ(std::atoi(readFile(countFile).c_str()), 25);

    // Without ffmpeg on the PATH: a clear message and no output.
    const int raw = std::system(("PATH=/nonexistent " + kProgram + " render Dye " + quote(dir / "in.mkv") + " -o " +
                                 quote(dir / "again.y4m") + " 2>" + quote(dir / "err.txt")).c_str());
    EXPECT_NE(WEXITSTATUS(raw), 0);
    EXPECT_NE(readFile(dir / "err.txt").find("ffmpeg is not on the PATH"), std::string::npos);
    EXPECT_FALSE(exists(dir / "again.y4m"));
}

}  // namespace
