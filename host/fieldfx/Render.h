// One run of an operator over a clip: command 1, command 3 for every field
// position in display order, command 2. RunState.h drives the operator,
// RenderHost.h serves its calls, WorkerPool.h renders in worker processes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Media.h"
#include "Operator.h"
#include "Values.h"
#include "Video.h"

namespace fieldfx {

struct Region {
    int left = 0, top = 0, width = 0, height = 0;
    bool set = false;
};

struct RenderJob {
    OperatorLibrary* op = nullptr;
    std::vector<FrameSource*> inputs;  // one, or two for a transition
    std::vector<Setting> settings;
    int64_t firstFrame = 0;
    int64_t frames = 0;                // frames in the run
    // The stretch of the run this render writes, in frames of the run:
    // [chunkBegin, chunkEnd), the whole run when chunkEnd is -1. Positions,
    // fades and operator state are those of the whole run.
    int64_t chunkBegin = 0;
    int64_t chunkEnd = -1;
    VideoFormat fieldFormat;           // input format, field order applied
    VideoFormat outputFormat;          // what the sink is written in
    Region region;                     // valid region in source field coordinates
    int scaleNum = 1, scaleDen = 1;
    bool scaled = false;
    int jobs = 1;                      // worker processes for operators that allow them
};

// The frames of the run that a render writes.
int64_t chunkBegin(const RenderJob& job);
int64_t chunkEnd(const RenderJob& job);

// Chunk `k` (1-based) of `n` nearly equal pieces of a run of `frames`
// frames, in whole frames: [begin, end).
void chunkRange(int64_t frames, int k, int n, int64_t& begin, int64_t& end);

struct RenderResult {
    int64_t framesWritten = 0;
    int64_t fieldsRendered = 0;
    bool aborted = false;
};

// Called after every field with the number of fields done.
using ProgressFn = std::function<void(int64_t done)>;

// Runs the job into `sink` (committed only after a complete or aborted run).
// Throws UserError on failure, naming the operator and position.
RenderResult runRender(const RenderJob& job, FrameSink& sink, const ProgressFn& progress);

// Whether the operator's fields may be rendered by separate worker
// processes: for an operator known to render any field on its own, or one
// whose library brings its run state to any field (OperatorReplay). An
// operator the host does not know renders in one process.
bool rendersInWorkers(const OperatorLibrary& op);

// Set by the SIGINT, SIGTERM and SIGHUP handler; opChkAbort reports it and
// the run stops after the current field and finishes its output. The first
// of those signals is kept for the exit status, 128 + its number (130, 143,
// 129).
extern std::atomic<bool> g_abortRequested;
extern std::atomic<int> g_stopSignal;
void installInterruptHandler();
int stopExitStatus();

// Size of a field after --scale, adjusted to what the output layout needs.
void scaledFieldSize(const VideoFormat& format, int num, int den, int& width, int& height);

}  // namespace fieldfx
