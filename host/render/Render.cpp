#include "Render.h"

#include <malloc.h>

#include <algorithm>

#include "Error.h"
#include "OneProcess.h"
#include "WorkerPool.h"

namespace fieldfx {

void chunkRange(int64_t frames, int k, int n, int64_t& begin, int64_t& end) {
    begin = frames * (k - 1) / n;
    end = frames * k / n;
}

RenderResult runRender(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    // Every frame allocates and frees the same few field-sized images. Kept
    // on the heap and not handed back to the system, their memory is reused
    // as it is, instead of being mapped and faulted in afresh each frame.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    if (job.jobs > 1 && job.chunkEnd - job.chunkBegin > 1 && startsAnywhere(job.run)) {
        return renderInWorkers(job, sink, progress);
    }
    return renderInOneProcess(job, sink, progress);
}

int64_t leadInStart(const RenderJob& job) {
    const bool replays = runSplitOf(*job.run.op) == RunSplit::Replay;
    return replays ? std::max<int64_t>(0, job.chunkBegin - kLeadInFrames) : job.chunkBegin;
}

void skipToFrame(const RenderJob& job, int64_t frame) {
    for (FrameSource* source : job.inputs) {
        if (!source->skipFrames(job.firstFrame + frame)) {
            throw UserError(source->name(), frame == 0 ? "ends before the start of the run"
                                                       : "ends before frame " + std::to_string(frame) + " of the run");
        }
    }
}

FrameRead readFrame(const RenderJob& job, int64_t frame, const std::function<bool(size_t input)>& readInput) {
    FrameRead read;
    try {
        for (size_t i = 0; i < job.inputs.size(); ++i) {
            if (!readInput(i)) {
                if (job.inputs[i]->endedShort()) {
                    read.endedShort = true;
                } else {
                    read.problem = job.inputs[i]->name() + ": ended after " + std::to_string(job.firstFrame + frame) +
                                   " frames, before the end of the run";
                }
                return read;
            }
        }
    } catch (const UserError& e) {
        read.problem = e.what();
    }
    return read;
}

bool readInputFrame(const RenderJob& job, size_t input, InputFrame& frame) {
    FrameSource& source = *job.inputs[input];
    frame.storedFormat = &source.format();
    frame.stored.data.resize(frameBytes(source.format()));
    frame.bytes = frame.stored.data.data();
    return source.read(frame.stored.data.data());
}

}  // namespace fieldfx
