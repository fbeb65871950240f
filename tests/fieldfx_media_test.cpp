// Real video through the fieldfx program: clips that ffmpeg makes in the
// test go through it, and ffprobe checks what comes out (chroma, depth,
// field order, audio, frame counts); inputs are never overwritten; a stop
// signal leaves a valid, shorter file and nothing else.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "CliFixture.h"
#include "FfmpegFixture.h"
#include "Error.h"
#include "Sinks.h"

using namespace fxtest;

namespace {

// ffprobe's entries of a file's streams, "codec_type,pix_fmt,field_order" a line.
std::string probe(const std::string& path, const std::string& entries = "codec_type,pix_fmt,field_order") {
    return run("ffprobe -v error -show_entries stream=" + entries + " -of csv=p=0 " + quote(path));
}

int countFrames(const std::string& path) {
    return std::atoi(run("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 " +
                         quote(path)).c_str());
}

double audioSeconds(const std::string& path) {
    return std::atof(run("ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 " + quote(path)).c_str());
}

const char kMoving[] = "testsrc2=size=192x144:rate=25:duration=1";
const char kSine[] = "-f lavfi -i sine=frequency=440:duration=1";

// ---------------------------------------------------------------------------
// The output keeps the input's chroma, depth and field order; audio comes
// along, cut to the run.

struct ShapeCase {
    const char* name;
    std::string picture;   // lavfi graph of the input
    std::string makeWith;  // ffmpeg options making the input
    std::string input, output, options;
    std::string expected;  // ffprobe's codec_type,pix_fmt,field_order lines
};

void PrintTo(const ShapeCase& c, std::ostream* out) { *out << c.name; }

class ShapeThroughFfmpeg : public testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeThroughFfmpeg, OutputKeepsTheInputsShape) {
    REQUIRE_FFMPEG();
    const ShapeCase& c = GetParam();
    TempDir dir;
    makeClip(dir / c.input, c.picture, c.makeWith);
    const Outcome r = runFieldfx("render Dye " + quote(dir / c.input) + " -o " + quote(dir / c.output) + " --quiet " +
                                     c.options, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(probe(dir / c.output), c.expected);
}

const ShapeCase kShapes[] = {
    {"Interlaced422TopFirst", kMoving, "-vf setfield=tff -pix_fmt yuv422p -flags +ildct+ilme -top 1 -x264-params tff=1",
     "in.mkv", "out.mp4", "", "video,yuv422p,tt\n"},
    {"InterlacedBottomFirst", kMoving, "-vf setfield=bff -pix_fmt yuv420p -flags +ildct+ilme -top 0 -x264-params bff=1",
     "in.mkv", "out.mkv", "", "video,yuv420p,bb\n"},
    {"InterlacedMpeg2", kMoving, "-vf setfield=tff -pix_fmt yuv420p -c:v mpeg2video -flags +ildct+ilme -top 1", "in.mpg",
     "out.mpg", "", "video,yuv420p,tt,\n\n"},
    {"TenBitKeepsItsDepth", kMoving, "-pix_fmt yuv420p10le", "in.mkv", "out.mkv", "", "video,yuv420p10le,progressive\n"},
    {"TenBit422", kMoving, "-pix_fmt yuv422p10le", "in.mkv", "out.mov", "", "video,yuv422p10le,progressive\n"},
    {"PixFmtChoosesEightBits", kMoving, "-pix_fmt yuv420p10le", "in.mkv", "out.mkv", "--pix-fmt yuv444p",
     "video,yuv444p,progressive\n"},
    {"AudioComesAlong", kMoving, std::string(kSine) + " -c:a aac -shortest", "in.mp4", "out.mkv", "",
     "video,yuv420p,progressive\naudio\n"},
    {"NoAudio", kMoving, std::string(kSine) + " -c:a aac -shortest", "in.mp4", "out.mp4", "--no-audio",
     "video,yuv420p,progressive\n"},
};

INSTANTIATE_TEST_SUITE_P(Formats, ShapeThroughFfmpeg, testing::ValuesIn(kShapes),
                         [](const testing::TestParamInfo<ShapeCase>& info) { return std::string(info.param.name); });

// The audio is cut to --from/--length and as long as the picture; for a
// transition the two inputs' sound crosses over the run. Y4M says once that
// it has no audio.
TEST(Audio, CutToTheRunAndCrossfadedForTransitions) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(dir / "a.mp4", kMoving, std::string(kSine) + " -c:a aac -shortest");
    makeClip(dir / "b.mp4", kMoving, "-f lavfi -i sine=frequency=880:duration=1 -c:a aac -shortest");
    Outcome r = runFieldfx("render Dye " + quote(dir / "a.mp4") + " -o " + quote(dir / "cut.mp4") +
                               " --from 5 --length 10 --quiet", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countFrames(dir / "cut.mp4"), 10);
    EXPECT_NEAR(audioSeconds(dir / "cut.mp4"), 0.4, 0.05);

    r = runFieldfx("render Rotate " + quote(dir / "a.mp4") + " " + quote(dir / "b.mp4") + " -o " + quote(dir / "mix.mp4") +
                       " --quiet", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NEAR(audioSeconds(dir / "mix.mp4"), 1.0, 0.05);
    // Early on the 440 Hz tone dominates, late the 880 Hz one: count zero
    // crossings of the first and last tenth of a second.
    auto crossings = [&](double start) {
        const std::string samples = run("ffmpeg -nostdin -v error -ss " + std::to_string(start) + " -t 0.1 -i " +
                                        quote(dir / "mix.mp4") + " -ac 1 -f s16le -acodec pcm_s16le -");
        int count = 0;
        for (size_t i = 2; i + 1 < samples.size(); i += 2) {
            const int16_t a = int16_t(uint8_t(samples[i - 2]) | uint8_t(samples[i - 1]) << 8);
            const int16_t b = int16_t(uint8_t(samples[i]) | uint8_t(samples[i + 1]) << 8);
            if ((a < 0) != (b < 0)) ++count;
        }
        return count;
    };
    EXPECT_NEAR(crossings(0.02), 88, 15);   // 440 Hz: 88 crossings in 0.1 s
    EXPECT_NEAR(crossings(0.88), 176, 20);  // 880 Hz

    r = runFieldfx("render Dye " + quote(dir / "a.mp4") + " -o " + quote(dir / "out.y4m") + " --quiet", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("audio is not written"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("audio is not written"), r.err.rfind("audio is not written"));  // said once
}

// ---------------------------------------------------------------------------
// Progressive sources do not comb: ffmpeg's idet finds the frames of a
// progressive clip rendered through each operator progressive; rendered as
// interlaced (--field-order tff) the moving ones comb.

struct IdetCount {
    int progressive = 0, interlaced = 0;
};

IdetCount idet(const std::string& path) {
    const std::string out = run("ffmpeg -nostdin -hide_banner -i " + quote(path) + " -vf idet -f null - 2>&1");
    const size_t at = out.find("Multi frame detection:");
    IdetCount count;
    if (at == std::string::npos) return count;
    int tff = 0, bff = 0, progressive = 0;
    std::sscanf(out.c_str() + at, "Multi frame detection: TFF: %d BFF: %d Progressive: %d", &tff, &bff, &progressive);
    count.progressive = progressive;
    count.interlaced = tff + bff;
    return count;
}

TEST(Progressive, NoOperatorCombsAProgressiveClip) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(dir / "in.y4m", std::string(kMoving) + ",gblur=sigma=3", "-pix_fmt yuv420p");
    for (const char* op : {"Dye", "Blur", "Glow", "Limelight", "Underwater", "Rotate", "Rebound", "Patina"}) {
        const bool transition = std::string(op) == "Rotate" || std::string(op) == "Rebound";
        const std::string inputs = quote(dir / "in.y4m") + (transition ? " " + quote(dir / "in.y4m") : "");
        const Outcome r = runFieldfx(std::string("render ") + op + " " + inputs + " -o " + quote(dir / "out.y4m") + " --quiet", dir);
        ASSERT_EQ(r.status, 0) << op << ": " << r.err;
        const IdetCount count = idet(dir / "out.y4m");
        EXPECT_GE(count.progressive, 22) << op << ": " << count.interlaced << " frames look interlaced";
    }
    // The same clip taken as interlaced combs where Rotate moves it.
    const std::string inputs = quote(dir / "in.y4m") + " " + quote(dir / "in.y4m");
    const Outcome r = runFieldfx("render Rotate " + inputs + " -o " + quote(dir / "comb.y4m") + " --field-order tff --quiet", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(idet(dir / "comb.y4m").interlaced, 20);
}

// ---------------------------------------------------------------------------
// One line per failure; sources that end early are named as such.

TEST(Failures, ShortEmptyAndUnknownEachSayWhatIsWrong) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(dir / "full.mp4", kMoving, "-pix_fmt yuv420p -movflags +faststart");
    writeFile(dir / "cut.mp4", readFile(dir / "full.mp4").substr(0, readFile(dir / "full.mp4").size() * 2 / 3));
    writeFile(dir / "header.y4m", "YUV4MPEG2 W16 H16 F25:1 Ip C420jpeg\n");
    const std::string frame = "FRAME\n" + std::string(16 * 16 * 3 / 2, char(100));
    writeFile(dir / "cut.y4m", "YUV4MPEG2 W16 H16 F25:1 Ip C420jpeg\n" + frame + frame + frame.substr(0, 100));
    struct Case {
        std::string args, message, absent;
        int status;
    };
    const Case cases[] = {
        {quote(dir / "cut.mp4") + " -o " + quote(dir / "out.mkv"), "ends early: frame ", "--from", 1},
        {quote(dir / "cut.mp4") + " -o " + quote(dir / "out.mkv") + " --allow-short", "ends early", "", 0},
        {quote(dir / "header.y4m") + " -o " + quote(dir / "out.y4m"), "header.y4m: holds no frames", "--from", 1},
        {quote(dir / "cut.y4m") + " -o " + quote(dir / "out.y4m"), "cut.y4m: truncated frame 3", "", 1},
        {quote(dir / "cut.y4m") + " -o " + quote(dir / "out.y4m") + " --allow-short", "frame 3 is cut short", "", 0},
        {quote(dir / "full.mp4") + " -o " + quote(dir / "out.xyz"), "suitable output format for '" + dir / "out.xyz",
         ".fieldfx-", 1},
        {quote(dir / "full.mp4") + " -o " + quote(dir / "out.mkv") + " --length 5", "", "Broken pipe", 0},
    };
    for (const Case& c : cases) {
        std::remove((dir / "out.mkv").c_str());
        const Outcome r = runFieldfx("render Dye " + c.args + " --quiet", dir);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        if (c.message.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        }
        if (!c.absent.empty()) {
            EXPECT_EQ(r.err.find(c.absent), std::string::npos) << r.err;
        }
        if (c.status != 0) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
    for (const std::string& name : dir.files()) EXPECT_NE(name.rfind(".fieldfx-", 0), 0u) << name;
}

// A file ffmpeg decodes streams through the render: nothing of it is kept
// on a disk, so it renders with a /tmp far smaller than its frames. A pipe
// of unknown length is copied into $TMPDIR to learn its length; with too
// little room there it is refused with a way out, and --length streams it.
TEST(Streaming, RendersWithATmpSmallerThanTheFrames) {
    REQUIRE_FFMPEG();
    // A mount namespace of its own, where /tmp is a 64 MB tmpfs; the
    // render's files are found through its working directory, which stays.
    const std::string smallTmp = "unshare -rm sh -c 'mount -t tmpfs -o size=64m tmpfs /tmp && ";
    if (std::system((smallTmp + "true' >/dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << "a small /tmp cannot be made here: unshare -rm and mount -t tmpfs need unprivileged user "
                        "namespaces, which this kernel does not allow";
    }
    if (kProgram.rfind("/tmp/", 0) == 0) {
        GTEST_SKIP() << "the build tree lies in /tmp, which the small tmpfs would cover";
    }
    TempDir dir;
    // 20 frames of 1920x1080 4:2:2: 83 MB decoded, a few hundred KB coded.
    makeClip(dir / "in.mp4", "testsrc2=size=1920x1080:rate=25,format=yuv422p",
             "-frames:v 20 -c:v libx264 -preset ultrafast -flags +ildct+ilme -x264opts tff=1");
    const std::string render = kProgram + " render " + kTestOps + "/libPassthrough.so ";
    const auto inSmallTmp = [&](const std::string& command) {
        const std::string line = "cd " + quote(dir.path()) + " && env -u TMPDIR " + smallTmp + command + "' 2>" +
                                 quote(dir / "err.txt");
        const int raw = std::system(line.c_str());
        return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : 128, readFile(dir / "err.txt")};
    };
    const auto frames = [&](const std::string& name) {
        return parseY4m(readFile(dir / name), size_t(1920) * 1080 * 2).frames.size();
    };
    Outcome r = inSmallTmp(render + "in.mp4 --quiet -o out.y4m");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(frames("out.y4m"), 20u);
    const std::string pipe = "ffmpeg -v error -i in.mp4 -f yuv4mpegpipe -pix_fmt yuv422p - | ";
    r = inSmallTmp(pipe + render + "- --quiet -o piped.y4m");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fieldfx: stdin: its length is unknown and /tmp has no room"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--length N renders a pipe as it comes"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "piped.y4m"));
    r = inSmallTmp(pipe + render + "- --length 20 --quiet -o piped.y4m");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(frames("piped.y4m"), 20u);
    EXPECT_TRUE(readFile(dir / "piped.y4m") == readFile(dir / "out.y4m"));
}

// An output whose ffmpeg has failed keeps failing with the same reason and
// leaves its closed pipe alone: a render's writer may still hand it the
// frame it had queued.
TEST(Failures, AFailedEncoderRefusesEveryLaterFrame) {
    REQUIRE_FFMPEG();
    signal(SIGPIPE, SIG_IGN);  // as fieldfx runs
    TempDir dir;
    fieldfx::VideoFormat format;
    format.width = 16;
    format.height = 16;
    auto sink = fieldfx::openSink(dir / "out.xyz", format, fieldfx::SinkOptions{});
    const std::vector<uint8_t> frame(fieldfx::frameBytes(format), 100);
    std::string first;
    for (int i = 0; i < 100000 && first.empty(); ++i) {
        try {
            sink->write(frame.data(), frame.size());
        } catch (const fieldfx::UserError& e) {
            first = e.what();
        }
    }
    ASSERT_NE(first.find("ffmpeg could not write it"), std::string::npos) << first;
    for (int i = 0; i < 3; ++i) {
        try {
            sink->write(frame.data(), frame.size());
            ADD_FAILURE() << "a frame after the failure was taken";
        } catch (const fieldfx::UserError& e) {
            EXPECT_EQ(e.what(), first);
        }
    }
    EXPECT_THROW(sink->commit(), fieldfx::UserError);
}

// ---------------------------------------------------------------------------
// An output that is an input, however it is spelled, is refused before
// anything is written.

TEST(Inputs, AreNeverOverwritten) {
    TempDir dir;
    const std::string clip = "YUV4MPEG2 W16 H16 F25:1 It C444alpha\n" + std::string("FRAME\n") + std::string(1024, 'x');
    writeFile(dir / "in.y4m", clip);
    ASSERT_EQ(symlink((dir / "in.y4m").c_str(), (dir / "soft.y4m").c_str()), 0);
    ASSERT_EQ(link((dir / "in.y4m").c_str(), (dir / "hard.y4m").c_str()), 0);
    ASSERT_EQ(std::system(("cp " + quote(dir / "in.y4m") + " " + quote(dir / "b0001.y4m")).c_str()), 0);
    const std::string in = quote(dir / "in.y4m");
    const std::vector<std::string> cases = {
        "render Dye " + in + " -o " + in,
        "render Dye " + in + " -o " + quote(dir.path() + "/./in.y4m"),
        "render Dye " + in + " -o " + quote(dir / "soft.y4m"),
        "render Dye " + in + " -o " + quote(dir / "hard.y4m"),
        "render Rotate " + quote(dir / "b0001.y4m") + " " + in + " -o " + quote(dir / "in.y4m"),
        "render Dye " + in + " -o - >>" + in,
    };
    for (const std::string& args : cases) {
        const Outcome r = runFieldfx(args, dir);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_NE(r.err.find("would destroy the source"), std::string::npos) << r.err;
        EXPECT_TRUE(readFile(dir / "in.y4m") == clip) << args;
    }
    // A PNG sequence whose second name is the input still.
    const Outcome png = runFieldfx("render Dye " + in + " -o " + quote(dir / "still.png") + " --quiet", dir);
    ASSERT_EQ(png.status, 0) << png.err;
    ASSERT_EQ(std::rename((dir / "still.png").c_str(), (dir / "s1.png").c_str()), 0);
    const std::string still = readFile(dir / "s1.png");
    const Outcome r = runFieldfx("render Dye " + quote(dir / "s1.png") + " --duration 0.2 -o " + quote(dir / "s%d.png"), dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("s1.png: is the input"), std::string::npos) << r.err;
    EXPECT_TRUE(readFile(dir / "s1.png") == still);
}

// ---------------------------------------------------------------------------
// --version, and info: one entry of a choice a line, the colour bytes
// named, the region's meaning per operator.

TEST(Info, VersionEntriesColoursAndRegion) {
    EXPECT_EQ(run(quote(kProgram) + " --version").rfind("fieldfx ", 0), 0u);
    struct Case {
        const char* op;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"Blur", {"region (--region): ignores it", "      0  Fade in\n      1  Fade out\n", "    initial: 0 (Fade in)\n"}},
        {"Dye", {"    initial: #00FFFF (key 255, Cr 16, Cb 166, Y' 170)\n", "Cr (red difference)"}},
        {"Limelight", {"region (--region): places the spot centre from its top-left corner"}},
        {"Underwater", {"region (--region): confines its work to it"}},
    };
    for (const Case& c : cases) {
        const std::string info = run(quote(kProgram) + " info " + c.op);
        for (const std::string& line : c.lines) EXPECT_NE(info.find(line), std::string::npos) << c.op << ": " << line << "\n" << info;
    }
}

// ---------------------------------------------------------------------------
// A file neither fieldfx nor ffmpeg can read is refused with ffmpeg's
// reason, not a crash.

TEST(Unreadable, FilesFfmpegCannotReadAreRefused) {
    REQUIRE_FFMPEG();
    TempDir dir;
    writeFile(dir / "words.txt", "not a picture\n");
    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeFile(dir / "noise.bin", noise);
    writeFile(dir / "empty.mov", "");
    for (const char* name : {"words.txt", "noise.bin", "empty.mov"}) {
        const Outcome r = runFieldfx("render Blur " + quote(dir / name) + " -o " + quote(dir / "out.y4m"), dir);
        EXPECT_EQ(r.status, 1) << name << ": " << r.err;
        EXPECT_EQ(r.err.rfind("fieldfx: " + (dir / name) + ": ", 0), 0u) << r.err;
        EXPECT_FALSE(exists(dir / "out.y4m")) << name;
    }
}

// ---------------------------------------------------------------------------
// cmake --install puts the program, the host libraries and the operators
// under a prefix, and the installed program finds its operators there.

TEST(Install, TheInstalledProgramFindsItsOperators) {
    TempDir dir;
    const std::string build = std::string(FIELDFX_BIN_DIR) + "/..";
    ASSERT_EQ(std::system(("cmake --install " + quote(build) + " --prefix " + quote(dir / "prefix") + " >/dev/null").c_str()), 0);
    EXPECT_TRUE(exists(dir / "prefix/lib/libhostcore.so"));
    EXPECT_TRUE(exists(dir / "prefix/lib/fieldfx/libDye.so"));
    const std::string listed = run("cd / && env -u FIELDFX_OPS " + quote(dir / "prefix/bin/fieldfx") + " list 2>&1");
    EXPECT_NE(listed.find("Dye"), std::string::npos) << listed;
    const std::string info = run("env -u FIELDFX_OPS " + quote(dir / "prefix/bin/fieldfx") + " info Dye 2>&1");
    EXPECT_NE(info.find(dir / "prefix/bin/../lib/fieldfx/libDye.so"), std::string::npos) << info;
}

// ---------------------------------------------------------------------------
// SIGINT to the whole process group (as a terminal's Ctrl-C), SIGTERM and
// SIGHUP: the run stops, the output is valid and holds the frames the
// summary names, no temporary file is left, the status is 128 + signal. A
// stopped chunk leaves no file at all.

struct StopCase {
    const char* name;
    int signal;
    bool group;  // to the process group, as a terminal sends it
    std::string output, options;
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class Stop : public testing::TestWithParam<StopCase> {};

TEST_P(Stop, FinishesTheOutputAndLeavesNothingElse) {
    const StopCase& c = GetParam();
    const bool ffmpegOut = c.output.find(".y4m") == std::string::npos && c.output.find(".png") == std::string::npos;
    if (ffmpegOut && !haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const std::string header = "YUV4MPEG2 W64 H32 F25:1 It A1:1 C420jpeg\n";
    const std::string frame = "FRAME\n" + std::string(64 * 32 * 3 / 2, char(128));
    int toChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    const std::string errFile = dir / "stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // its own group, like a job the shell started
        dup2(toChild[0], 0);
        close(toChild[0]);
        close(toChild[1]);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        const std::string command = "exec " + quote(kProgram) + " render Dye - -o " + quote(dir / c.output) +
                                    " --length 50 " + c.options;
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    close(toChild[0]);
    std::string data = header;
    for (int f = 0; f < 4; ++f) data += frame;
    ASSERT_EQ(write(toChild[1], data.data(), data.size()), ssize_t(data.size()));
    // Let it render what it has and wait for more.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    if (c.group) kill(-pid, c.signal);
    else kill(pid, c.signal);
    int status = 0;
    waitpid(pid, &status, 0);
    close(toChild[1]);
    const std::string err = readFile(errFile);
    std::remove(errFile.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal) << err;
    if (c.options.find("--chunk") != std::string::npos) {
        // A chunk is kept only whole: a stopped one leaves nothing, not
        // even its note, so that join cannot take it for the whole chunk.
        EXPECT_NE(err.find("a chunk is kept only when it is complete, so nothing was written to "), std::string::npos) << err;
        for (const std::string& name : dir.files()) ADD_FAILURE() << name << " left behind";
        return;
    }
    const size_t wrote = err.find("wrote ");
    ASSERT_NE(wrote, std::string::npos) << err;
    const int frames = std::atoi(err.c_str() + wrote + 6);
    EXPECT_GE(frames, 1);
    EXPECT_LE(frames, 4);
    if (c.output.find('%') != std::string::npos) {
        EXPECT_EQ(int(dir.files().size()), frames);
    } else if (ffmpegOut) {
        EXPECT_EQ(countFrames(dir / c.output), frames);
    } else {
        EXPECT_EQ(readFile(dir / c.output).size(), header.size() + size_t(frames) * frame.size());
    }
    for (const std::string& name : dir.files()) EXPECT_NE(name.rfind(".fieldfx-", 0), 0u) << name;
}

const StopCase kStops[] = {
    {"CtrlCToTheGroupMp4", SIGINT, true, "out.mp4", "-j 1"},
    {"CtrlCToTheGroupMkvWorkers", SIGINT, true, "out.mkv", "-j 2"},
    {"TermMp4", SIGTERM, false, "out.mp4", "-j 2"},
    {"HangupToTheGroupMov", SIGHUP, true, "out.mov", "-j 1"},
    {"TermY4m", SIGTERM, false, "out.y4m", "-j 2"},
    {"CtrlCPngSequence", SIGINT, true, "out%03d.png", "-j 1"},
    {"TermY4mChunk", SIGTERM, false, "out.y4m", "-j 2 --chunk 1/2"},
    {"TermMkvChunk", SIGTERM, false, "out.mkv", "-j 1 --chunk 1/2"},
    {"CtrlCPngSequenceChunk", SIGINT, true, "out%03d.png", "-j 1 --chunk 1/2"},
};

INSTANTIATE_TEST_SUITE_P(Signals, Stop, testing::ValuesIn(kStops),
                         [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

}  // namespace
