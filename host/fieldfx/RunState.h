// One run of an operator as every rendering path drives it: the request it
// is given, the host that serves it, and commands 1, 3 and 2. Also how each
// frame of the run comes in from the inputs and goes out to the output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FieldConvert.h"
#include "Render.h"
#include "RenderHost.h"

namespace fieldfx {

// One input's frame of the run: the stored frame when the source stores
// frames (`bytes` points at it, in `stored` or wherever the caller keeps
// it), else the full picture; and its two fields as the operator sees them.
struct InputFrame {
    Frame stored;
    const uint8_t* bytes = nullptr;
    Picture picture;
    ImagePtr fields[2];  // by field index; each handed out at its first fetch
    ConvertScratch scratch;
};

// The fields of frame `frame` as rendered, by field index, and the frame
// they make for the output.
struct OutputFrame {
    ImagePtr fields[2];
    Frame stored;
    Picture picture;
    ConvertScratch scratch;
};

// What a run needs besides the operator's own state: the request it is
// given and the host that serves it.
struct RunState {
    explicit RunState(const RenderJob& j);

    // Command 1. Returns an empty text, or why it failed.
    std::string start();

    // The fields of an input's frame as the operator sees them: split from
    // the stored frame or the picture, region applied, scaled. Safe to call
    // on another thread than the one rendering (it touches only `frame`).
    void prepareFields(size_t input, InputFrame& frame) const;

    // Command 3 for the field at `place` (0 or 1) of frame `frame`, into
    // `output`. The settings' values at this position are written into the
    // descriptors first. Returns an empty text, or why it failed.
    std::string renderField(std::vector<InputFrame>& inputs, int64_t frame, int place, OutputFrame& output);

    // Packs the two rendered fields into a stored frame of `stored` (at
    // `into`, frameBytes(*stored) bytes, or else in output.stored), or
    // without a stored format into output.picture.
    void packOutput(const VideoFormat* stored, OutputFrame& output, uint8_t* into = nullptr) const;

    // Command 2, and every image the operator kept is reclaimed.
    void finish();

    // The input frames of an earlier frame of the run, for the renders
    // that lead in to a frame (see advanceTo).
    using InputsOf = std::function<std::vector<InputFrame>&(int64_t frame)>;

    // Brings the run to the first field of frame `frame`, at or after the
    // next call, as if every call before it had been rendered. For an
    // operator whose fields depend only on their position that is nothing;
    // for one with OperatorReplay it is the replay of the calls in between
    // and the renders, discarded, from the last update among them on, which
    // ask `inputsOf` for frames from frame - 2 on. With command 1 before
    // it (startAt), a run starts at any frame: this is how the worker
    // processes and the chunks of a run begin. Returns an empty text, or why
    // it failed.
    std::string advanceTo(int64_t frame, const InputsOf& inputsOf);
    std::string startAt(int64_t frame, const InputsOf& inputsOf);

    const RenderJob& job;
    RenderHost host{&g_abortRequested};
    OperatorRequest request{};
    int64_t nextCall = 0;  // call i renders field i % 2 of run frame i / 2
};

// Frames before a frame of the run whose fields advanceTo may render.
constexpr int64_t kLeadInFrames = 2;

// Whether a run can start at any frame: its operator's fields depend only
// on their position, or it replays and no setting changes over the run
// (the replay reads the settings once for all the calls it passes over).
bool startsAnywhere(const RenderJob& job);

// Skips every input to frame `frame` of the run.
void skipToFrame(const RenderJob& job, int64_t frame);

// Reads frame `frame` of the run from every input: `readInput(i)` reads the
// next frame of input i wherever the caller keeps it, and returns false at
// the end of that input. Returns an empty text, or why it could not; an
// interrupted read is not a fault (the caller checks g_abortRequested).
std::string readFrame(const RenderJob& job, int64_t frame, const std::function<bool(size_t input)>& readInput);

// Reads the next frame of input `input` into `frame`: the stored frame when
// the source stores frames, else the picture. False at the end.
bool readInputFrame(const RenderJob& job, size_t input, InputFrame& frame);

}  // namespace fieldfx
