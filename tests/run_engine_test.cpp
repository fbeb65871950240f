// The run engine as every host drives it: a run entered at any frame, in any
// order, gives every frame exactly as a whole run rendered in order does.
// Driven through stand-in operators whose output shows their state (Tally,
// which replays; Hoard, which cannot) and through real ones (Patina, which
// replays; Blur, which keeps no state).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Error.h"
#include "Run.h"
#include "VideoFixtures.h"

namespace fieldfx {
namespace {

using Engine = fieldfx::Run;  // a test fixture has a Run() of its own

struct EngineCase {
    const char* library;  // in the built operators, or the stand-ins with a '/'
    Interlace scan;
    RunSplit split;
};

std::string libraryPath(const char* library) {
    const std::string name = library;
    return name.rfind("fake/", 0) == 0 ? std::string(FIELDFX_TEST_OPS_DIR) + "/lib" + name.substr(5) + ".so"
                                       : std::string(FIELDFX_LIB_DIR) + "/lib" + name + ".so";
}

class RunEngine : public ::testing::TestWithParam<EngineCase> {
protected:
    static constexpr int64_t kFrames = 24;

    void SetUp() override {
        op_ = OperatorLibrary::load(libraryPath(GetParam().library));
        ASSERT_EQ(runSplitOf(*op_), GetParam().split);
        format_ = format(32, 16, Chroma::C422, GetParam().scan);
        for (int64_t f = 0; f < kFrames; ++f) clip_.push_back(noiseFrame(format_, uint32_t(f) + 1));
        Engine whole(setup());
        ASSERT_EQ(whole.start(), "");
        for (int64_t f = 0; f < kFrames; ++f) wanted_.push_back(render(whole, f));
    }

    RunSetup setup() const {
        RunSetup s;
        s.op = op_.get();
        s.frames = kFrames;
        s.scan = format_.interlace;
        s.sourceWidth = s.outputWidth = format_.width;
        s.sourceHeight = s.outputHeight = format_.height;
        return s;
    }

    // Frame `frame` of the clip as the run's one input.
    std::vector<InputFrame>& inputs(int64_t frame) {
        held_.clear();
        held_.resize(1);
        held_[0].storedFormat = &format_;
        held_[0].bytes = clip_[size_t(frame)].data.data();
        return held_;
    }

    // Renders frame `frame` where the run stands, packed as stored.
    std::vector<uint8_t> render(Engine& run, int64_t frame) {
        std::vector<InputFrame>& in = inputs(frame);
        for (InputFrame& input : in) run.prepareFields(input);
        OutputFrame out;
        for (int place = 0; place < 2; ++place) EXPECT_EQ(run.renderField(in, frame, place, out), "") << frame;
        run.packOutput(&format_, out);
        return std::vector<uint8_t>(out.stored.data.begin(), out.stored.data.end());
    }

    // Seeks to `frame` with every earlier frame at hand, renders it and
    // compares it with the whole run's.
    void expectFrame(Engine& run, int64_t frame, const std::string& how) {
        ASSERT_EQ(run.seek(frame, [&](int64_t f) -> std::vector<InputFrame>& { return inputs(f); }), "") << how;
        EXPECT_TRUE(render(run, frame) == wanted_[size_t(frame)]) << how << ": frame " << frame;
    }

    std::unique_ptr<OperatorLibrary> op_;
    VideoFormat format_;
    std::vector<Frame> clip_;
    std::vector<std::vector<uint8_t>> wanted_;
    std::vector<InputFrame> held_;
};

// A host that asks for frames out of order (an editor scrubbing): forwards
// with gaps, backwards, and at random.
TEST_P(RunEngine, EveryOrderGivesTheFramesOfTheWholeRun) {
    std::vector<int64_t> orders[3];
    for (int64_t f = 0; f < kFrames; f += 3) orders[0].push_back(f);
    for (int64_t f = kFrames - 1; f >= 0; --f) orders[1].push_back(f);
    for (int64_t f = 0; f < kFrames; ++f) orders[2].push_back(f);
    std::shuffle(orders[2].begin(), orders[2].end(), std::mt19937(7));
    const char* names[3] = {"forwards with gaps", "backwards", "at random"};
    for (int i = 0; i < 3; ++i) {
        Engine run(setup());
        for (int64_t frame : orders[i]) expectFrame(run, frame, names[i]);
    }
}

// A run started at every frame of a short run, as worker stretches and
// chunks start, with only the frames a chunk reads before its first at
// hand; and with replays in short stretches, as a far seek makes them.
TEST_P(RunEngine, StartsAtEveryFrameWithOnlyTheLeadInAtHand) {
    for (const int64_t stretch : {int64_t(1) << 16, int64_t(16)}) {
        for (int64_t start = 0; start < kFrames; ++start) {
            Engine run(setup());
            run.setReplayStretch(stretch);
            ASSERT_EQ(run.start(), "");
            const bool replays = GetParam().split != RunSplit::OneProcess;
            const std::string why = run.seek(start, [&](int64_t f) -> std::vector<InputFrame>& {
                if (replays && (f < start - kLeadInFrames || f >= start)) {
                    throw UserError("lead-in", "frame " + std::to_string(f) + " asked for, starting at " +
                                                   std::to_string(start));
                }
                return inputs(f);
            });
            ASSERT_EQ(why, "") << "start " << start;
            for (int64_t frame = start; frame < kFrames; ++frame) {
                EXPECT_TRUE(render(run, frame) == wanted_[size_t(frame)])
                    << "start " << start << ", stretch " << stretch << ": frame " << frame;
            }
        }
    }
}

// A seek behind the run's next frame starts the run again for operators
// that keep state; one that cannot replay renders every call in between.
TEST_P(RunEngine, SeekingBackStartsAgainAndForwardCatchesUp) {
    Engine run(setup());
    expectFrame(run, kFrames - 1, "to the end");
    expectFrame(run, 1, "back");
    expectFrame(run, kFrames / 2, "forward");
    EXPECT_EQ(run.nextFrame(), kFrames / 2 + 1);
}

const EngineCase kEngineCases[] = {
    {"fake/Tally", Interlace::TopFirst, RunSplit::Replay},
    {"fake/Tally", Interlace::Progressive, RunSplit::Replay},
    {"fake/Hoard", Interlace::BottomFirst, RunSplit::OneProcess},
    {"Patina", Interlace::TopFirst, RunSplit::Replay},
    {"Patina", Interlace::Progressive, RunSplit::Replay},
    {"Blur", Interlace::BottomFirst, RunSplit::AnyField},
};

std::string caseName(const ::testing::TestParamInfo<EngineCase>& info) {
    const std::string library = info.param.library;
    const char* scans[] = {"Progressive", "TopFirst", "BottomFirst"};
    return library.substr(library.rfind('/') + 1) + "_" + scans[int(info.param.scan)];
}

INSTANTIATE_TEST_SUITE_P(Operators, RunEngine, ::testing::ValuesIn(kEngineCases), caseName);

}  // namespace
}  // namespace fieldfx
