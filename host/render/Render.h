// Rendering a clip: frames read from the sources, through the run engine,
// written to the sink; in this process (with reading and writing on
// threads of their own) or in worker processes, whole runs or chunks of
// them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Run.h"
#include "Sinks.h"
#include "Sources.h"

namespace fieldfx {

struct RenderJob {
    RunSetup run;                       // the operator, its settings, the run's frames and geometry
    std::vector<FrameSource*> inputs;  // one, or two for a transition
    int64_t firstFrame = 0;            // the inputs' frame where the run starts
    // The stretch of the run this render writes, in frames of the run:
    // [chunkBegin, chunkEnd). Positions, fades and operator state are
    // those of the whole run.
    int64_t chunkBegin = 0;
    int64_t chunkEnd = 0;
    int jobs = 1;  // worker processes for operators that allow them
};

// Chunk `k` (1-based) of `n` nearly equal pieces of a run of `frames`
// frames, in whole frames: [begin, end).
void chunkRange(int64_t frames, int k, int n, int64_t& begin, int64_t& end);

struct RenderResult {
    int64_t framesWritten = 0;
    int64_t fieldsRendered = 0;
    bool aborted = false;
    bool endedShort = false;  // an input ended early; the frames before it were written (--allow-short)
};

// Called after every field with the number of fields done.
using ProgressFn = std::function<void(int64_t done)>;

// Runs the job into `sink` (the caller commits it). Throws UserError on
// failure, naming the operator and position.
RenderResult runRender(const RenderJob& job, FrameSink& sink, const ProgressFn& progress);

// Reading the inputs, for the renders in this process and in workers.
// Skips every input to frame `frame` of the run.
void skipToFrame(const RenderJob& job, int64_t frame);
// What reading a frame of the run from every input came to.
struct FrameRead {
    std::string problem;      // why it could not be read; empty when it was
    bool endedShort = false;  // an input ended early, and the run ends before this frame (--allow-short)
    bool ok() const { return problem.empty() && !endedShort; }
};
// Reads frame `frame` of the run from every input: `readInput(i)` reads the
// next frame of input i wherever the caller keeps it, and returns false at
// the end of that input. An interrupted read is not a fault (the caller
// checks g_abortRequested).
FrameRead readFrame(const RenderJob& job, int64_t frame, const std::function<bool(size_t input)>& readInput);
// Reads the next frame of input `input` into `frame`.
bool readInputFrame(const RenderJob& job, size_t input, InputFrame& frame);
// The first frame a render reads: the chunk's first, or for an operator
// that replays, up to kLeadInFrames before it.
int64_t leadInStart(const RenderJob& job);

}  // namespace fieldfx
