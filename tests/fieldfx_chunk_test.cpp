// fieldfx render --chunk K/N and fieldfx join: every chunk of a run, put
// together, is the whole run's output byte for byte; join refuses chunks
// that do not fit together.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "FfmpegFixture.h"
#include "LoadedOperator.h"

using namespace fxtest;

namespace {

struct ChunkCase {
    const char* name;
    const char* op;         // a built operator's name, or a test operator's library
    bool transition;
    const char* settings;
    const char* jobs;       // -j for the chunks
};

// Keyframed settings, so that a chunk that got its positions or the run's
// length wrong shows it; Tally keeps state over the run and replays it.
const ChunkCase kChunkCases[] = {
    {"Blur", "Blur", false, "--set blurSize=1@0,25@19 --set fadeMode=3 --set fadePercent=40", "1"},
    {"BlurWorkers", "Blur", false, "--set blurSize=1@0,25@19 --set fadeMode=3 --set fadePercent=40", "3"},
    {"Limelight", "Limelight", false, "--set spotCenter=0,0@0,47,7@19 --set spotSize=10@1,90@18", "2"},
    {"Rotate", "Rotate", true, "--set turns=-3@0,9@19 --set trailCount=4", "1"},
    {"Tally", "Tally", false, "", "1"},
    {"TallyWorkers", "Tally", false, "", "3"},
    {"Passthrough", "Passthrough", false, "--set param2=1", "2"},
};

std::string operatorArg(const char* op) {
    const std::string name = op;
    if (name == "Tally" || name == "Passthrough" || name == "Hoard") return kTestOps + "/lib" + name + ".so";
    return name;
}

bool available(const char* op) {
    const std::string name = op;
    return name == "Tally" || name == "Passthrough" || name == "Hoard" || isBuiltOperator(name);
}

// "prefix<k>suffix", built by appending (GCC 12 warns wrongly about the
// same made with operator+ on temporaries).
std::string numbered(const char* prefix, int k, const char* suffix) {
    std::string name = prefix;
    name.append(std::to_string(k));
    name.append(suffix);
    return name;
}

// Texts put together by appending, as numbered() does.
std::string joined(std::initializer_list<std::string> parts) {
    std::string text;
    for (const std::string& part : parts) text.append(part);
    return text;
}

void PrintTo(const ChunkCase& c, std::ostream* out) { *out << c.name; }

class Chunks : public testing::TestWithParam<ChunkCase> {};

TEST_P(Chunks, EveryChunkingConcatenatesToTheWholeRun) {
    const ChunkCase& c = GetParam();
    if (!available(c.op)) GTEST_SKIP() << c.op << " is not part of this build";
    TempDir dir;
    for (const char* interlace : {"t", "p"}) {
        for (int i = 0; i < 2; ++i) {
            Clip clip;
            clip.frames = 12;
            clip.interlace = interlace;
            clip.seed = 31 + i;
            writeFile(dir / ("in" + std::to_string(i) + ".y4m"), clip.bytes());
        }
        const std::string inputs = quote(dir / "in0.y4m") + (c.transition ? " " + quote(dir / "in1.y4m") : "");
        // Frames 1..10 of the clip: the run starts past the input's start.
        const std::string render = "render " + operatorArg(c.op) + " " + inputs + " --from 1 --length 10 " +
                                   c.settings + " --quiet";
        ASSERT_EQ(runFieldfx(render + " -j 1 -o " + quote(dir / "whole.y4m"), dir).status, 0);
        const std::string whole = readFile(dir / "whole.y4m");
        ASSERT_EQ(parseY4m(whole, Clip().frameSize()).frames.size(), 10u);
        for (int n : {1, 2, 3, 4, 10}) {
            std::string joined;
            std::string chunkList;
            for (int k = 1; k <= n; ++k) {
                const std::string out = dir / (numbered("chunk-", k, "-of-") + numbered("", n, ".y4m"));
                const Outcome run = runFieldfx(render + " -j " + c.jobs + " --chunk " + std::to_string(k) + "/" +
                                                   std::to_string(n) + " -o " + quote(out), dir);
                ASSERT_EQ(run.status, 0) << k << "/" << n << " " << interlace << ": " << run.err;
                const std::string bytes = readFile(out);
                EXPECT_EQ(bytes.rfind("YUV4MPEG2", 0) == 0, k == 1) << "only the first chunk holds the header";
                joined += bytes;
                chunkList.append(" ").append(quote(out));
            }
            EXPECT_TRUE(joined == whole) << n << " chunks, interlace " << interlace << " differ from the whole run";
            const Outcome join = runFieldfx("join " + quote(dir / "joined.y4m") + chunkList, dir);
            ASSERT_EQ(join.status, 0) << join.err;
            EXPECT_TRUE(readFile(dir / "joined.y4m") == whole) << "join of " << n << " chunks";
        }
    }
}

TEST_P(Chunks, PngSequenceChunksAreNumberedByTheWholeRun) {
    const ChunkCase& c = GetParam();
    if (!available(c.op)) GTEST_SKIP() << c.op << " is not part of this build";
    TempDir dir;
    for (int i = 0; i < 2; ++i) {
        Clip clip;
        clip.frames = 7;
        clip.seed = 5 + i;
        writeFile(dir / ("in" + std::to_string(i) + ".y4m"), clip.bytes());
    }
    const std::string inputs = quote(dir / "in0.y4m") + (c.transition ? " " + quote(dir / "in1.y4m") : "");
    const std::string render = "render " + operatorArg(c.op) + " " + inputs + " " + c.settings + " --quiet";
    ASSERT_EQ(runFieldfx(render + " -j 1 -o " + quote(dir / "whole%03d.png"), dir).status, 0);
    std::string patterns;
    for (int k = 1; k <= 3; ++k) {
        const std::string pattern = dir / ("c" + std::to_string(k) + "-%03d.png");
        const Outcome run = runFieldfx(render + " -j " + c.jobs + " --chunk " + std::to_string(k) + "/3 -o " + quote(pattern), dir);
        ASSERT_EQ(run.status, 0) << run.err;
        patterns += " " + quote(pattern);
    }
    // Chunks 1..3 of 7 frames: 0-1, 2-3, 4-6.
    for (const char* name : {"c1-000.png", "c1-001.png", "c2-002.png", "c2-003.png", "c3-004.png", "c3-006.png"}) {
        EXPECT_TRUE(exists(dir / name)) << name;
    }
    EXPECT_FALSE(exists(dir / "c2-000.png"));
    const Outcome join = runFieldfx("join " + quote(dir / "out%03d.png") + patterns, dir);
    ASSERT_EQ(join.status, 0) << join.err;
    for (int f = 0; f < 7; ++f) {
        char whole[32], out[32];
        std::snprintf(whole, sizeof whole, "whole%03d.png", f);
        std::snprintf(out, sizeof out, "out%03d.png", f);
        EXPECT_TRUE(readFile(dir / whole) == readFile(dir / out)) << "frame " << f;
    }
    EXPECT_FALSE(exists(dir / "out007.png"));
}

INSTANTIATE_TEST_SUITE_P(Operators, Chunks, testing::ValuesIn(kChunkCases),
                         [](const testing::TestParamInfo<ChunkCase>& info) { return std::string(info.param.name); });

// Patina renders chunks exactly when its library brings its state to any
// field (OperatorReplay), and its settings hold over the run; otherwise
// --chunk is refused with the reason.
TEST(Chunks, PatinaChunksThroughItsReplay) {
    if (!isBuiltOperator("Patina")) GTEST_SKIP() << "Patina is not part of this build";
    void* library = dlopen((std::string(FIELDFX_LIB_DIR) + "/libPatina.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr);
    const bool replays = dlsym(library, "OperatorReplay") != nullptr;
    TempDir dir;
    for (const char* interlace : {"t", "b", "p"}) {
        Clip clip;
        clip.frames = 13;
        clip.interlace = interlace;
        writeFile(dir / "in.y4m", clip.bytes());
        for (const char* settings : {"--set filmAge=0 --set tintAmount=30", "--set filmAge=2 --set filmCondition=1"}) {
            const std::string render = "render Patina " + quote(dir / "in.y4m") + " " + settings + " --quiet";
            ASSERT_EQ(runFieldfx(render + " -j 1 -o " + quote(dir / "whole.y4m"), dir).status, 0);
            for (int n : {2, 5, 13}) {
                std::string joined;
                for (int k = 1; k <= n; ++k) {
                    const std::string out = dir / numbered("c", k, ".y4m");
                    const Outcome run = runFieldfx(render + " -j 2 --chunk " + std::to_string(k) + "/" +
                                                       std::to_string(n) + " -o " + quote(out), dir);
                    if (!replays) {
                        EXPECT_EQ(run.status, 1);
                        EXPECT_NE(run.err.find("fieldfx: Patina: cannot render --chunk"), std::string::npos) << run.err;
                        continue;
                    }
                    ASSERT_EQ(run.status, 0) << run.err;
                    joined += readFile(out);
                }
                if (replays) {
                    EXPECT_TRUE(joined == readFile(dir / "whole.y4m")) << n << " chunks, " << interlace << ", " << settings;
                }
            }
        }
    }
    // Keyframed settings change what the replay passes over: refused.
    const Outcome run = runFieldfx("render Patina " + quote(dir / "in.y4m") + " --set tintAmount=0@0,40@17 --chunk 2/3 -o " +
                                       quote(dir / "k.y4m"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("fieldfx: Patina: cannot render --chunk 2/3: it "), std::string::npos) << run.err;
    EXPECT_FALSE(exists(dir / "k.y4m"));
}

// Long chunks of a run that replays, in workers: each worker's stretches,
// the first of them at the chunk's start, begin with a replay and a lead-in
// from the frames before them.
TEST(Chunks, ReplayingChunksInWorkersEqualTheWholeRun) {
    TempDir dir;
    Clip clip;
    clip.frames = 150;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string render = "render " + kTestOps + "/libTally.so " + quote(dir / "in.y4m") + " --quiet";
    ASSERT_EQ(runFieldfx(render + " -j 1 -o " + quote(dir / "whole.y4m"), dir).status, 0);
    for (int n : {2, 3}) {
        std::string joined;
        for (int k = 1; k <= n; ++k) {
            const std::string out = dir / numbered("c", k, ".y4m");
            const Outcome run = runFieldfx(render + " -j 3 --chunk " + numbered("", k, "/") + numbered("", n, " -o ") + quote(out), dir);
            ASSERT_EQ(run.status, 0) << run.err;
            joined += readFile(out);
        }
        EXPECT_TRUE(joined == readFile(dir / "whole.y4m")) << n << " chunks";
    }
}

TEST(Chunks, RefusalsNameTheProblem) {
    TempDir dir;
    Clip clip;
    clip.frames = 4;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string in = quote(dir / "in.y4m"), out = " -o " + quote(dir / "out.y4m");
    const struct {
        std::string args;
        const char* message;
    } cases[] = {
        {"render Dye " + in + out + " --chunk 0/3", "fieldfx: --chunk: '0/3' must have 1 <= K <= N <= 100000"},
        {"render Dye " + in + out + " --chunk 4/3", "fieldfx: --chunk: '4/3' must have 1 <= K <= N <= 100000"},
        {"render Dye " + in + out + " --chunk 2", "fieldfx: --chunk: '2' is not a chunk K/N (for example 2/8)"},
        {"render Dye " + in + out + " --chunk a/b", "fieldfx: --chunk: 'a/b' is not a chunk K/N"},
        {"render Dye " + in + out + " --chunk 1/5", "fieldfx: --chunk: 5 chunks of a run of 4 frames would leave some empty; use at most 4"},
        {"render " + kTestOps + "/libHoard.so " + in + out + " --chunk 2/2",
         "fieldfx: Hoard: cannot render --chunk 2/2: it is not an operator this program knows, and its library exports no OperatorReplay"},
        {"render " + kTestOps + "/libHoard.so " + in + out + " --chunk 1/2", "fieldfx: Hoard: cannot render --chunk 1/2"},
        {"render Dye " + in + " -o " + quote(dir / "one.png") + " --chunk 1/2",
         "a single PNG holds one frame and the run has 2"},
    };
    for (const auto& c : cases) {
        if (c.args.find("Dye") != std::string::npos && !isBuiltOperator("Dye")) continue;
        const Outcome run = runFieldfx(c.args, dir);
        EXPECT_EQ(run.status, 1) << c.args;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
        EXPECT_FALSE(exists(dir / "out.y4m"));
    }
}

// ---------------------------------------------------------------------------
// join refuses chunks that do not fit together, and leaves no output.

TEST(Join, RefusesChunksThatDoNotFit) {
    TempDir dir;
    Clip clip;
    clip.frames = 6;
    writeFile(dir / "in.y4m", clip.bytes());
    Clip small = clip;
    small.width = 24;
    writeFile(dir / "small.y4m", small.bytes());
    Clip slow = clip;
    slow.rate = "50:1";
    writeFile(dir / "slow.y4m", slow.bytes());
    const std::string render = "render " + kTestOps + "/libPassthrough.so " + quote(dir / "in.y4m") + " --quiet";
    for (int k = 1; k <= 3; ++k) {
        const std::string name = "part.chunk-" + std::to_string(k) + "-of-3.y4m";
        ASSERT_EQ(runFieldfx(render + " --chunk " + std::to_string(k) + "/3 -o " + quote(dir / name), dir).status, 0);
        ASSERT_EQ(runFieldfx(render + " --chunk " + std::to_string(k) + "/3 -o " + quote(dir / ("p" + std::to_string(k) + "-%02d.png")), dir).status, 0);
    }
    writeFile(dir / "plain2.y4m", readFile(dir / "part.chunk-2-of-3.y4m"));
    writeFile(dir / "cut.y4m", readFile(dir / "part.chunk-3-of-3.y4m").substr(0, 100));
    writeFile(dir / "empty.y4m", "");
    // PNGs of another size, numbered to follow chunk 1.
    ASSERT_EQ(runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / "small.y4m") +
                             " --quiet --chunk 2/3 -o " + quote(dir / "q2-%02d.png"), dir).status, 0);
    const auto chunk = [&](int k) { return quote(dir / ("part.chunk-" + std::to_string(k) + "-of-3.y4m")); };
    const struct {
        std::string chunks;
        const char* message;
    } cases[] = {
        {chunk(1) + " " + chunk(3) + " " + chunk(2), "part.chunk-3-of-3.y4m: is chunk 3 of 3 but comes as chunk 2 of 3"},
        {chunk(1) + " " + chunk(2), "part.chunk-1-of-3.y4m: is chunk 1 of 3 but comes as chunk 1 of 2"},
        {quote(dir / "plain2.y4m") + " " + chunk(1), "plain2.y4m: holds no stream header, so it is not the first chunk"},
        {quote(dir / "empty.y4m") + " " + chunk(2), "empty.y4m: is empty, and the first chunk holds the stream header"},
        {quote(dir / "in.y4m") + " " + quote(dir / "small.y4m"), "small.y4m: 24x16 444alpha at 25/1 frames/s, top field first does not fit 48x16"},
        {quote(dir / "in.y4m") + " " + quote(dir / "slow.y4m"), "slow.y4m: 48x16 444alpha at 50/1 frames/s"},
        {quote(dir / "small.y4m") + " " + quote(dir / "plain2.y4m"), "plain2.y4m: "},
        {quote(dir / "in.y4m") + " " + quote(dir / "cut.y4m"), "cut.y4m: truncated frame"},
        {"", "fieldfx: join: usage: fieldfx join OUTPUT CHUNK..."},
    };
    for (const auto& c : cases) {
        const Outcome run = runFieldfx("join " + quote(dir / "out.y4m") + " " + c.chunks, dir);
        EXPECT_EQ(run.status, 1) << c.chunks;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.chunks << "\n" << run.err;
        EXPECT_FALSE(exists(dir / "out.y4m")) << c.chunks;
    }
    const struct {
        std::string chunks;
        const char* message;
    } pngCases[] = {
        {quote(dir / "p1-%02d.png") + " " + quote(dir / "p3-%02d.png"), "p3-%02d.png: starts at frame 4 but the chunk before it ends at frame 1"},
        {quote(dir / "p2-%02d.png") + " " + quote(dir / "p1-%02d.png"), "p1-%02d.png: starts at frame 0 but the chunk before it ends at frame 3"},
        {quote(dir / "p1-%02d.png") + " " + quote(dir / "q2-%02d.png"), "q2-02.png: is 24x16 with alpha, the chunks before it 48x16 with alpha"},
        {quote(dir / "p1-%02d.png") + " " + quote(dir / "none-%02d.png"), "none-%02d.png: no numbered PNG files match it"},
    };
    for (const auto& c : pngCases) {
        const Outcome run = runFieldfx("join " + quote(dir / "out%02d.png") + " " + c.chunks, dir);
        EXPECT_EQ(run.status, 1) << c.chunks;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.chunks << "\n" << run.err;
        EXPECT_FALSE(exists(dir / "out00.png")) << c.chunks;
    }
    // A later chunk may be a whole stream of the same format: its header is left out.
    const Outcome run = runFieldfx("join " + quote(dir / "out.y4m") + " " + quote(dir / "in.y4m") + " " + quote(dir / "in.y4m"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(readFile(dir / "out.y4m") == clip.bytes() + clip.bytes().substr(clip.header().size()));
}

// Chunks carry a note of their run and frames: join takes chunks of one
// run that hold its frames once each, in order, whatever their names or
// how the run was split, and refuses every other set with the reason.
TEST(Join, NotesTellWhetherChunksFitWhateverTheirNames) {
    TempDir dir;
    Clip clip;
    clip.frames = 12;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string render = "render " + kTestOps + "/libPassthrough.so " + quote(dir / "in.y4m") + " --quiet";
    ASSERT_EQ(runFieldfx(render + " -o " + quote(dir / "whole.y4m"), dir).status, 0);
    ASSERT_EQ(runFieldfx(render + " -o " + quote(dir / "whole%02d.png"), dir).status, 0);
    const auto chunk = [&](const std::string& options, const std::string& out) {
        const Outcome run = runFieldfx(render + " " + options + " -o " + quote(dir / out), dir);
        ASSERT_EQ(run.status, 0) << options << ": " << run.err;
    };
    // a1..a4: the run in four (a3 with workers); r1: the first of three;
    // h1: the first half; f3: chunk 3/4 of another run (another setting).
    for (const char* ext : {".y4m", "-%02d.png"}) {
        for (int k = 1; k <= 4; ++k) chunk("--chunk " + numbered("", k, "/4") + (k == 3 ? " -j 3" : " -j 1"), numbered("a", k, ext));
        chunk("--chunk 1/3", std::string("r1") + ext);
        chunk("--chunk 1/2", std::string("h1") + ext);
        chunk("--chunk 3/4 --set param2=1", std::string("f3") + ext);
    }
    // s3: a3 cut short (two of its three frames) with its note; plain: a2
    // without a note; bad: a2 with a note file that is none.
    const std::string a3 = readFile(dir / "a3.y4m");
    writeFile(dir / "s3.y4m", a3.substr(0, 2 * (a3.size() / 3)));
    writeFile(dir / "s3.y4m.chunk", readFile(dir / "a3.y4m.chunk"));
    writeFile(dir / "plain.y4m", readFile(dir / "a2.y4m"));
    writeFile(dir / "bad.y4m", readFile(dir / "a2.y4m"));
    writeFile(dir / "bad.y4m.chunk", "fieldfx chunk 2/4: frames 3 to 5 of 12");
    for (int f : {6, 8}) writeFile(dir / numbered("s3-0", f, ".png"), readFile(dir / numbered("a3-0", f, ".png")));
    writeFile(dir / "s3-%02d.png.chunk", readFile(dir / "a3-%02d.png.chunk"));
    for (int f : {3, 4, 5}) writeFile(dir / numbered("plain-0", f, ".png"), readFile(dir / numbered("a2-0", f, ".png")));

    const auto list = [&](std::initializer_list<const char*> names, const char* ext) {
        std::string chunks;
        for (const char* name : names) chunks.append(" ").append(quote(dir / joined({name, ext})));
        return chunks;
    };
    // Joined, in any splitting of the run: the whole run's output.
    for (const auto& names : {std::initializer_list<const char*>{"a1", "a2", "a3", "a4"}, {"h1", "a3", "a4"}}) {
        Outcome run = runFieldfx("join " + quote(dir / "out.y4m") + list(names, ".y4m"), dir);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(readFile(dir / "out.y4m") == readFile(dir / "whole.y4m"));
        run = runFieldfx("join " + quote(dir / "out%02d.png") + list(names, "-%02d.png"), dir);
        ASSERT_EQ(run.status, 0) << run.err;
        for (int f = 0; f < 12; ++f) {
            const std::string number = joined({f < 10 ? "0" : "", std::to_string(f), ".png"});
            EXPECT_TRUE(readFile(dir / joined({"out", number})) == readFile(dir / joined({"whole", number}))) << "frame " << f;
        }
    }
    const struct {
        std::initializer_list<const char*> names;
        const char* ext;
        const char* message;
    } cases[] = {
        {{"a1", "a2", "a4"}, ".y4m", "a4.y4m: holds frames 9 to 11 of the run, but frame 6 comes next (frames 6 to 8 are missing"},
        {{"a1", "a2", "a3"}, ".y4m", "a3.y4m: ends at frame 8 of a run of 12 frames (a chunk after it is missing)"},
        {{"a1", "a2", "a2", "a3", "a4"}, ".y4m", "a2.y4m: holds frames 3 to 5 of the run, but the chunks before it hold frames up to 5"},
        {{"a1", "a3", "a2", "a4"}, ".y4m", "a3.y4m: holds frames 6 to 8 of the run, but frame 3 comes next"},
        {{"r1", "a2", "a3", "a4"}, ".y4m", "a2.y4m: holds frames 3 to 5 of the run, but the chunks before it hold frames up to 3"},
        {{"a2", "a3", "a4"}, ".y4m", "a2.y4m: holds no stream header, so it is not the first chunk"},
        {{"a1", "a2", "f3", "a4"}, ".y4m", "f3.y4m: is a chunk of another run than "},
        {{"a1", "a2", "s3", "a4"}, ".y4m", "s3.y4m: holds 2 frames, but its note names 3 (frames 6 to 8 of the run): it is cut short"},
        {{"a1", "plain", "a3", "a4"}, ".y4m", "plain.y4m: has no chunk note (no "},
        {{"a1", "bad", "a3", "a4"}, ".y4m", "bad.y4m.chunk: is not a chunk note of fieldfx render --chunk"},
        {{"a1", "a2", "a4"}, "-%02d.png", "a4-%02d.png: starts at frame 9 but the chunk before it ends at frame 5"},
        {{"a2", "a3", "a4"}, "-%02d.png", "a2-%02d.png: holds frames 3 to 5 of the run, but frame 0 comes next (frames 0 to 2 are missing"},
        {{"a1", "a2", "a3"}, "-%02d.png", "a3-%02d.png: ends at frame 8 of a run of 12 frames (a chunk after it is missing)"},
        {{"r1", "a2", "a3", "a4"}, "-%02d.png", "a2-%02d.png: starts at frame 3 but the chunk before it ends at frame 3"},
        {{"a1", "a2", "f3", "a4"}, "-%02d.png", "f3-%02d.png: is a chunk of another run than "},
        {{"a1", "a2", "s3", "a4"}, "-%02d.png", "s3-%02d.png: holds 2 frames, but its note names 3 (frames 6 to 8 of the run): it is cut short"},
        {{"a1", "plain", "a3", "a4"}, "-%02d.png", "plain-%02d.png: has no chunk note (no "},
    };
    for (const auto& c : cases) {
        const bool png = std::string(c.ext) != ".y4m";
        const std::string out = png ? "none%02d.png" : "none.y4m";
        const Outcome run = runFieldfx("join " + quote(dir / out) + list(c.names, c.ext), dir);
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.message << "\n" << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(exists(dir / (png ? "none00.png" : "none.y4m"))) << c.message;
    }
    for (const std::string& name : dir.files()) EXPECT_NE(name.rfind(".fieldfx-", 0), 0u) << name;
}

TEST(Join, EncodedChunksThroughFfmpeg) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    TempDir dir;
    Clip clip;
    clip.frames = 9;
    clip.chroma = "420jpeg";
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string render = "render " + kTestOps + "/libPassthrough.so " + quote(dir / "in.y4m") + " --quiet";
    for (int k = 1; k <= 3; ++k) {
        const Outcome run = runFieldfx(render + " --chunk " + numbered("", k, "/3 -o ") + quote(dir / numbered("e", k, ".mkv")), dir);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    const auto e = [&](int k) { return quote(dir / numbered("e", k, ".mkv")); };
    const Outcome run = runFieldfx("join " + quote(dir / "out.mkv") + " " + e(1) + " " + e(2) + " " + e(3), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    // Decoded back, the joined file holds the nine frames.
    ASSERT_EQ(std::system(("ffmpeg -v error -i " + quote(dir / "out.mkv") + " -f yuv4mpegpipe " + quote(dir / "back.y4m")).c_str()), 0);
    EXPECT_EQ(parseY4m(readFile(dir / "back.y4m"), clip.frameSize()).frames.size(), 9u);
    const struct {
        std::string chunks;
        const char* message;
    } cases[] = {
        {e(1) + " " + e(3) + " " + e(2), "e3.mkv: holds frames 6 to 8 of the run, but frame 3 comes next"},
        {e(1) + " " + e(2), "e2.mkv: ends at frame 5 of a run of 9 frames (a chunk after it is missing)"},
        {e(1) + " " + quote(dir / "in.y4m"), "in.y4m: does not fit"},
        {e(2) + " " + e(3), "e2.mkv: holds frames 3 to 5 of the run, but frame 0 comes next (frames 0 to 2 are missing"},
        {e(1) + " " + quote(dir / "f2.mkv") + " " + e(3), "f2.mkv: is a chunk of another run than "},
        {e(1) + " " + quote(dir / "short2.mkv") + " " + e(3), "short2.mkv: holds 2 frames, but its note names 3 (frames 3 to 5 of the run): it is cut short"},
        {e(1) + " " + quote(dir / "plain2.mkv") + " " + e(3), "plain2.mkv: has no chunk note (no fieldfx chunk note in its comment)"},
    };
    // f2: chunk 2/3 of another run; short2: e2 with two of its frames and
    // its note; plain2: e2 without a note.
    ASSERT_EQ(runFieldfx(render + " --set param2=1 --chunk 2/3 -o " + quote(dir / "f2.mkv"), dir).status, 0);
    ASSERT_EQ(std::system(("ffmpeg -v error -i " + e(2) + " -frames:v 2 -c copy " + quote(dir / "short2.mkv")).c_str()), 0);
    ASSERT_EQ(std::system(("ffmpeg -v error -i " + e(2) + " -c copy -metadata comment= " + quote(dir / "plain2.mkv")).c_str()), 0);
    for (const auto& c : cases) {
        const Outcome refused = runFieldfx("join " + quote(dir / "again.mkv") + " " + c.chunks, dir);
        EXPECT_EQ(refused.status, 1) << c.chunks;
        EXPECT_NE(refused.err.find(c.message), std::string::npos) << c.chunks << "\n" << refused.err;
        EXPECT_FALSE(exists(dir / "again.mkv"));
    }
}

// Encoded files: a chunk starts its decode at (or before) the key frame
// before its first frame and finds that frame by its time. Chunk
// boundaries fall inside groups of pictures, on B-frames, on the leading
// B-frames of open groups and on key frames; whatever they fall on, the
// chunks concatenate to the whole run's bytes.
struct EncodedChunkCase {
    const char* name;
    const char* file;
    const char* encode;  // ffmpeg options making it from the test source
    const char* seconds;
};

const EncodedChunkCase kEncodedChunkCases[] = {
    {"H264InterlacedBFrames", "h264.mp4",
     "-c:v libx264 -pix_fmt yuv420p -flags +ildct+ilme -x264opts tff=1 -bf 3 -g 50", "4"},
    {"Mpeg2OpenGopTransportStream", "mpeg2.ts", "-c:v mpeg2video -flags +ildct+ilme -top 1 -bf 2 -g 12", "4"},
    {"ProRes", "prores.mov", "-c:v prores_ks -profile:v 2", "2"},
    {"Ffv1", "ffv1.mkv", "-c:v ffv1 -g 10", "2"},
};

void PrintTo(const EncodedChunkCase& c, std::ostream* out) { *out << c.name; }

class EncodedChunks : public testing::TestWithParam<EncodedChunkCase> {};

TEST_P(EncodedChunks, ConcatenateToTheWholeRun) {
    REQUIRE_FFMPEG();
    const EncodedChunkCase& c = GetParam();
    TempDir dir;
    const std::string source = dir / c.file;
    makeClip(source, "testsrc2=size=160x128:rate=25,format=yuv422p", joined({"-t ", c.seconds, " ", c.encode}));
    struct Run {
        const char* settings;
        bool replays;  // Patina renders frames before a chunk's start again
        std::vector<int> chunkings;
    };
    for (const Run& r : {Run{"Blur --set blurSize=1@0,9@40", false, {3, 7}}, Run{"Patina --set filmAge=2", true, {4}}}) {
        if (!isBuiltOperator(r.replays ? "Patina" : "Blur")) continue;
        const std::string render = joined({"render ", r.settings, " ", quote(source), " --quiet"});
        ASSERT_EQ(runFieldfx(render + " -o " + quote(dir / "whole.y4m"), dir).status, 0);
        const std::string whole = readFile(dir / "whole.y4m");
        for (int n : r.chunkings) {
            std::string all;
            for (int k = 1; k <= n; ++k) {
                const std::string out = dir / numbered("c", k, ".y4m");
                const Outcome run = runFieldfx(render + " --chunk " + numbered("", k, "/") + std::to_string(n) +
                                                   " -o " + quote(out), dir);
                if (r.replays && run.status != 0 && run.err.find("cannot render --chunk") != std::string::npos) break;
                ASSERT_EQ(run.status, 0) << k << "/" << n << ": " << run.err;
                all += readFile(out);
            }
            if (all.empty()) continue;  // this Patina does not replay
            EXPECT_TRUE(all == whole) << r.settings << ": " << n << " chunks differ from the whole run";
        }
    }
    // Encoded chunks join into a file of the whole run's length.
    if (!isBuiltOperator("Blur")) return;
    std::string chunks;
    for (int k = 1; k <= 3; ++k) {
        const std::string out = dir / numbered("e", k, ".mkv");
        const Outcome run = runFieldfx(joined({"render Blur ", quote(source), " --quiet --chunk "}) + numbered("", k, "/3") +
                                           " -o " + quote(out), dir);
        ASSERT_EQ(run.status, 0) << run.err;
        chunks += " " + quote(out);
    }
    const Outcome join = runFieldfx("join " + quote(dir / "joined.mkv") + chunks, dir);
    ASSERT_EQ(join.status, 0) << join.err;
    // The first number: a transport stream's programs follow it.
    const auto frames = [](const std::string& path) {
        return std::atoi(run("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                             "-of csv=p=0 " + quote(path)).c_str());
    };
    EXPECT_EQ(frames(dir / "joined.mkv"), frames(source));
}

INSTANTIATE_TEST_SUITE_P(Media, EncodedChunks, testing::ValuesIn(kEncodedChunkCases),
                         [](const testing::TestParamInfo<EncodedChunkCase>& info) { return info.param.name; });

}  // namespace
