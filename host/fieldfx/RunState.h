// One run of an operator as every rendering path drives it: the request it
// is given, the host that serves it, and commands 1, 3 and 2. Also the reads
// that bring each frame of the run in from the inputs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Render.h"
#include "RenderHost.h"

namespace fieldfx {

// The field of a frame as the operator sees it: region applied, scaled.
ImagePtr prepareField(const Picture& picture, int field, const RenderJob& job, int width, int height);

// What a run needs besides the operator's own state: the request it is
// given and the host that serves it.
struct RunState {
    explicit RunState(const RenderJob& j);

    // Command 1. Returns an empty text, or why it failed.
    std::string start();

    // Command 3 for the field at `place` (0 or 1) of frame `frame`, woven
    // into `output`. The settings' values at this position are written into
    // the descriptors first. Returns an empty text, or why it failed.
    std::string renderField(const std::vector<Picture>& pictures, int64_t frame, int place, Picture& output);

    // Command 2, and every image the operator kept is reclaimed.
    void finish();

    const RenderJob& job;
    RenderHost host{&g_abortRequested};
    OperatorRequest request{};
};

// Skips every input to the first frame of the run.
void skipToFirstFrame(const RenderJob& job);

// Reads frame `frame` of the run from every input: `readInput(i)` reads the
// next frame of input i wherever the caller keeps it, and returns false at
// the end of that input. Returns an empty text, or why it could not; an
// interrupted read is not a fault (the caller checks g_abortRequested).
std::string readFrame(const RenderJob& job, int64_t frame, const std::function<bool(size_t input)>& readInput);

}  // namespace fieldfx
