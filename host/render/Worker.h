// One worker process of a render in worker processes (WorkerPool.h): it
// takes frame indices on its command pipe, renders each frame's two fields
// from the frame's slot into the slot, and reports on its report pipe after
// each field and each frame. A frame that does not follow its last one
// starts a stretch: the run is brought to it first (Run::seek), so every
// field is the one a run in one process gives.
#pragma once

#include "Render.h"
#include "WorkerProtocol.h"

namespace fieldfx {

// Frames handed to one worker in a row: one for an operator whose fields
// depend only on their positions; a short stretch for one that replays,
// which its worker starts by skipping ahead in its run (see WorkerPool.cpp).
int64_t stretchFrames(const RenderJob& job);

// The worker's whole life, in the forked process; never returns.
[[noreturn]] void workerMain(const RenderJob& job, const VideoFormat& output, SharedSlots& slots, int commands,
                             int reports);

}  // namespace fieldfx
