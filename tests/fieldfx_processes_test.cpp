// The processes fieldfx starts: ffmpeg and ffprobe children whose set-up
// fails at any step (made to fail by a preloaded library).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "FfmpegFixture.h"

using namespace fxtest;

namespace {

const std::string kFailingCalls = FIELDFX_TEST_FAILING_CALLS;

// The environment that makes `call` fail in fieldfx (and in fieldfx only:
// the library leaves the programs it starts alone).
std::string failing(const std::string& call) {
    return "FIELDFX_FAIL=" + call + " LD_PRELOAD=" + quote(kFailingCalls) +
           " ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" ";
}

TEST(ChildProcesses, EveryFailedSetUpStepIsReported) {
    REQUIRE_FFMPEG();
    TempDir dir;
    makeClip(dir / "in.mp4", "testsrc2=size=64x48:rate=25:duration=0.2", "-pix_fmt yuv420p");
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    const char* calls[] = {"posix_spawn_file_actions_init", "posix_spawn_file_actions_adddup2",
                           "posix_spawn_file_actions_addopen", "posix_spawnattr_init", "posix_spawnattr_setsigdefault",
                           "posix_spawnattr_setsigmask", "posix_spawnattr_setpgroup", "posix_spawnattr_setflags",
                           "posix_spawnp", "fdopen"};
    for (const char* call : calls) {
        // ffmpeg reading the input (with /dev/null as its standard input),
        // and ffmpeg writing the output.
        for (const auto& [input, output] : {std::pair{"in.mp4", "out.y4m"}, std::pair{"in.y4m", "out.mkv"}}) {
            if (output == std::string("out.mkv") && call == std::string("posix_spawn_file_actions_addopen")) continue;
            const Outcome r = runFieldfx("render Dye " + quote(dir / input) + " -o " + quote(dir / output), dir,
                                         "timeout 60 env " + failing(call));
            EXPECT_EQ(r.status, 1) << call << " " << input << "\n" << r.err;
            EXPECT_EQ(r.err.rfind("fieldfx: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(": cannot start ffmpeg: Cannot allocate memory\n"), std::string::npos) << call << "\n" << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_EQ(dir.files().size(), 2u) << call << " " << input << ": left a file";
            std::remove((dir / output).c_str());
        }
    }
}

}  // namespace
