// Inputs the fieldfx program cannot render: whatever ffmpeg cannot read or
// cannot hand over as pictures, pipes that end early, files that shrink
// while they are read. Each gives one line naming the file and the cause,
// exit status 1 and nothing written. And transitions between inputs whose
// fields come in different orders.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CliFixture.h"
#include "Error.h"
#include "FfmpegFixture.h"
#include "LoadedOperator.h"
#include "Operator.h"
#include "RenderCommand.h"

using namespace fxtest;

namespace {

const char kMoving[] = "testsrc2=size=192x144:rate=25:duration=1";

// The run failed with one line about `input` that holds `cause`, and left
// nothing in `dir` but the inputs.
void expectRefused(const Outcome& r, const std::string& input, const std::string& cause, const TempDir& dir,
                   const std::vector<std::string>& inputs) {
    EXPECT_EQ(r.status, 1) << input << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("fieldfx: " + input + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const std::string& name : dir.files()) {
        EXPECT_NE(std::find(inputs.begin(), inputs.end(), name), inputs.end()) << "left " << name << " after " << input;
    }
}

// Opens the FIFO for writing once a reader has it open (within 30 s),
// writes `data` and closes it: a writer that ends when it likes.
void writeToFifo(const std::string& path, const std::string& data) {
    int fd = -1;
    for (int i = 0; i < 3000 && fd < 0; ++i) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) return;
    fcntl(fd, F_SETFL, 0);
    (void)!write(fd, data.data(), data.size());  // the reader may have gone
    close(fd);
}

TEST(UnreadableInputs, EachGivesOneLineAndLeavesNothing) {
    REQUIRE_FFMPEG();
    signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    makeClip(dir / "full.mp4", kMoving, "-pix_fmt yuv420p");  // its index (moov) at the end
    const std::string full = readFile(dir / "full.mp4");
    std::string noise(100000, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = char(i * 2654435761u >> 13);
    writeFile(dir / "random.mp4", noise);
    writeFile(dir / "cut.mp4", full.substr(0, full.size() * 2 / 3));
    writeFile(dir / "empty.mp4", "");
    makeClip(dir / "audio.mp4", "sine=frequency=440:duration=1", "-c:a aac");
    makeClip(dir / "odd.mkv", "color=size=192x143:rate=25:duration=0.2,format=yuv444p", "-c:v ffv1");
    mkdir((dir / "folder.mp4").c_str(), 0777);
    // ffmpeg alone on the PATH: the file is not looked at before it is decoded.
    mkdir((dir / "bin").c_str(), 0777);
    ASSERT_EQ(std::system(("ln -s \"$(command -v ffmpeg)\" " + quote(dir / "bin/ffmpeg")).c_str()), 0);
    const std::vector<std::string> inputs = {"full.mp4", "random.mp4", "cut.mp4", "empty.mp4", "audio.mp4", "odd.mkv",
                                             "folder.mp4", "bin"};
    struct Case {
        std::string input, cause, env;
    };
    const Case cases[] = {
        {"random.mp4", "ffmpeg cannot read it: ", ""},
        {"random.mp4", "ffmpeg cannot read it: ", "PATH=" + quote(dir / "bin") + " "},
        {"cut.mp4", "moov atom not found", ""},
        {"empty.mp4", "is empty", ""},
        {"audio.mp4", "holds no video stream (only audio)", ""},
        {"odd.mkv", "its pictures cannot be rendered: the frame height must be even", ""},
        {"odd.mkv", "the frame height must be even", "PATH=" + quote(dir / "bin") + " "},
        {"folder.mp4", "is a directory", ""},
    };
    for (const Case& c : cases) {
        for (const char* output : {"out.mkv", "out.y4m"}) {
            const Outcome r = runFieldfx("render Dye " + quote(dir / c.input) + " -o " + quote(dir / output) + " --quiet",
                                         dir, c.env);
            expectRefused(r, dir / c.input, c.cause, dir, inputs);
        }
    }
}

// A named pipe is read once, as it comes: one that ends early, holds
// nothing or holds something other than YUV4MPEG2 is refused.
TEST(UnreadableInputs, PipesThatEndEarly) {
    signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    Clip clip;
    const std::string whole = clip.bytes();
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    struct Case {
        std::string data, cause;
    };
    const Case cases[] = {
        {whole.substr(0, whole.size() - 100), "truncated frame 3"},
        {"", "empty input"},
        {clip.header(), "holds no frames"},
        {"\x1a\x45\xdf\xa3 Matroska, without an end of line", "not a YUV4MPEG2 stream (no YUV4MPEG2 header); a pipe must hold YUV4MPEG2"},
    };
    for (const Case& c : cases) {
        std::thread writer(writeToFifo, dir / "pipe", c.data);
        const Outcome r = runFieldfx("render Dye " + quote(dir / "pipe") + " -o " + quote(dir / "out.y4m"), dir);
        writer.join();
        expectRefused(r, dir / "pipe", c.cause, dir, {"pipe"});
    }
    // A whole clip through the pipe renders as from a file.
    std::thread writer(writeToFifo, dir / "pipe", whole);
    const Outcome r = runFieldfx("render Dye " + quote(dir / "pipe") + " -o " + quote(dir / "out.y4m") + " --quiet", dir);
    writer.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir / "out.y4m").size(), whole.size());
}

// A file that shrinks while the run reads it: the run fails, naming the
// file and the frame where it ended, and no output is left.
TEST(UnreadableInputs, AFileThatShrinksWhileItIsRead) {
    if (!isBuiltOperator("Dye")) GTEST_SKIP();
    TempDir dir;
    Clip clip;
    clip.frames = 60;
    writeFile(dir / "in.y4m", clip.bytes());
    auto op = fieldfx::findOperator("Dye", fieldfx::operatorSearchPath(""));
    for (const size_t keep : {size_t(0), clip.bytes().size() / 3}) {
        fieldfx::RenderRequest r;
        r.inputs = {dir / "in.y4m"};
        r.output = dir / "out.y4m";
        r.quiet = true;
        const fieldfx::FrameWatch shrink = [&](int64_t index, const fieldfx::Picture&) {
            if (index == 1) {
                ASSERT_EQ(truncate((dir / "in.y4m").c_str(), off_t(keep)), 0);
            }
        };
        try {
            fieldfx::renderClip(*op, r, shrink);
            ADD_FAILURE() << "a shrunk file rendered whole";
        } catch (const fieldfx::UserError& e) {
            EXPECT_EQ(e.reason().rfind(dir / "in.y4m: ", 0), 0u) << e.what();
            EXPECT_TRUE(e.reason().find("ended after") != std::string::npos ||
                        e.reason().find("truncated frame") != std::string::npos) << e.what();
        }
        for (const std::string& name : dir.files()) EXPECT_EQ(name, "in.y4m") << "left " << name;
        writeFile(dir / "in.y4m", clip.bytes());
    }
}

// ---------------------------------------------------------------------------
// A transition takes each frame's fields of both inputs in one order: inputs
// of different scans are refused, naming both, unless --field-order says
// which to use.

TEST(TransitionScans, DifferentFieldOrdersNeedToBeToldWhichToUse) {
    if (!isBuiltOperator("Rotate")) GTEST_SKIP();
    TempDir dir;
    for (const char* scan : {"t", "b", "p"}) {
        Clip clip;
        clip.interlace = scan;
        writeFile(dir / (std::string(scan) + ".y4m"), clip.bytes());
    }
    // Rates whose cross products overflow 64 bits, a hair apart.
    Clip huge, hugeToo;
    huge.rate = "999999999999:999999999998";
    hugeToo.rate = "999999999998:999999999997";
    writeFile(dir / "huge.y4m", huge.bytes());
    writeFile(dir / "hugeToo.y4m", hugeToo.bytes());
    struct Case {
        const char *first, *second, *options;
        std::string message;  // empty: it renders
    };
    const Case cases[] = {
        {"t", "b", "", "Rotate: " + dir / "t.y4m" + " is top field first and " + dir / "b.y4m" +
                           " bottom field first; --field-order tff|bff says which to use"},
        {"b", "p", "", "Rotate: " + dir / "b.y4m" + " is bottom field first and " + dir / "p.y4m" + " progressive"},
        {"p", "t", "", "Rotate: " + dir / "p.y4m" + " is progressive and " + dir / "t.y4m" + " top field first"},
        {"t", "b", "--field-order bff", ""},
        {"p", "t", "--field-order tff", ""},
        {"t", "t", "", ""},
        {"p", "p", "", ""},
        {"huge", "hugeToo", "", "does not match"},
        {"huge", "huge", "", ""},
    };
    for (const Case& c : cases) {
        const Outcome r = runFieldfx(std::string("render Rotate ") + quote(dir / (std::string(c.first) + ".y4m")) + " " +
                                         quote(dir / (std::string(c.second) + ".y4m")) + " -o " + quote(dir / "out.y4m") +
                                         " --quiet " + c.options,
                                     dir);
        if (c.message.empty()) {
            EXPECT_EQ(r.status, 0) << c.first << " " << c.second << "\n" << r.err;
        } else {
            EXPECT_EQ(r.status, 1) << c.first << " " << c.second;
            EXPECT_EQ(r.err.rfind("fieldfx: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_FALSE(exists(dir / "out.y4m"));
        }
        std::remove((dir / "out.y4m").c_str());
    }
}

}  // namespace
