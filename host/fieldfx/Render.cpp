// The run as a whole: the stop request, the one-process loop, and the choice
// between it and the worker processes.
#include "Render.h"

#include <malloc.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "Background.h"
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

// Frames go through in a pipeline: while the operator renders frame f on
// this thread, one background thread reads and splits frame f + 1 and
// another packs and writes frame f - 1. Everything reaches the operator and
// the output in the same order as one frame after another; a failure is
// reported as the first one in that order, and a stop request ends the run
// where it would have ended without the pipeline: after the current field,
// or at once when the run waits for input, with every frame rendered written.
RenderResult renderInOneProcess(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    const int64_t begin = chunkBegin(job), end = chunkEnd(job);
    if (begin > 0 && !startsAnywhere(job)) throw UserError(job.op->name(), "its run cannot start past frame 0");
    // A chunk of a run that replays may render the frames just before it
    // again, discarded, to bring the state along: those are read first.
    const int64_t leadFrom = job.op->replay() != nullptr ? std::max<int64_t>(0, begin - kLeadInFrames) : begin;
    skipToFrame(job, leadFrom);
    std::vector<std::vector<InputFrame>> leadIn(size_t(begin - leadFrom));
    for (int64_t frame = leadFrom; frame < begin; ++frame) {
        std::vector<InputFrame>& in = leadIn[size_t(frame - leadFrom)];
        in.resize(job.inputs.size());
        const std::string why = readFrame(job, frame, [&](size_t i) { return readInputFrame(job, i, in[i]); });
        if (g_abortRequested) return RenderResult{0, 0, true};
        if (!why.empty()) throw UserError(job.op->name(), why);
    }
    RunState run(job);

    const VideoFormat* storedOut = sink.storedFormat();
    std::vector<InputFrame> inputs[2] = {std::vector<InputFrame>(job.inputs.size()),
                                         std::vector<InputFrame>(job.inputs.size())};
    OutputFrame outputs[2];
    std::string readProblem[2], writeProblem[2];  // per slot, from the background
    uint64_t reading[2] = {0, 0}, writing[2] = {0, 0};
    Background reader, writer;

    // A frame's write is never cut short (the sinks hold the stop signals
    // back while they write): the writer is waited for, not interrupted.
    const auto never = std::chrono::hours(24 * 365);
    auto fail = [&](const std::string& why) {
        reader.cancel();
        writer.waitAll(never);
        run.finish();
        throw UserError(job.op->name(), why);
    };
    const std::string startProblem = run.startAt(begin, [&](int64_t frame) -> std::vector<InputFrame>& {
        if (frame < leadFrom || frame >= begin) throw UserError(job.op->name(), "the lead-in asked for frame " + std::to_string(frame));
        return leadIn[size_t(frame - leadFrom)];
    });
    if (!startProblem.empty()) fail(startProblem);
    leadIn.clear();
    // A failure at frame `frame` is reported unless writing a frame before
    // it failed: that came first.
    auto failAt = [&](std::string why, int64_t frame) {
        writer.waitAll(never);
        for (int64_t earlier = std::max<int64_t>(begin, frame - 2); earlier < frame; ++earlier) {
            if (!writeProblem[earlier % 2].empty()) {
                why = writeProblem[earlier % 2];
                break;
            }
        }
        fail(why);
    };
    auto readAhead = [&](int64_t frame) {
        const int slot = int(frame % 2);
        reading[slot] = reader.run([&job, &run, &in = inputs[slot], &why = readProblem[slot], frame] {
            why = readFrame(job, frame, [&](size_t i) { return readInputFrame(job, i, in[i]); });
            if (!why.empty() || g_abortRequested) return;
            try {
                for (size_t i = 0; i < in.size(); ++i) run.prepareFields(i, in[i]);
            } catch (const std::exception& e) {
                why = e.what();
            }
        });
    };

    RenderResult result;
    if (begin < end) readAhead(begin);
    for (int64_t frame = begin; frame < end && !g_abortRequested; ++frame) {
        const int slot = int(frame % 2);
        if (frame + 1 < end) readAhead(frame + 1);
        reader.wait(reading[slot], std::chrono::milliseconds(0));
        if (g_abortRequested) break;  // an interrupted read is the stop, not a fault
        if (!readProblem[slot].empty()) failAt(readProblem[slot], frame);
        writer.wait(writing[slot], never);  // frame - 2 is written: its slot is free again
        if (!writeProblem[slot].empty()) failAt(writeProblem[slot], frame);

        OutputFrame& output = outputs[slot];
        for (int place = 0; place < 2; ++place) {
            if (const std::string why = run.renderField(inputs[slot], frame, place, output); !why.empty()) {
                failAt(why, frame);
            }
            ++result.fieldsRendered;
            if (progress) progress(result.fieldsRendered);
            if (g_abortRequested) break;  // stop after the current field
        }
        if (g_abortRequested && result.fieldsRendered % 2 != 0) break;  // drop the half frame
        writing[slot] = writer.run([&run, &sink, &output, storedOut, &why = writeProblem[slot]] {
            try {
                run.packOutput(storedOut, output);
                if (storedOut != nullptr) {
                    sink.writeStored(output.stored);
                } else {
                    sink.write(output.picture);
                }
            } catch (const std::exception& e) {
                why = e.what();
            }
        });
        ++result.framesWritten;
    }
    reader.cancel();  // a frame read ahead that the run will not use
    writer.waitAll(never);
    const int64_t done = begin + result.framesWritten;
    for (int64_t frame = std::max<int64_t>(begin, done - 2); frame < done; ++frame) {
        if (!writeProblem[frame % 2].empty()) fail(writeProblem[frame % 2]);
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
    // Every frame allocates and frees the same few field-sized images. Kept
    // on the heap and not handed back to the system, their memory is reused
    // as it is, instead of being mapped and faulted in afresh each frame.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    if (job.jobs > 1 && chunkEnd(job) - chunkBegin(job) > 1 && startsAnywhere(job)) {
        return renderInWorkers(job, sink, progress);
    }
    return renderInOneProcess(job, sink, progress);
}

}  // namespace fieldfx
