// How files ffmpeg writes are encoded: the input's codec, profile and audio
// codec kept where the container takes them; --codec, --quality,
// --audio-codec and --encoder-args checked before rendering; a format the
// encoder cannot take said in one line; ffmpeg's errors never give a file.
// Clips are made by ffmpeg in the test and read back with ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "Encoding.h"
#include "Error.h"
#include "FfmpegFixture.h"

using namespace fxtest;

namespace {

const char kMoving[] = "testsrc2=size=256x144:rate=25:duration=0.4";
const char kSine[] = "-f lavfi -i sine=frequency=440:duration=0.4:sample_rate=48000";

// ffprobe's "codec_name,profile,pix_fmt" of the video and the audio's codec_name.
std::string streams(const std::string& path) {
    return run("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,profile,pix_fmt -of csv=p=0 " +
               quote(path)) +
           run("ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 " + quote(path));
}

struct CodecCase {
    const char* name;
    std::string makeWith;  // ffmpeg options making the input (after the picture)
    std::string input, output, options;
    std::string expected;  // streams() of the output
    std::string note;      // the one line said, or empty for none
};

void PrintTo(const CodecCase& c, std::ostream* out) { *out << c.name; }

class Codecs : public testing::TestWithParam<CodecCase> {};

TEST_P(Codecs, KeptWhereTheContainerTakesThem) {
    REQUIRE_FFMPEG();
    const CodecCase& c = GetParam();
    TempDir dir;
    makeClip(dir / c.input, kMoving, c.makeWith);
    const Outcome r = runFieldfx("render Dye " + quote(dir / c.input) + " -o " + quote(dir / c.output) + " --quiet " +
                                     c.options, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(streams(dir / c.output), c.expected);
    if (c.note.empty()) {
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_EQ(r.err, "fieldfx: " + dir / c.output + ": " + c.note + "\n");
    }
}

const CodecCase kCodecs[] = {
    {"ProResHqStaysProResHq", "-c:v prores_ks -profile:v hq", "in.mov", "out.mov", "", "prores,HQ,yuv422p10le\n", ""},
    {"ProResLtStaysLt", "-c:v prores_ks -profile:v lt", "in.mov", "out.mkv", "", "prores,LT,yuv422p10le\n", ""},
    {"DnxhrSqStaysSq", "-c:v dnxhd -profile:v dnxhr_sq -pix_fmt yuv422p", "in.mov", "out.mov", "",
     "dnxhd,DNXHR SQ,yuv422p\n", ""},
    {"Mpeg2StaysMpeg2", "-c:v mpeg2video", "in.mpg", "out.mpg", "", "mpeg2video,Main,yuv420p,\n\n", ""},
    {"Ffv1StaysFfv1", "-c:v ffv1 -pix_fmt yuv422p", "in.mkv", "out.mkv", "", "ffv1,unknown,yuv422p\n", ""},
    {"HevcStaysHevc", "-c:v libx265 -x265-params log-level=error", "in.mp4", "out.mp4", "", "hevc,Main,yuv420p\n", ""},
    {"H264MainStaysMain", "-c:v libx264 -profile:v main -pix_fmt yuv420p", "in.mp4", "out.mkv", "",
     "h264,Main,yuv420p\n", ""},
    {"ProResIntoMp4IsH264", "-c:v prores_ks", "in.mov", "out.mp4", "", "h264,High 4:2:2,yuv422p10le\n", ""},
    {"PcmStaysPcm", std::string(kSine) + " -c:v ffv1 -c:a pcm_s24le -shortest", "in.mov", "out.mkv", "",
     "ffv1,unknown,yuv420p\npcm_s24le\n", ""},
    {"AacStaysAac", std::string(kSine) + " -c:a aac -shortest", "in.mp4", "out.mkv", "", "h264,High,yuv420p\naac\n",
     ""},
    {"AskedCodecs", std::string(kSine) + " -c:a aac -shortest", "in.mp4", "out.mov",
     "--codec prores --audio-codec pcm_s16le", "prores,HQ,yuv422p10le\npcm_s16le\n", ""},
    {"FourFourFourIntoH264Is420", "-c:v ffv1 -pix_fmt yuv444p", "in.mkv", "out.mp4", "", "h264,High,yuv420p\n",
     "libx264 writes 4:4:4 as 4:2:0, which players expect (--pix-fmt yuv444p keeps 4:4:4)"},
    {"PixFmtKeeps444", "-c:v ffv1 -pix_fmt yuv444p", "in.mkv", "out.mp4", "--pix-fmt yuv444p",
     "h264,High 4:4:4 Predictive,yuv444p\n", ""},
    {"TwelveBitsIntoX264", "-c:v ffv1 -pix_fmt yuv422p12le", "in.mkv", "out.mp4", "", "h264,High 4:2:2,yuv422p10le\n",
     "libx264 keeps at most 10 bits of 4:2:2; the 12-bit input is written at 10"},
    {"FourTwoTwoIntoMpeg4", "-c:v ffv1 -pix_fmt yuv422p", "in.mkv", "out.avi", "--codec mpeg4",
     "mpeg4,Simple Profile,yuv420p\n",
     "mpeg4 cannot take 4:2:2; writing 4:2:0"},
    {"InterlacedIntoAvi", "-vf setfield=tff -c:v ffv1 -pix_fmt yuv422p -field_order tt", "in.mkv", "out.avi",
     "--codec ffv1", "ffv1,unknown,yuv422p\n",
     ".avi files cannot flag the field order: the fields are written top field first, but players will not be told "
     "(.mkv, .mov or .mp4 keep it)"},
    {"QualityMapsToTheEncoder", "-c:v ffv1", "in.mkv", "out.mkv", "--codec mpeg2video --quality high",
     "mpeg2video,Main,yuv420p,\n\n", ""},
    {"InterlacedMpgIsMpeg2", "-vf setfield=tff -c:v ffv1 -field_order tt", "in.mkv", "out.mpg", "",
     "mpeg2video,Main,yuv420p,\n\n", ""},
    {"HevcInfoIsNoError", "-c:v ffv1", "in.mkv", "out.mkv", "--codec hevc", "hevc,Main,yuv420p\n", ""},
};

INSTANTIATE_TEST_SUITE_P(Encoding, Codecs, testing::ValuesIn(kCodecs),
                         [](const testing::TestParamInfo<CodecCase>& info) { return std::string(info.param.name); });

// --quality's levels follow the encoder's own scale: a higher level never
// gives a smaller file.
TEST(Quality, HigherLevelsKeepMore) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(dir / "in.mkv", "testsrc2=size=256x144:rate=25:duration=0.4,noise=alls=20:allf=t", "-c:v ffv1");
    for (const char* codec : {"libx264", "mpeg2video", "prores"}) {
        long previous = 0;
        for (const char* level : {"low", "medium", "high"}) {
            const std::string out = dir / (std::string(codec) + level + ".mkv");
            const Outcome r = runFieldfx("render Dye " + quote(dir / "in.mkv") + " -o " + quote(out) + " --quiet --codec " +
                                             codec + " --quality " + level, dir);
            ASSERT_EQ(r.status, 0) << r.err;
            const long size = std::atol(run("stat -c %s " + quote(out)).c_str());
            EXPECT_GT(size, previous) << codec << " " << level;
            previous = size;
        }
    }
}

// Options that cannot work are refused before anything is rendered, in one
// line; so is an output ffmpeg reports an error for, with ffmpeg's line.
TEST(Encoding, RefusalsNameTheProblemAndLeaveNothing) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(dir / "in.mkv", kMoving, "-c:v ffv1");
    makeClip(dir / "small.mkv", "testsrc2=size=192x144:rate=25:duration=0.2", "-c:v ffv1");
    struct Refusal {
        std::string input, output, options, message;
    };
    const Refusal refusals[] = {
        {"in.mkv", "out.mkv", "--codec nosuch", "fieldfx: --codec: 'nosuch' is not a video encoder of this ffmpeg"},
        {"in.mkv", "out.mkv", "--codec aac", "fieldfx: --codec: 'aac' is not a video encoder of this ffmpeg"},
        {"in.mkv", "out.mkv", "--audio-codec ffv1", "fieldfx: --audio-codec: 'ffv1' is not an audio encoder"},
        {"in.mkv", "out.mp4", "--codec prores", "fieldfx: --codec: prores cannot go into .mp4 files"},
        {"in.mkv", "out.webm", "--audio-codec pcm_s16le", "fieldfx: --audio-codec: pcm_s16le cannot go into .webm files"},
        {"in.mkv", "out.mkv", "--quality best", "fieldfx: --quality: 'best' is not one of low, medium, high, lossless"},
        {"in.mkv", "out.mkv", "--codec mpeg2video --quality lossless", "fieldfx: --quality: mpeg2video has no lossless form"},
        {"in.mkv", "out.mkv", "--codec ffv1 --quality high", "fieldfx: --quality: ffv1 is lossless"},
        {"in.mkv", "out.y4m", "--codec ffv1", "fieldfx: --codec: applies to files ffmpeg writes"},
        {"in.mkv", "out.mkv", "--encoder-args \"-preset 'slow\"", "fieldfx: --encoder-args: a ' is not closed"},
        {"in.mkv", "out.mkv", "--encoder-args \"-i x.mkv\"", "fieldfx: --encoder-args: -i is fieldfx's own to set"},
        {"small.mkv", "out.mov", "--codec dnxhd",
         ": ffmpeg could not write it: dnxhd: Input dimensions too small, input must be at least 256x120"},
        {"in.mkv", "out.mkv", "--codec h264 --pix-fmt yuv422p --encoder-args \"-profile:v baseline\"",
         ": ffmpeg could not write it: x264 [error]: baseline profile doesn't support 4:2:2"},
    };
    for (const Refusal& c : refusals) {
        SCOPED_TRACE(c.options);
        const Outcome r = runFieldfx("render Dye " + quote(dir / c.input) + " -o " + quote(dir / c.output) + " --quiet " +
                                         c.options, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(exists(dir / c.output));
    }
    for (const std::string& name : dir.files()) EXPECT_NE(name.rfind(".fieldfx-", 0), 0u) << name;
}

// x264's own options of --encoder-args keep the field order flagged.
TEST(Encoding, EncoderArgsKeepTheFieldOrder) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(dir / "in.mkv", kMoving, "-vf setfield=bff -c:v ffv1 -field_order bb");
    const Outcome r = runFieldfx("render Dye " + quote(dir / "in.mkv") + " -o " + quote(dir / "out.mp4") +
                                     " --quiet --encoder-args \"-x264-params keyint=5 -preset veryfast\"", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run("ffprobe -v error -show_entries stream=field_order -of csv=p=0 " + quote(dir / "out.mp4")), "bb\n");
}

// --encoder-args is split as a shell splits words, without a shell.
TEST(Encoding, EncoderArgsSplitAsAShellWould) {
    const struct {
        std::string text;
        std::vector<std::string> words;
    } cases[] = {
        {"", {}},
        {"  -preset   slow ", {"-preset", "slow"}},
        {"-metadata 'title=A b'", {"-metadata", "title=A b"}},
        {"-metadata \"title=say \\\"hi\\\" \\n\"", {"-metadata", "title=say \"hi\" \\n"}},
        {"a\\ b 'c'\"d\"e", {"a b", "cde"}},
        {"'' x", {"", "x"}},
        {"$HOME `ls` ; rm", {"$HOME", "`ls`", ";", "rm"}},
    };
    for (const auto& c : cases) EXPECT_EQ(fieldfx::splitArguments(c.text, "--encoder-args"), c.words) << c.text;
    for (const char* bad : {"'a", "\"a", "a\\"}) {
        EXPECT_THROW(fieldfx::splitArguments(bad, "--encoder-args"), fieldfx::UserError) << bad;
    }
}

// ---------------------------------------------------------------------------
// Alpha is read as the operators' key byte and written into outputs that
// hold it: a key the operator leaves alone comes back unchanged (ProRes
// within one step: ffmpeg's 8-to-10-bit alpha and back round). Outputs
// without alpha say, in one line, that it was dropped.

std::string alphaBytes(const std::string& path) {
    return run("ffmpeg -v error -i " + quote(path) + " -vf alphaextract -f rawvideo -pix_fmt gray -");
}

TEST(Alpha, KeyBytesComeBackWhereTheOutputHoldsThem) {
    REQUIRE_FFMPEG();
    TempDir dir;
    const std::string keyed = "testsrc2=size=64x48:rate=25:duration=0.2[p];testsrc=size=64x48:rate=25:duration=0.2,"
                              "format=gray[k];[p][k]alphamerge[out0]";
    makeClip(dir / "alpha.mkv", keyed, "-c:v ffv1 -pix_fmt yuva444p");
    makeClip(dir / "rgba.mov", keyed, "-c:v qtrle -pix_fmt argb");
    struct Case {
        std::string input, output, options, pixFmt;
        int step;          // the largest difference of a key byte; -1: no alpha written
        std::string note;  // said on stderr
    };
    const Case cases[] = {
        {"alpha.mkv", "out.mkv", "", "yuva444p", 0, ""},
        {"rgba.mov", "out.mov", "", "argb", 0, ""},
        {"alpha.mkv", "out.mov", "--codec qtrle", "argb", 0, ""},
        {"rgba.mov", "out.mkv", "--codec ffv1", "yuva444p", 0, ""},
        {"alpha.mkv", "out%02d.png", "", "rgba", 0, ""},
        {"alpha.mkv", "out.mov", "--codec prores", "yuva444p12le", 1, ""},
        {"alpha.mkv", "out.mp4", "", "yuv420p", -1, "alpha is dropped: libx264 keeps none"},
        {"rgba.mov", "out.avi", "--codec mpeg4", "yuv420p", -1, "alpha is dropped: mpeg4 keeps none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + " " + c.options);
        const Outcome r = runFieldfx("render " + kTestOps + "/libPassthrough.so " + quote(dir / c.input) + " -o " +
                                         quote(dir / c.output) + " --quiet " + c.options, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(run("ffprobe -v error -show_entries stream=pix_fmt -of csv=p=0 " + quote(dir / c.output)), c.pixFmt + "\n");
        if (c.note.empty()) EXPECT_EQ(r.err, "");
        else EXPECT_NE(r.err.find(": " + c.note), std::string::npos) << r.err;
        if (c.step < 0) continue;
        const std::string key = alphaBytes(dir / c.input), back = alphaBytes(dir / c.output);
        ASSERT_EQ(key.size(), 64u * 48 * 5);
        ASSERT_EQ(back.size(), key.size());
        int step = 0;
        for (size_t i = 0; i < key.size(); ++i) step = std::max(step, std::abs(int(uint8_t(back[i])) - int(uint8_t(key[i]))));
        EXPECT_LE(step, c.step);
    }
}

// ---------------------------------------------------------------------------
// Joined chunks sound like the whole render: the sound starts where the
// whole render's does, and no click marks where one chunk meets the next.

std::vector<int16_t> samples(const std::string& path) {
    const std::string raw = run("ffmpeg -v error -i " + quote(path) + " -map 0:a:0 -ac 1 -ar 48000 -f s16le -");
    std::vector<int16_t> out(raw.size() / 2);
    std::memcpy(out.data(), raw.data(), out.size() * 2);
    return out;
}

// The shift of `b` against `a`, in samples, that matches them best.
int bestLag(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int range) {
    int best = 0;
    double bestScore = -1e300;
    const int n = int(std::min<size_t>(std::min(a.size(), b.size()), 9600)) - range;
    for (int lag = -range; lag <= range; ++lag) {
        double score = 0;
        for (int i = range; i < n; ++i) score += double(a[size_t(i)]) * double(b[size_t(i + lag)]);
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

// The largest step from one sample to the next (a high pass) within
// `radius` samples of `at`.
int peakStep(const std::vector<int16_t>& s, size_t at, size_t radius) {
    int peak = 0;
    for (size_t i = at > radius ? at - radius : 1; i < std::min(s.size(), at + radius); ++i) {
        peak = std::max(peak, std::abs(int(s[i]) - int(s[i - 1])));
    }
    return peak;
}

struct JoinAudioCase {
    const char* name;
    std::string audio;  // ffmpeg options of the input's audio
    std::string input, extension;
};

void PrintTo(const JoinAudioCase& c, std::ostream* out) { *out << c.name; }

class JoinedAudio : public testing::TestWithParam<JoinAudioCase> {};

TEST_P(JoinedAudio, SoundsLikeTheWholeRender) {
    REQUIRE_FFMPEG();
    const JoinAudioCase& c = GetParam();
    TempDir dir;
    makeClip(dir / c.input, "testsrc2=size=192x144:rate=25:duration=1",
             "-f lavfi -i sine=frequency=440:duration=1:sample_rate=48000 " + c.audio + " -shortest");
    const std::string render = "render Dye " + quote(dir / c.input) + " --quiet -o ";
    ASSERT_EQ(runFieldfx(render + quote(dir / ("whole" + c.extension)), dir).status, 0);
    std::string chunks;
    for (int k = 1; k <= 3; ++k) {
        const std::string chunk = dir / ("chunk" + std::to_string(k) + c.extension);
        const Outcome r = runFieldfx(render + quote(chunk) + " --chunk " + std::to_string(k) + "/3", dir);
        ASSERT_EQ(r.status, 0) << r.err;
        chunks += " " + quote(chunk);
    }
    const Outcome joined = runFieldfx("join " + quote(dir / ("joined" + c.extension)) + chunks, dir);
    ASSERT_EQ(joined.status, 0) << joined.err;
    // The audio codec and the video stream of the whole render.
    EXPECT_EQ(streams(dir / ("joined" + c.extension)), streams(dir / ("whole" + c.extension)));

    const std::vector<int16_t> whole = samples(dir / ("whole" + c.extension));
    const std::vector<int16_t> join = samples(dir / ("joined" + c.extension));
    ASSERT_GT(whole.size(), 40000u);
    ASSERT_NEAR(double(join.size()), double(whole.size()), 48.0);
    EXPECT_LE(std::abs(bestLag(whole, join, 480)), 48) << "more than 1 ms apart";
    // Chunks of 25 frames in three: frames 0-8, 9-16, 17-24.
    for (int frame : {9, 17}) {
        const size_t at = size_t(frame) * 48000 / 25;
        const double wholePeak = peakStep(whole, at, 480), joinPeak = peakStep(join, at, 480);
        ASSERT_GT(wholePeak, 0);
        EXPECT_LE(20 * std::log10(joinPeak / wholePeak), 1.0) << "at frame " << frame << ": " << joinPeak << " against "
                                                               << wholePeak;
    }
}

const JoinAudioCase kJoinAudio[] = {
    {"AacInMp4", "-c:a aac", "in.mp4", ".mp4"},
    {"AacInMkv", "-c:a aac", "in.mp4", ".mkv"},
    {"PcmInMov", "-c:v ffv1 -c:a pcm_s16le", "in.mov", ".mov"},
};

INSTANTIATE_TEST_SUITE_P(Join, JoinedAudio, testing::ValuesIn(kJoinAudio),
                         [](const testing::TestParamInfo<JoinAudioCase>& info) { return std::string(info.param.name); });

}  // namespace
