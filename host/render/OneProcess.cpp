// The run in this process. Frames go through in a pipeline: while the
// operator renders frame f on this thread, one background thread reads and
// splits frame f + 1 and another packs and writes frame f - 1. Everything
// reaches the operator and the output in the same order as one frame after
// another; a failure is reported as the first one in that order, and a stop
// request ends the run where it would have ended without the pipeline:
// after the current field, or at once when the run waits for input, with
// every frame rendered written.
#include "OneProcess.h"

#include <algorithm>
#include <chrono>

#include "Background.h"
#include "Error.h"
#include "Stop.h"

namespace fieldfx {

namespace {

// A frame's write is never cut short (the sinks hold the stop signals back
// while they write): the writer is waited for, not interrupted.
constexpr auto kNever = std::chrono::hours(24 * 365);

class OneProcess {
public:
    OneProcess(const RenderJob& job, FrameSink& sink, const ProgressFn& progress)
        : job_(job), sink_(sink), progress_(progress), begin_(job.chunkBegin), end_(job.chunkEnd),
          leadFrom_(leadInStart(job)), run_(job.run, &g_abortRequested) {
        for (auto& in : inputs_) in.resize(job.inputs.size());
    }

    RenderResult render() {
        std::vector<std::vector<InputFrame>> leadIn;
        if (!readLeadIn(leadIn)) return RenderResult{0, 0, true};
        start(leadIn);
        if (begin_ < end_) readAhead(begin_);
        for (int64_t frame = begin_; frame < end_ && !g_abortRequested; ++frame) {
            if (frame + 1 < end_) readAhead(frame + 1);
            if (!renderFrame(frame)) break;
            write(frame);
        }
        reader_.cancel();  // a frame read ahead that the run will not use
        writer_.waitAll(kNever);
        const int64_t done = begin_ + result_.framesWritten;
        for (int64_t frame = std::max(begin_, done - 2); frame < done; ++frame) {
            if (!writeProblem_[frame % 2].empty()) fail(writeProblem_[frame % 2]);
        }
        result_.aborted = g_abortRequested;
        run_.finish();
        return result_;
    }

private:
    // A chunk of a run that replays may render the frames just before it
    // again, discarded, to bring the state along: those are read first.
    // False when a stop request came while reading.
    bool readLeadIn(std::vector<std::vector<InputFrame>>& leadIn) {
        if (begin_ > 0 && !startsAnywhere(job_.run)) {
            throw UserError(job_.run.op->name(), "its run cannot start past frame 0");
        }
        skipToFrame(job_, leadFrom_);
        leadIn.resize(size_t(begin_ - leadFrom_));
        for (int64_t frame = leadFrom_; frame < begin_; ++frame) {
            std::vector<InputFrame>& in = leadIn[size_t(frame - leadFrom_)];
            in.resize(job_.inputs.size());
            const FrameRead read = readFrame(job_, frame, [&](size_t i) { return readInputFrame(job_, i, in[i]); });
            if (g_abortRequested) return false;
            if (!read.ok()) {
                throw UserError(job_.run.op->name(), read.endedShort ? "an input ended before the frames rendered again "
                                                                       "at the start of the chunk"
                                                                     : read.problem);
            }
        }
        return true;
    }

    // Command 1, and the replay to the chunk's first frame.
    void start(std::vector<std::vector<InputFrame>>& leadIn) {
        std::string why = run_.start();
        if (why.empty()) {
            why = run_.seek(begin_, [&](int64_t frame) -> std::vector<InputFrame>& {
                if (frame < leadFrom_ || frame >= begin_) {
                    throw UserError(job_.run.op->name(), "the lead-in asked for frame " + std::to_string(frame));
                }
                return leadIn[size_t(frame - leadFrom_)];
            });
        }
        if (!why.empty()) fail(why);
    }

    // Reads frame `frame` and splits it into fields, on the reading thread.
    void readAhead(int64_t frame) {
        const int slot = int(frame % 2);
        reading_[slot] = reader_.run([this, &in = inputs_[slot], &read = reads_[slot], frame] {
            read = readFrame(job_, frame, [&](size_t i) { return readInputFrame(job_, i, in[i]); });
            if (!read.ok() || g_abortRequested) return;
            try {
                for (InputFrame& input : in) run_.prepareFields(input);
            } catch (const std::exception& e) {
                read.problem = e.what();
            }
        });
    }

    // The frame's two fields; false when the run stops before the frame is
    // complete (a half frame is dropped), or an input ended before it and
    // the run may end there.
    bool renderFrame(int64_t frame) {
        const int slot = int(frame % 2);
        reader_.wait(reading_[slot], std::chrono::milliseconds(0));
        if (g_abortRequested) return false;  // an interrupted read is the stop, not a fault
        if (!reads_[slot].problem.empty()) failAt(reads_[slot].problem, frame);
        if (reads_[slot].endedShort) {
            result_.endedShort = true;
            return false;
        }
        writer_.wait(writing_[slot], kNever);  // frame - 2 is written: its slot is free again
        if (!writeProblem_[slot].empty()) failAt(writeProblem_[slot], frame);
        for (int place = 0; place < 2; ++place) {
            if (const std::string why = run_.renderField(inputs_[slot], frame, place, outputs_[slot]); !why.empty()) {
                failAt(why, frame);
            }
            ++result_.fieldsRendered;
            if (progress_) progress_(result_.fieldsRendered);
            if (g_abortRequested) break;  // stop after the current field
        }
        return !(g_abortRequested && result_.fieldsRendered % 2 != 0);
    }

    // Packs and writes the frame, on the writing thread.
    void write(int64_t frame) {
        const int slot = int(frame % 2);
        writing_[slot] = writer_.run([this, &output = outputs_[slot], &why = writeProblem_[slot]] {
            try {
                run_.packOutput(&sink_.format(), output);
                sink_.write(output.stored.data.data(), output.stored.data.size());
            } catch (const std::exception& e) {
                why = e.what();
            }
        });
        ++result_.framesWritten;
    }

    [[noreturn]] void fail(const std::string& why) {
        reader_.cancel();
        writer_.waitAll(kNever);
        run_.finish();
        throw UserError(job_.run.op->name(), why);
    }

    // A failure at frame `frame` is reported unless writing a frame before
    // it failed: that came first.
    [[noreturn]] void failAt(std::string why, int64_t frame) {
        writer_.waitAll(kNever);
        for (int64_t earlier = std::max(begin_, frame - 2); earlier < frame; ++earlier) {
            if (!writeProblem_[earlier % 2].empty()) {
                why = writeProblem_[earlier % 2];
                break;
            }
        }
        fail(why);
    }

    const RenderJob& job_;
    FrameSink& sink_;
    const ProgressFn& progress_;
    const int64_t begin_, end_, leadFrom_;
    Run run_;
    std::vector<InputFrame> inputs_[2];
    OutputFrame outputs_[2];
    FrameRead reads_[2];           // per slot, from the background
    std::string writeProblem_[2];  // per slot, from the background
    uint64_t reading_[2] = {0, 0}, writing_[2] = {0, 0};
    RenderResult result_;
    // Last: their threads end before the rest goes.
    Background reader_, writer_;
};

}  // namespace

RenderResult renderInOneProcess(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    return OneProcess(job, sink, progress).render();
}

}  // namespace fieldfx
