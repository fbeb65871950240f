// The processes fieldfx starts: ffmpeg and ffprobe children whose set-up
// fails at any step (made to fail by a preloaded library), worker processes
// that hold no descriptor but their own, also where the kernel has no
// close_range, there is no /proc or fieldfx runs without standard input or
// output; and stop signals held back on one thread only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CliFixture.h"
#include "FfmpegFixture.h"
#include "Stop.h"

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

// A worker holds its standard streams and its two pipes: a descriptor
// fieldfx inherited (here 77) is closed, with close_range or without it,
// with /proc or without it, and a worker started while fieldfx had no
// standard input or output renders as the others do.
TEST(WorkerDescriptors, OnlyTheirOwnAreHeld) {
    TempDir dir;
    Clip clip;
    clip.frames = 6;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string render = "render " + quote(kTestOps + "/libPassthrough.so") + " " + quote(dir / "in.y4m") + " --quiet";
    ASSERT_EQ(runFieldfx(render + " -j 1 -o " + quote(dir / "one.y4m"), dir).status, 0);
    const int inherited = open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(inherited, 77), 77);
    close(inherited);
    struct Case {
        std::string env, redirections;
    };
    std::vector<Case> cases = {
        {"", ""},
        {failing("close_range"), ""},
        {"", " <&- >&-"},
    };
    // Without /proc, where a mount namespace of its own can be had (and
    // not under AddressSanitizer, whose leak check reads /proc).
    const std::string noProc = "unshare -m sh -c 'umount -l /proc && exec \"$0\" \"$@\"' ";
#if !defined(__SANITIZE_ADDRESS__)
    if (std::system("unshare -m true 2>/dev/null") == 0) cases.push_back({noProc, ""});
#endif
    for (const Case& c : cases) {
        std::remove((dir / "census.txt").c_str());
        const Outcome r = runFieldfx(render + " -j 2 -o " + quote(dir / "two.y4m") + c.redirections, dir,
                                     "timeout 60 env FAKE_FD_CENSUS=" + quote(dir / "census.txt") + " " + c.env);
        EXPECT_EQ(r.status, 0) << c.env << c.redirections << "\n" << r.err;
        EXPECT_TRUE(readFile(dir / "two.y4m") == readFile(dir / "one.y4m")) << c.env << c.redirections;
        std::istringstream census(readFile(dir / "census.txt"));
        int workers = 0;
        for (std::string line; std::getline(census, line); ++workers) {
            std::istringstream fds(line);
            std::vector<int> open;
            for (int fd; fds >> fd;) open.push_back(fd);
            EXPECT_EQ(open.size(), 5u) << line;  // 0, 1, 2 and the two pipes
            EXPECT_EQ(std::count(open.begin(), open.end(), 77), 0) << line;
        }
        EXPECT_EQ(workers, 2) << c.env << c.redirections;
    }
    close(77);
}

// SignalsHeld blocks the stop signals on its own thread only: another
// thread takes them meanwhile.
TEST(StopSignals, AreHeldBackOnOneThreadOnly) {
    auto blocked = [] {
        sigset_t now;
        pthread_sigmask(SIG_BLOCK, nullptr, &now);
        return sigismember(&now, SIGINT) == 1 && sigismember(&now, SIGTERM) == 1 && sigismember(&now, SIGHUP) == 1;
    };
    std::atomic<int> step{0};
    bool otherBlocked = true;
    std::thread other([&] {
        while (step != 1) std::this_thread::yield();
        otherBlocked = blocked();
        step = 2;
    });
    {
        fieldfx::SignalsHeld held;
        EXPECT_TRUE(blocked());
        step = 1;
        while (step != 2) std::this_thread::yield();
    }
    other.join();
    EXPECT_FALSE(otherBlocked);
    EXPECT_FALSE(blocked());
}

}  // namespace
