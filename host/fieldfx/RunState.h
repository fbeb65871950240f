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

    const RenderJob& job;
    RenderHost host;
    OperatorRequest request{};
};

// Skips every input to the first frame of the run.
void skipToFirstFrame(const RenderJob& job);

// Reads frame `frame` of the run from every input: `readInput(i)` reads the
// next frame of input i wherever the caller keeps it, and returns false at
// the end of that input. Returns an empty text, or why it could not; an
// interrupted read is not a fault (the caller checks g_abortRequested).
std::string readFrame(const RenderJob& job, int64_t frame, const std::function<bool(size_t input)>& readInput);

// Reads the next frame of input `input` into `frame`: the stored frame when
// the source stores frames, else the picture. False at the end.
bool readInputFrame(const RenderJob& job, size_t input, InputFrame& frame);

}  // namespace fieldfx
