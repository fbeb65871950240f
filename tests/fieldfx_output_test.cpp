// The output side of the fieldfx program: numbered names are data, never
// printf formats; no output writes a file an input reads, however it is
// named; outputs go through new temporary files and a sequence is put in
// place all or none; and the smaller promises around them (stale frames
// named, the summary's time, demo -o).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "ChunkNote.h"
#include "CliFixture.h"
#include "Error.h"
#include "OutputPath.h"
#include "SequenceName.h"
#include "Sinks.h"
#include "VideoFixtures.h"

using namespace fxtest;

namespace {

const std::string kPassthrough = kTestOps + "/libPassthrough.so";

size_t lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

// Every file of a directory (hidden ones too) with its bytes.
std::map<std::string, std::string> snapshot(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const std::string& name : dir.files()) files[name] = readFile(dir / name);
    return files;
}

bool haveFfmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

// ---------------------------------------------------------------------------
// Numbered names: one %d or %0Nd, %% for a percent sign, nothing else.

TEST(SequenceNames, OneFrameNumberAndNothingElse) {
    struct Case {
        const char* pattern;
        const char* error;   // expected in the reason; empty for a valid name
        const char* frame7;  // the name of frame 7
    };
    const Case cases[] = {
        {"out%d.png", "", "out7.png"},
        {"out%04d.png", "", "out0007.png"},
        {"o%010d.png", "", "o0000000007.png"},
        {"100%%/a%%b%02d.png", "", "100%/a%b07.png"},
        {"%d", "", "7"},
        {"o%s.png", "'%s' is not a frame number", ""},
        {"o%n.png", "'%n' is not a frame number", ""},
        {"o%x.png", "'%x' is not a frame number", ""},
        {"o%1$d.png", "'%1$d' is not a frame number", ""},
        {"o%5d.png", "'%5d' is not a frame number", ""},
        {"o%-4d.png", "'%-4d' is not a frame number", ""},
        {"o%0d.png", "'%0d' is not a frame number", ""},
        {"o%004d.png", "'%004d' is not a frame number", ""},
        {"o%ld.png", "'%ld' is not a frame number", ""},
        {"o%.png", "is not a frame number", ""},
        {"o%d%d.png", "holds two frame numbers, '%d' and '%d'", ""},
        {"o%03d_%%_%s.png", "holds two frame numbers, '%03d' and '%s'", ""},
        {"o%011d.png", "'%011d' is too wide (at most 10 digits)", ""},
        {"o%0999999999999999999999d.png", "is too wide", ""},
        {"o%%.png", "holds no frame number", ""},
        {"out.png", "holds no frame number", ""},
        {"o.png%", "a '%' ends it", ""},
        {"d%02d/o.png", "its frame number is in a directory's name", ""},
    };
    for (const Case& c : cases) {
        fieldfx::SequenceName name;
        const std::string why = name.parse(c.pattern);
        if (*c.error != '\0') {
            EXPECT_NE(why.find(c.error), std::string::npos) << c.pattern << ": " << why;
            EXPECT_NE(why.find("%0Nd"), std::string::npos) << "the reason says what is allowed";
            continue;
        }
        ASSERT_EQ(why, "") << c.pattern;
        EXPECT_EQ(name.name(7), c.frame7);
        for (int64_t n : {int64_t(0), int64_t(7), int64_t(12345), int64_t(99999999999)}) {
            int64_t back = -1;
            EXPECT_TRUE(name.numberOf(name.name(n), back)) << c.pattern << " " << n;
            EXPECT_EQ(back, n);
        }
    }
    // Only the names the sequence makes are its own.
    fieldfx::SequenceName padded, plain;
    ASSERT_EQ(padded.parse("dir/out%04d.png"), "");
    ASSERT_EQ(plain.parse("out%d.png"), "");
    EXPECT_EQ(padded.name(123456), "dir/out123456.png");
    EXPECT_EQ(padded.directory(), "dir");
    EXPECT_EQ(padded.directoryPrefix(), "dir/");
    EXPECT_EQ(plain.directory(), ".");
    int64_t n = 0;
    for (const char* other : {"dir/out7.png", "dir/out007.png", "dir/out0007.pngx", "dir/xout0007.png", "dir/out00a7.png",
                              "dir/out.png", "out0007.png", "dir/out-007.png"}) {
        EXPECT_FALSE(padded.numberOf(other, n)) << other;
    }
    for (const char* other : {"out07.png", "out+7.png", "out 7.png", "out7.png.png", "out99999999999999999999.png"}) {
        EXPECT_FALSE(plain.numberOf(other, n)) << other;
    }
}

// Names that are not one frame number are refused in one line before
// anything is written, by render and join alike; none crashes.
TEST(SequenceNames, BadNamesAreRefusedInOneLine) {
    TempDir dir;
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string in = quote(dir / "in.y4m");
    const struct {
        std::string args;
        const char* message;
    } cases[] = {
        {"render " + kPassthrough + " " + in + " -o " + quote(dir / "o%s.png"), "o%s.png: '%s' is not a frame number"},
        {"render " + kPassthrough + " " + in + " -o " + quote(dir / "o%n.png"), "o%n.png: '%n' is not a frame number"},
        {"render " + kPassthrough + " " + in + " -o " + quote(dir / "o%x.png"), "'%x' is not a frame number"},
        {"render " + kPassthrough + " " + in + " -o " + quote(dir / "o%1$d.png"), "'%1$d' is not a frame number"},
        {"render " + kPassthrough + " " + in + " -o " + quote(dir / "o%d%d.png"), "holds two frame numbers"},
        {"render " + kPassthrough + " " + in + " -o " + quote(dir / "o%099d.png"), "is too wide"},
        {"render " + kPassthrough + " " + in + " -o " + quote(dir / "o%%.png"), "holds no frame number"},
        {"render " + kPassthrough + " " + in + " --chunk 1/2 -o " + quote(dir / "o%s%s%s%s%n.png"), "is not a frame number"},
        {"render " + kPassthrough + " " + quote(dir / "i%s.png") + " -o " + quote(dir / "o.y4m"), "i%s.png: '%s' is not a frame number"},
        {"join " + quote(dir / "o%s.png") + " " + quote(dir / "c%03d.png"), "o%s.png: '%s' is not a frame number"},
        {"join " + quote(dir / "o%03d.png") + " " + quote(dir / "c%n.png"), "c%n.png: '%n' is not a frame number"},
        {"join " + quote(dir / "o%03d.png") + " " + quote(dir / "c%03d%d.png"), "holds two frame numbers"},
    };
    const auto before = snapshot(dir);
    for (const auto& c : cases) {
        const Outcome run = runFieldfx(c.args, dir);
        EXPECT_EQ(run.status, 1) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
        EXPECT_EQ(lines(run.err), 1u) << run.err;
        EXPECT_TRUE(snapshot(dir) == before) << c.args << ": something was written";
    }
}

// %% is a percent sign in the names written and read.
TEST(SequenceNames, PercentSignsAreLiteral) {
    TempDir dir;
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    Outcome run = runFieldfx("render " + kPassthrough + " " + quote(dir / "in.y4m") + " --quiet -o " +
                                 quote(dir / "a%%b%02d.png"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* name : {"a%b00.png", "a%b01.png", "a%b02.png"}) EXPECT_TRUE(exists(dir / name)) << name;
    run = runFieldfx("render " + kPassthrough + " " + quote(dir / "a%%b%02d.png") + " --quiet -o " + quote(dir / "back.y4m"), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(parseY4m(readFile(dir / "back.y4m"), 4 * clip.planeSize()).frames.size(), 3u);
}

// ---------------------------------------------------------------------------
// No output writes a file an input reads: compared by device and inode,
// for every file the output would write against every file every input
// reads, whatever the names.

TEST(Outputs, NeverWriteAFileAnInputReads) {
    TempDir dir;
    Clip clip;
    clip.frames = 5;
    writeFile(dir / "in.y4m", clip.bytes());
    // in0000.png .. in0004.png, a still, and links to two of the frames.
    ASSERT_EQ(runFieldfx("render " + kPassthrough + " " + quote(dir / "in.y4m") + " --quiet -o " + quote(dir / "in%04d.png"), dir).status, 0);
    ASSERT_EQ(runFieldfx("render " + kPassthrough + " " + quote(dir / "in.y4m") + " --quiet --length 1 -o " + quote(dir / "s1.png"), dir).status, 0);
    ASSERT_EQ(link((dir / "in0003.png").c_str(), (dir / "x3.png").c_str()), 0);
    ASSERT_EQ(symlink((dir / "in0001.png").c_str(), (dir / "y1.png").c_str()), 0);
    const std::string render = "render " + kPassthrough + " ";
    const std::string seq = quote(dir / "in%04d.png");
    const struct {
        std::string args;
        const char* message;
    } cases[] = {
        // A sequence over itself, also spelled otherwise.
        {render + seq + " -o " + seq, "in0000.png: is a frame of the input " },
        {render + seq + " -o " + quote(dir.path() + "/./in%04d.png"), "in0000.png: is a frame of the input"},
        // One frame of the input sequence as a single output.
        {render + seq + " --length 1 -o " + quote(dir / "in0001.png"), "in0001.png: is a frame of the input"},
        // Another sequence whose fourth name is a hard link to a frame, or
        // whose second is a symbolic link to one.
        {render + seq + " -o " + quote(dir / "x%d.png"), "x3.png: is a frame of the input"},
        {render + seq + " -o " + quote(dir / "y%d.png"), "y1.png: is a frame of the input"},
        // A sequence whose name is a still input.
        {render + quote(dir / "s1.png") + " --duration 0.2 -o " + quote(dir / "s%d.png"), "s1.png: is the input"},
        // The numbers of a chunk: chunk 2/2 of five frames writes 2 to 4.
        {render + seq + " --chunk 2/2 -o " + quote(dir / "x%d.png"), "x3.png: is a frame of the input"},
        {render + seq + " --chunk 2/2 -o " + seq, "in0002.png: is a frame of the input"},
        // Standard input read from the output file.
        {render + "- -o " + quote(dir / "in.y4m") + " < " + quote(dir / "in.y4m"), "in.y4m: is standard input"},
    };
    const auto before = snapshot(dir);
    for (const auto& c : cases) {
        const Outcome run = runFieldfx(c.args, dir);
        EXPECT_EQ(run.status, 1) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find("writing it would destroy the source"), std::string::npos) << run.err;
        EXPECT_EQ(lines(run.err), 1u) << run.err;
        EXPECT_TRUE(snapshot(dir) == before) << c.args << ": something was written";
    }
    // Chunk 1/2 writes x0 to x1, which are no input's: it renders.
    const Outcome run = runFieldfx(render + seq + " --quiet --chunk 1/2 -o " + quote(dir / "x%d.png"), dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(readFile(dir / "x3.png") == before.at("in0003.png"));
}

// ---------------------------------------------------------------------------
// Temporary outputs are new files: a symbolic link or another run's file
// at a temporary name is neither followed nor written over.

TEST(Outputs, TemporariesAreNewFiles) {
    struct Case {
        const char* output;
        const char* firstTarget;  // the name of the first file it writes
        fieldfx::Chroma chroma;
    };
    std::vector<Case> cases = {{"out.y4m", "out.y4m", fieldfx::Chroma::C444alpha},
                               {"out.png", "out.png", fieldfx::Chroma::C444alpha},
                               {"out%02d.png", "out00.png", fieldfx::Chroma::C444alpha}};
    if (haveFfmpeg()) cases.push_back({"out.mkv", "out.mkv", fieldfx::Chroma::C420jpeg});
    for (const Case& c : cases) {
        const fieldfx::VideoFormat format = fieldfx::format(64, 32, c.chroma, fieldfx::Interlace::TopFirst);
        const fieldfx::Frame frame = fieldfx::noiseFrame(format, 3);
        TempDir dir;
        const std::string pid = std::to_string(getpid());
        writeFile(dir / "victim", "not to be written");
        writeFile(dir / "other", "another run's temporary");
        ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / (".fieldfx-" + pid + "-" + c.firstTarget)).c_str()), 0);
        ASSERT_EQ(link((dir / "other").c_str(), (dir / (".fieldfx-" + pid + "-1-" + c.firstTarget)).c_str()), 0);
        {
            auto sink = fieldfx::openSink(dir / c.output, format);
            sink->write(frame.data.data(), frame.data.size());
            sink->commit();
        }
        EXPECT_EQ(readFile(dir / "victim"), "not to be written") << c.output;
        EXPECT_EQ(readFile(dir / "other"), "another run's temporary") << c.output;
        struct stat info {};
        ASSERT_EQ(stat((dir / c.firstTarget).c_str(), &info), 0) << c.output;
        EXPECT_GT(info.st_size, 40) << c.output;
        EXPECT_EQ(lstat((dir / (".fieldfx-" + pid + "-" + c.firstTarget)).c_str(), &info), 0);
        EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the planted link is left as it was";
    }
}

// A sequence is put in place all or none: when one of its moves fails, the
// frames already moved are taken back and the earlier frames restored.
TEST(Outputs, ASequenceIsCommittedWholeOrNotAtAll) {
    const fieldfx::VideoFormat format = fieldfx::format(8, 4, fieldfx::Chroma::C444alpha, fieldfx::Interlace::TopFirst);
    const fieldfx::Frame frame = fieldfx::noiseFrame(format, 5);
    for (bool fail : {true, false}) {
        TempDir dir;
        for (int i = 0; i < 4; ++i) writeFile(dir / ("out0" + std::to_string(i) + ".png"), "earlier frame " + std::to_string(i));
        {
            auto sink = fieldfx::openSink(dir / "out%02d.png", format);
            for (int i = 0; i < 3; ++i) sink->write(frame.data.data(), frame.data.size());
            if (fail) {
                // The third frame's temporary disappears before the commit.
                for (const std::string& name : dir.files()) {
                    if (name.rfind(".fieldfx-", 0) == 0 && name.find("out02.png") != std::string::npos) {
                        ASSERT_EQ(std::remove((dir / name).c_str()), 0);
                    }
                }
                try {
                    sink->commit();
                    ADD_FAILURE() << "the commit succeeded";
                } catch (const fieldfx::UserError& e) {
                    EXPECT_NE(std::string(e.what()).find("out02.png: cannot move the output into place"), std::string::npos) << e.what();
                    EXPECT_NE(std::string(e.what()).find("the earlier files are as they were"), std::string::npos) << e.what();
                }
            } else {
                sink->commit();
            }
        }
        for (int i = 0; i < 4; ++i) {
            const std::string content = readFile(dir / ("out0" + std::to_string(i) + ".png"));
            if (fail || i == 3) {
                EXPECT_EQ(content, "earlier frame " + std::to_string(i)) << "frame " << i << (fail ? ", failed" : "");
            } else {
                EXPECT_EQ(content.substr(1, 3), "PNG") << "frame " << i;
            }
        }
        for (const std::string& name : dir.files()) EXPECT_NE(name.rfind(".fieldfx-", 0), 0u) << name << " left behind";
    }
}

// A sequence written over a longer earlier one says that the earlier
// frames after its own remain; a chunk before the last does not (its
// successors are there).
TEST(Outputs, StaleFramesOfAnEarlierSequenceAreNamed) {
    TempDir dir;
    Clip clip;
    clip.frames = 6;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string render = "render " + kPassthrough + " " + quote(dir / "in.y4m") + " --quiet ";
    const std::string out = dir / "s%02d.png";
    ASSERT_EQ(runFieldfx(render + "-o " + quote(out), dir).status, 0);
    const struct {
        std::string options;
        std::string warning;  // empty: none
    } cases[] = {
        {"--length 3", "fieldfx: " + out + ": frames 3 to 5 of an earlier sequence remain"},
        {"", ""},
        {"--length 4 --chunk 1/2", ""},
        {"--length 4 --chunk 2/2", "fieldfx: " + out + ": frames 4 to 5 of an earlier sequence remain"},
    };
    for (const auto& c : cases) {
        const Outcome run = runFieldfx(render + c.options + " -o " + quote(out), dir);
        EXPECT_EQ(run.status, 0) << run.err;
        if (c.warning.empty()) {
            EXPECT_EQ(run.err, "") << c.options;
        } else {
            EXPECT_EQ(run.err.rfind(c.warning, 0), 0u) << c.options << "\n" << run.err;
            EXPECT_EQ(lines(run.err), 1u) << run.err;
        }
        EXPECT_TRUE(exists(dir / "s05.png")) << "the earlier frames are the user's to remove";
    }
}

// ---------------------------------------------------------------------------
// Smaller promises: --rate is documented, the summary counts from the
// start of the command, demo -o says why it cannot write.

TEST(Commands, HelpSummaryTimeAndDemoOutput) {
    TempDir dir;
    ASSERT_EQ(std::system((quote(kProgram) + " render --help > " + quote(dir / "help.txt")).c_str()), 0);
    EXPECT_NE(readFile(dir / "help.txt").find("  --rate RATE "), std::string::npos);

    // The input arrives after a second: opening it is part of the command.
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string command = "(sleep 1; cat " + quote(dir / "in.y4m") + ") | " + quote(kProgram) + " render " +
                                kPassthrough + " - -o " + quote(dir / "out.y4m") + " 2> " + quote(dir / "err.txt");
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string summary = readFile(dir / "err.txt");
    const size_t in = summary.find(") in ");
    ASSERT_NE(in, std::string::npos) << summary;
    EXPECT_GE(std::atof(summary.c_str() + in + 5), 0.9) << summary;

    writeFile(dir / "file", "a file");
    const struct {
        std::string dir;
        const char* message;
    } cases[] = {
        {dir / "file", "file: is not a directory (demo -o names the directory it writes into)"},
        {"/proc/fieldfx-demo", "/proc/fieldfx-demo: cannot make directory: "},
    };
    for (const auto& c : cases) {
        const Outcome run = runFieldfx("demo --quiet -o " + quote(c.dir), dir);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(lines(run.err), 1u) << run.err;
    }
    EXPECT_EQ(readFile(dir / "file"), "a file");
}

// ---------------------------------------------------------------------------
// Chunk notes: what a chunk says about itself, read back exactly.

TEST(ChunkNotes, ReadBackExactlyAndNothingElse) {
    const fieldfx::ChunkNote note{"0123456789abcdef", 2, 4, 25, 50, 100};
    const std::string text = fieldfx::formatChunkNote(note);
    EXPECT_EQ(text, "fieldfx chunk 2/4: frames 25 to 49 of 100, run 0123456789abcdef");
    fieldfx::ChunkNote back;
    ASSERT_TRUE(fieldfx::parseChunkNote(text, back));
    EXPECT_EQ(back.run, note.run);
    EXPECT_EQ(back.k, 2);
    EXPECT_EQ(back.n, 4);
    EXPECT_EQ(back.begin, 25);
    EXPECT_EQ(back.end, 50);
    EXPECT_EQ(back.frames, 100);
    for (const char* bad : {
             "",
             "fieldfx chunk 2/4: frames 25 to 49 of 100",
             "fieldfx chunk 2/4: frames 25 to 49 of 100, run 0123456789ABCDEF",
             "fieldfx chunk 2/4: frames 25 to 49 of 100, run 0123456789abcde",
             "fieldfx chunk 2/4: frames 25 to 49 of 100, run 0123456789abcdef0",
             "fieldfx chunk 2/4: frames 25 to 49 of 100, run 0123456789abcdef\n",
             "fieldfx chunk 5/4: frames 25 to 49 of 100, run 0123456789abcdef",
             "fieldfx chunk 0/4: frames 25 to 49 of 100, run 0123456789abcdef",
             "fieldfx chunk 2/4: frames 50 to 49 of 100, run 0123456789abcdef",
             "fieldfx chunk 2/4: frames 25 to 100 of 100, run 0123456789abcdef",
             "fieldfx chunk 2/4: frames -25 to 49 of 100, run 0123456789abcdef",
             "fieldfx chunk 2/4: frames +25 to 49 of 100, run 0123456789abcdef",
             "fieldfx chunk 2/4: frames 05 to 49 of 100, run 0123456789abcdef",
             "fieldfx chunk 02/4: frames 25 to 49 of 100, run 0123456789abcdef",
             "fieldfx chunk 2/4: frames 25 to 49 of 1000000000000000000000, run 0123456789abcdef",
             " fieldfx chunk 2/4: frames 25 to 49 of 100, run 0123456789abcdef",
             "fieldfx chunk 2/4:  frames 25 to 49 of 100, run 0123456789abcdef",
         }) {
        EXPECT_FALSE(fieldfx::parseChunkNote(bad, back)) << bad;
    }
    // A run's digest: the same text gives the same digits; others differ.
    const std::string a = fieldfx::runDigest("operator Blur\nrun from 0 frames 100\n");
    EXPECT_EQ(a.size(), 16u);
    EXPECT_EQ(a, fieldfx::runDigest("operator Blur\nrun from 0 frames 100\n"));
    for (const char* other : {"operator Blur\nrun from 0 frames 101\n", "operator Blur\nrun from 1 frames 100\n", "", "a"}) {
        EXPECT_NE(a, fieldfx::runDigest(other)) << other;
    }
}

}  // namespace
