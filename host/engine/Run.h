// One run of an operator, as every host drives it: command 1, command 3 for
// each field at its run position with the settings of that position written
// into the descriptors first, command 2. The fieldfx program (in one
// process, in worker processes and in chunks), the frei0r plug-ins and the
// MLT module all render through this one class; what differs between them
// is only where their frames come from and go to.
//
// A run can also be entered part-way: seek() brings it to the first field
// of any frame, as if every call before had been rendered. Whether that is
// free (the fields depend only on their positions), a replay (the library
// exports OperatorReplay) or a render of every call before it is decided
// here, by runSplitOf() and startsAnywhere().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FieldConvert.h"
#include "Operator.h"
#include "RenderHost.h"
#include "Values.h"
#include "Video.h"

namespace fieldfx {

// The fields' valid region, in field pixels and rows of the source.
struct Region {
    int left = 0, top = 0, width = 0, height = 0;
    bool set = false;
};

// What a run is: the operator and its settings, how many frames, the
// material's scan and rate, and the fields' geometry.
struct RunSetup {
    OperatorLibrary* op = nullptr;
    std::vector<Setting> settings;  // keys at positions in fields
    int64_t frames = 1;             // frames in the run
    Interlace scan = Interlace::Progressive;
    Rational rate{25, 1};
    Rational aspect{0, 0};          // pixel aspect ratio; 0:0 unknown
    int sourceWidth = 0, sourceHeight = 0;  // of the inputs' frames
    int outputWidth = 0, outputHeight = 0;  // of the frames the rendered fields make
    Region region;
    int scaleNum = 1, scaleDen = 1;
    bool scaled = false;            // fields are scaled to outputWidth x outputHeight / 2
};

// Size of a field after --scale N/D, adjusted to what the output layout needs.
void scaledFieldSize(const VideoFormat& format, int num, int den, int& width, int& height);

// One input's frame of the run: a stored frame (`bytes` in `storedFormat`,
// kept in `stored` or wherever the caller keeps it), or the frame's two
// fields as the host made them (`given`, which it keeps), or else the full
// picture; and its two fields as the operator sees them.
struct InputFrame {
    const VideoFormat* storedFormat = nullptr;
    const uint8_t* bytes = nullptr;
    Frame stored;
    const FieldImage* given[2] = {nullptr, nullptr};
    Picture picture;
    ImagePtr fields[2];  // by field index; each handed out at its first fetch
    ConvertScratch scratch;
};

// The fields of a frame as rendered, by field index, and the frame they make.
struct OutputFrame {
    ImagePtr fields[2];
    Frame stored;
    Picture picture;
    ConvertScratch scratch;
};

// How a run of the operator may be entered part-way.
enum class RunSplit {
    AnyField,    // known stateless: any field renders on its own
    Replay,      // its library exports OperatorReplay: any frame after a replay
    OneProcess,  // stateful without a replay, or unknown: in order from the start
};
RunSplit runSplitOf(const OperatorLibrary& op);
// Why a run of the operator cannot start past its first field, for messages.
std::string whyInOrderOnly(const OperatorLibrary& op);

// Whether a run can start at any frame without rendering the frames before
// it: its fields depend only on their positions, or it replays and no
// setting changes over the run (the replay reads the settings once for all
// the calls it passes over).
bool startsAnywhere(const RunSetup& setup);

// Frames before a frame of the run whose fields a replaying seek may render.
constexpr int64_t kLeadInFrames = 2;

class Run {
public:
    // With `installHost` the run's host serves the process until the run is
    // destroyed; otherwise the caller installs it around every call
    // (OperatorCall), as hosts that render on several threads do.
    // opChkAbort reports `abortFlag` when there is one.
    explicit Run(RunSetup setup, const std::atomic<bool>* abortFlag = nullptr, bool installHost = true);
    ~Run();  // a run still started is finished
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    const RunSetup& setup() const { return setup_; }
    // New settings from the next call on (a host whose user moves a slider
    // while the run plays).
    void setSettings(std::vector<Setting> settings) { setup_.settings = std::move(settings); }
    RenderHost& host() { return host_; }
    bool started() const { return started_; }
    // The frame whose first field the next render call renders.
    int64_t nextFrame() const { return nextCall_ / 2; }

    // Command 1, with the settings at the first field written first. Returns
    // an empty text, or why it failed.
    std::string start();

    // The input frames of an earlier frame of the run, for the renders that
    // lead in to a frame (see seek).
    using InputsOf = std::function<std::vector<InputFrame>&(int64_t frame)>;

    // Brings the run to the first field of frame `frame`, as if every call
    // before it had been rendered: nothing for an operator whose fields
    // depend only on their positions; for one that replays, the replay of
    // the calls in between and the renders, discarded, from the last update
    // among them on (frames from frame - kLeadInFrames on, which it asks of
    // `inputsOf`); otherwise every call in between, rendered and discarded.
    // A frame before the next one starts the run again (for the operators
    // that keep state). Starts the run when it is not started. Returns an
    // empty text, or why it failed.
    std::string seek(int64_t frame, const InputsOf& inputsOf);

    // The fields of an input's frame as the operator sees them: split from
    // the stored frame or the picture, region applied, scaled. Touches only
    // `frame`, so it may run on another thread than the renders.
    void prepareFields(InputFrame& frame) const;

    // Command 3 for the field at `place` (0 or 1) of frame `frame`, into
    // `output`. Returns an empty text, or why it failed.
    std::string renderField(std::vector<InputFrame>& inputs, int64_t frame, int place, OutputFrame& output);

    // Packs the two rendered fields into a stored frame of `stored` (at
    // `into`, frameBytes(*stored) bytes, or else in output.stored), or
    // without a stored format into output.picture.
    void packOutput(const VideoFormat* stored, OutputFrame& output, uint8_t* into = nullptr) const;

    // Command 2, and every image the operator kept is reclaimed.
    void finish();

    // Calls listed to one OperatorReplay at most (a far seek replays in
    // stretches of this many, so its list stays small); tests set it lower.
    void setReplayStretch(int64_t calls) { replayStretch_ = calls < 16 ? 16 : calls; }

private:
    std::string failure(const std::string& what) const;
    std::string replayTo(int64_t target, int64_t& from);
    void writeSettings(int64_t position);

    RunSetup setup_;
    RenderHost host_;
    OperatorRequest request_{};
    int64_t nextCall_ = 0;  // call i renders field i % 2 of run frame i / 2
    bool started_ = false;
    int64_t replayStretch_ = int64_t(1) << 16;
};

// Holds the process-wide operator lock and installs a run's host for one
// scope: every call into an operator from a host that renders on several
// threads goes through one of these.
class OperatorCall {
public:
    explicit OperatorCall(Run& run) : lock_(operatorCallLock()), installed_(run.host()) {}

private:
    std::lock_guard<std::mutex> lock_;
    InstalledHost installed_;
};

}  // namespace fieldfx
