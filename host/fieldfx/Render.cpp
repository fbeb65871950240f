// The run as a whole: the stop request, the one-process loop, and the choice
// between it and the worker processes.
#include "Render.h"

#include <signal.h>

#include <algorithm>

#include <string>
#include <vector>

#include "Catalogue.h"
#include "Error.h"
#include "RunState.h"
#include "WorkerPool.h"

namespace fieldfx {

std::atomic<bool> g_abortRequested{false};
std::atomic<int> g_stopSignal{0};

namespace {

void onStopSignal(int signal) {
    if (g_stopSignal == 0) g_stopSignal = signal;
    g_abortRequested = true;
}

}  // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a blocked read returns and the run stops
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int stopExitStatus() { return 128 + (g_stopSignal != 0 ? int(g_stopSignal) : SIGINT); }

void scaledFieldSize(const VideoFormat& format, int num, int den, int& width, int& height) {
    width = int(int64_t(format.width) * num / den);
    height = int(int64_t(format.height / 2) * num / den);
    if (chromaShiftX(format.chroma)) width &= ~1;
    if (chromaShiftY(format.chroma)) height &= ~1;
}

namespace {

RenderResult renderInOneProcess(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    const int64_t begin = chunkBegin(job), end = chunkEnd(job);
    if (begin > 0 && !startsAnywhere(job)) throw UserError(job.op->name(), "its run cannot start past frame 0");
    // A chunk of a run that replays may render the frames just before it
    // again, discarded, to bring the state along: those are read first.
    const int64_t leadFrom = job.op->replay() != nullptr ? std::max<int64_t>(0, begin - kLeadInFrames) : begin;
    skipToFrame(job, leadFrom);
    std::vector<std::vector<Picture>> leadIn(size_t(begin - leadFrom), std::vector<Picture>(job.inputs.size()));
    for (int64_t frame = leadFrom; frame < begin; ++frame) {
        std::vector<Picture>& pictures = leadIn[size_t(frame - leadFrom)];
        const std::string why = readFrame(job, frame, [&](size_t i) { return job.inputs[i]->read(pictures[i]); });
        if (g_abortRequested) return RenderResult{0, 0, true};
        if (!why.empty()) throw UserError(job.op->name(), why);
    }
    RunState run(job);
    auto fail = [&](const std::string& why) {
        run.finish();
        throw UserError(job.op->name(), why);
    };
    const std::string startProblem = run.startAt(begin, [&](int64_t frame) -> const std::vector<Picture>& {
        if (frame < leadFrom || frame >= begin) throw UserError(job.op->name(), "the lead-in asked for frame " + std::to_string(frame));
        return leadIn[size_t(frame - leadFrom)];
    });
    if (!startProblem.empty()) fail(startProblem);
    leadIn.clear();

    RenderResult result;
    Picture output;
    std::vector<Picture> pictures(job.inputs.size());
    for (int64_t frame = begin; frame < end && !g_abortRequested; ++frame) {
        const std::string readProblem = readFrame(job, frame, [&](size_t i) { return job.inputs[i]->read(pictures[i]); });
        if (g_abortRequested) break;  // an interrupted read is the stop, not a fault
        if (!readProblem.empty()) fail(readProblem);
        output.resize(job.outputFormat.width, job.outputFormat.height);
        for (int place = 0; place < 2; ++place) {
            if (const std::string why = run.renderField(pictures, frame, place, output); !why.empty()) fail(why);
            ++result.fieldsRendered;
            if (progress) progress(result.fieldsRendered);
            if (g_abortRequested) break;  // stop after the current field
        }
        if (g_abortRequested && result.fieldsRendered % 2 != 0) break;  // drop the half frame
        try {
            sink.write(output);
        } catch (const UserError& e) {
            fail(e.what());
        }
        ++result.framesWritten;
    }
    result.aborted = g_abortRequested;
    run.finish();
    return result;
}

}  // namespace

int64_t chunkBegin(const RenderJob& job) { return job.chunkBegin; }
int64_t chunkEnd(const RenderJob& job) { return job.chunkEnd < 0 ? job.frames : job.chunkEnd; }

void chunkRange(int64_t frames, int k, int n, int64_t& begin, int64_t& end) {
    begin = frames * (k - 1) / n;
    end = frames * k / n;
}

bool rendersInWorkers(const OperatorLibrary& op) {
    // An operator known to render any field on its own, or one that brings
    // its state to any field through its replay; one whose fields may
    // depend on the fields before them renders in order in one process.
    return runSplitOf(op) != RunSplit::OneProcess;
}

RenderResult runRender(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    if (job.jobs > 1 && chunkEnd(job) - chunkBegin(job) > 1 && startsAnywhere(job)) {
        return renderInWorkers(job, sink, progress);
    }
    return renderInOneProcess(job, sink, progress);
}

}  // namespace fieldfx
