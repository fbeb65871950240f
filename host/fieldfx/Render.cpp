// The run as a whole: the stop request, the one-process loop, and the choice
// between it and the worker processes.
#include "Render.h"

#include <signal.h>

#include <cctype>
#include <string>
#include <vector>

#include "Error.h"
#include "RunState.h"
#include "WorkerPool.h"

namespace fieldfx {

std::atomic<bool> g_abortRequested{false};

namespace {

void onInterrupt(int) { g_abortRequested = true; }

}  // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a blocked read returns and the run stops
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void scaledFieldSize(const VideoFormat& format, int num, int den, int& width, int& height) {
    width = int(int64_t(format.width) * num / den);
    height = int(int64_t(format.height / 2) * num / den);
    if (chromaShiftX(format.chroma)) width &= ~1;
    if (chromaShiftY(format.chroma)) height &= ~1;
}

namespace {

RenderResult renderInOneProcess(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    skipToFirstFrame(job);
    RunState run(job);
    auto fail = [&](const std::string& why) {
        run.finish();
        throw UserError(job.op->name(), why);
    };
    if (const std::string why = run.start(); !why.empty()) throw UserError(job.op->name(), why);

    RenderResult result;
    Picture output;
    std::vector<Picture> pictures(job.inputs.size());
    for (int64_t frame = 0; frame < job.frames && !g_abortRequested; ++frame) {
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

bool rendersInWorkers(const OperatorLibrary& op) {
    // Patina's fields depend on the fields rendered before them in the same
    // library; every other operator's field depends only on its position.
    std::string name = op.name();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name != "patina";
}

RenderResult runRender(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    if (job.jobs > 1 && job.frames > 1 && rendersInWorkers(*job.op)) {
        return renderInWorkers(job, sink, progress);
    }
    return renderInOneProcess(job, sink, progress);
}

}  // namespace fieldfx
