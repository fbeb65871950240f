// Rendering with worker processes. Each worker is a fork of this process
// made before the run starts, so it has its own copy of the operator
// library's statics and its own host backend. The parent reads the inputs,
// puts each frame's pictures into a slot of shared memory and hands the
// frame's index to a worker; the worker runs command 3 for the frame's two
// fields exactly as the single process does and reports on a pipe after
// each field and when the frame is in the slot. The parent writes the frames
// in order. Frame f goes to worker f % workers; for an operator that replays
// (Patina), stretches of frames go to the workers in turn, and a worker
// starts each of its stretches by skipping ahead in its run to the
// stretch's first frame (Run::seek), so every field is the one a
// run in one process gives.
#pragma once

#include "Render.h"

namespace fieldfx {

RenderResult renderInWorkers(const RenderJob& job, FrameSink& sink, const ProgressFn& progress);

}  // namespace fieldfx
