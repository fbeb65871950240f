#include "Worker.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Error.h"

namespace fieldfx {

namespace {

// Frames go to the workers in turn. An operator whose fields depend only on
// their position hands them out one by one; one that replays (Patina) hands
// out stretches of frames, each of which its worker starts by skipping ahead
// in the run (replay, then at most kLeadInFrames discarded renders). The
// stretches are short: every frame in flight holds a slot, and a few slots
// used again and again stay in the processor's caches and are mapped once,
// where long stretches (32 frames were tried) touch fresh shared memory for
// every frame and cost more than the lead-ins they save.
constexpr int64_t kStretchFrames = 4;

class WorkerProcess {
public:
    WorkerProcess(const RenderJob& job, const VideoFormat& output, SharedSlots& slots, int reports)
        : job_(job), output_(output), slots_(slots), reports_(reports), run_(job.run),
          inputs_(job.inputs.size()), leadIn_(job.inputs.size()) {}

    // Renders every frame it is given until the command pipe ends.
    [[noreturn]] void serve(int commands) {
        if (const std::string why = run_.start(); !why.empty()) {
            send(REPORT_FAILED, -1, 0, why);
            _exit(1);
        }
        int64_t frame = -1;
        try {
            while (readAll(commands, &frame, sizeof frame)) renderFrame(frame);
            run_.finish();
            _exit(0);
        } catch (const UserError& e) {
            send(REPORT_FAILED, frame, 0, e.reason());
        } catch (const std::exception& e) {
            send(REPORT_FAILED, frame, 0, e.what());
        } catch (...) {
        }
        _exit(1);
    }

private:
    void send(int32_t kind, int64_t frame, int place, const std::string& text) {
        Report report;
        report.kind = kind;
        report.frame = frame;
        report.place = place;
        std::snprintf(report.text, sizeof report.text, "%s", text.c_str());
        if (!writeAll(reports_, &report, sizeof report)) _exit(1);
    }

    [[noreturn]] void failed(int64_t frame, int place, const std::string& why) {
        send(REPORT_FAILED, frame, place, why);
        run_.finish();
        _exit(1);
    }

    // A frame's inputs straight from its slot: stored frames are split from
    // there, without a copy.
    std::vector<InputFrame>& load(int64_t frame, std::vector<InputFrame>& into) {
        for (size_t i = 0; i < into.size(); ++i) {
            into[i].fields[0].reset();
            into[i].fields[1].reset();
            into[i].storedFormat = &job_.inputs[i]->format();
            into[i].bytes = slots_.inputBytes(frame, i);
        }
        return into;
    }

    void renderFrame(int64_t frame) {
        // The first frame of a stretch: skip over the frames of the others.
        if (frame != run_.nextFrame()) {
            const std::string why = run_.seek(frame, [&](int64_t f) -> std::vector<InputFrame>& { return load(f, leadIn_); });
            if (!why.empty()) failed(frame, 0, why);
        }
        load(frame, inputs_);
        for (InputFrame& input : inputs_) run_.prepareFields(input);
        for (int place = 0; place < 2; ++place) {
            if (const std::string why = run_.renderField(inputs_, frame, place, rendered_); !why.empty()) {
                failed(frame, place, why);
            }
            send(REPORT_FIELD, frame, place, "");
        }
        run_.packOutput(&output_, rendered_, slots_.outputBytes(frame));
        send(REPORT_FRAME, frame, 0, "");
    }

    const RenderJob& job_;
    const VideoFormat& output_;
    SharedSlots& slots_;
    const int reports_;
    Run run_;
    std::vector<InputFrame> inputs_, leadIn_;
    OutputFrame rendered_;
};

}  // namespace

int64_t stretchFrames(const RenderJob& job) {
    return runSplitOf(*job.run.op) == RunSplit::Replay ? kStretchFrames : 1;
}

void workerMain(const RenderJob& job, const VideoFormat& output, SharedSlots& slots, int commands, int reports) {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_IGN);  // the parent decides when the run stops
    signal(SIGPIPE, SIG_IGN);
    keepOnlyWorkerDescriptors(commands, reports);
    slots.populate();
    try {
        WorkerProcess(job, output, slots, reports).serve(commands);
    } catch (...) {
    }
    _exit(1);
}

}  // namespace fieldfx
