#include "WorkerPool.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Catalogue.h"
#include "Error.h"
#include "RunPositions.h"
#include "RunState.h"
#include "WorkerProtocol.h"

namespace fieldfx {

namespace {

constexpr int kSlotsPerWorker = 2;

// Frames go to the workers in turn. An operator whose fields depend only on
// their position hands them out one by one; one that replays (Patina) hands
// out stretches of frames, each of which its worker starts by skipping ahead
// in the run (replay, then at most kLeadInFrames discarded renders). The
// stretches are short: every frame in flight holds a slot, and a few slots
// used again and again stay in the processor's caches and are mapped once,
// where long stretches (32 frames were tried) touch fresh shared memory for
// every frame and cost more than the lead-ins they save.
constexpr int64_t kStretchFrames = 4;

// The first frame a render reads: the chunk's first, or for an operator
// that replays, up to kLeadInFrames before it.
int64_t leadInStart(const RenderJob& job) {
    const int64_t begin = chunkBegin(job);
    return job.op->replay() != nullptr ? std::max<int64_t>(0, begin - kLeadInFrames) : begin;
}

int64_t stretchFrames(const RenderJob& job) { return job.op->replay() == nullptr ? 1 : kStretchFrames; }

// Slots for the frames in flight: two for each worker, or with stretches a
// stretch and one more for each, and the frames before the newest stretch's
// start that its worker may render again.
size_t slotCount(int64_t stretch, int workers) {
    if (stretch == 1) return size_t(workers) * kSlotsPerWorker;
    return size_t(workers) * size_t(stretch + 1) + size_t(kLeadInFrames);
}

// The stored layouts the frames travel in, when the inputs and the output
// have them: then the worker expands and packs the chroma, not the parent.
struct StoredLayouts {
    bool inputs = false, output = false;
    std::vector<VideoFormat> inputFormats;
    VideoFormat outputFormat;
};

// Maps the parts of the slots that the frames use into this process.
void populateSlots(SharedSlots& slots, const RenderJob& job, const StoredLayouts& stored) {
    size_t input = 4 * size_t(job.fieldFormat.width) * size_t(job.fieldFormat.height);
    if (stored.inputs) {
        input = 0;
        for (const VideoFormat& f : stored.inputFormats) input = std::max(input, frameBytes(f));
    }
    const size_t output = stored.output ? frameBytes(stored.outputFormat)
                                        : 4 * size_t(job.outputFormat.width) * size_t(job.outputFormat.height);
    slots.populate(input, output);
}

[[noreturn]] void workerMain(const RenderJob& job, const StoredLayouts& stored, SharedSlots& slots, int commands,
                             int reports) {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_IGN);  // the parent decides when the run stops
    signal(SIGPIPE, SIG_IGN);
    keepOnlyWorkerDescriptors(commands, reports);
    populateSlots(slots, job, stored);
    auto send = [&](int32_t kind, int64_t frame, int place, const std::string& text) {
        Report report;
        report.kind = kind;
        report.frame = frame;
        report.place = place;
        std::snprintf(report.text, sizeof report.text, "%s", text.c_str());
        if (!writeAll(reports, &report, sizeof report)) _exit(1);
    };
    int64_t frame = -1;
    try {
        RunState run(job);
        if (const std::string why = run.start(); !why.empty()) {
            send(REPORT_FAILED, -1, 0, why);
            _exit(1);
        }
        const int inWidth = job.fieldFormat.width, inHeight = job.fieldFormat.height;
        std::vector<InputFrame> inputs(job.inputs.size()), leadIn(job.inputs.size());
        OutputFrame output;
        // A frame's inputs straight from its slot: stored frames are split
        // from there, without a copy.
        auto load = [&](int64_t from, std::vector<InputFrame>& into) -> std::vector<InputFrame>& {
            for (size_t i = 0; i < into.size(); ++i) {
                into[i].fields[0].reset();
                into[i].fields[1].reset();
                if (stored.inputs) {
                    into[i].bytes = slots.inputBytes(from, i);
                } else {
                    into[i].bytes = nullptr;
                    slots.loadInput(from, i, into[i].picture, inWidth, inHeight);
                }
            }
            return into;
        };
        while (readAll(commands, &frame, sizeof frame)) {
            // The first frame of a stretch: skip over the frames of the others.
            if (2 * frame != run.nextCall) {
                const std::string why = run.advanceTo(frame, [&](int64_t f) -> std::vector<InputFrame>& { return load(f, leadIn); });
                if (!why.empty()) {
                    send(REPORT_FAILED, frame, 0, why);
                    run.finish();
                    _exit(1);
                }
            }
            load(frame, inputs);
            for (size_t i = 0; i < inputs.size(); ++i) run.prepareFields(i, inputs[i]);
            for (int place = 0; place < 2; ++place) {
                if (const std::string why = run.renderField(inputs, frame, place, output); !why.empty()) {
                    send(REPORT_FAILED, frame, place, why);
                    run.finish();
                    _exit(1);
                }
                send(REPORT_FIELD, frame, place, "");
            }
            if (stored.output) {
                run.packOutput(&stored.outputFormat, output, slots.outputBytes(frame));
            } else {
                run.packOutput(nullptr, output);
                slots.storeOutput(frame, output.picture);
            }
            send(REPORT_FRAME, frame, 0, "");
        }
        run.finish();
        _exit(0);
    } catch (const UserError& e) {
        send(REPORT_FAILED, frame, 0, e.reason());
    } catch (const std::exception& e) {
        send(REPORT_FAILED, frame, 0, e.what());
    } catch (...) {
    }
    _exit(1);
}

struct Worker {
    pid_t pid = -1;
    int commands = -1;  // the parent's end: frame indices to the worker
    int reports = -1;   // the parent's end: reports from the worker
    bool running = false;
    int64_t failedAt = -1;  // the first frame it will not deliver
    std::string failure;
};

// What the parent knows of a frame handed out.
struct FrameState {
    int fieldsDone = 0;
    bool done = false;
};

class WorkerPool {
public:
    WorkerPool(const RenderJob& job, FrameSink& sink, int count)
        : job_(job), stretch_(stretchFrames(job)), slots_(job, slotCount(stretch_, count)),
          workers_(size_t(count)), frames_(slots_.count()) {
        // A slot holds four planes of a picture; a stored frame is no larger.
        const size_t inputPlanes = 4 * size_t(job.fieldFormat.width) * size_t(job.fieldFormat.height);
        stored_.inputs = true;
        for (FrameSource* source : job.inputs) {
            const VideoFormat* format = source->storedFormat();
            stored_.inputs = stored_.inputs && format != nullptr && frameBytes(*format) <= inputPlanes;
            if (format != nullptr) stored_.inputFormats.push_back(*format);
        }
        const VideoFormat* out = sink.storedFormat();
        stored_.output = out != nullptr && frameBytes(*out) <= 4 * size_t(job.outputFormat.width) * size_t(job.outputFormat.height);
        if (stored_.output) stored_.outputFormat = *out;
        populateSlots(slots_, job, stored_);
        for (size_t k = 0; k < workers_.size(); ++k) start(k);
    }
    // Stops every worker that still runs: a normal end closes its command
    // pipe (it runs command 2 and exits); otherwise it is killed.
    ~WorkerPool() { stop(false); }

    RenderResult run(FrameSink& sink, const ProgressFn& progress) {
        progress_ = progress;
        const int64_t first = chunkBegin(job_), total = chunkEnd(job_), ring = int64_t(slots_.count());
        Picture output;
        RenderResult result;
        // A chunk of a run that replays: the frames just before it, which the
        // worker of its first stretch renders again (discarded), go into
        // their slots first. They stay there until that frame is written.
        for (int64_t frame = leadInStart(job_); frame < first && !g_abortRequested; ++frame) {
            const std::string readProblem = readIntoSlot(frame);
            if (!readProblem.empty() && !g_abortRequested) fail(readProblem);
        }
        int64_t next = first;  // the next frame to hand out
        while (first + result.framesWritten < total) {
            const int64_t write = written_ = first + result.framesWritten;
            if (write < next && state(write).done) {
                try {
                    if (stored_.output) {
                        sink.writeStored(slots_.outputBytes(write), frameBytes(stored_.outputFormat));
                    } else {
                        slots_.loadOutput(write, output, job_.outputFormat.width, job_.outputFormat.height);
                        sink.write(output);
                    }
                } catch (const UserError& e) {
                    fail(e.what());
                }
                ++result.framesWritten;
                continue;
            }
            Worker& writer = workerOf(write);
            if (writer.failedAt == write) fail(writer.failure);
            if (g_abortRequested) {
                // Stopping: the frames already handed out are finished and
                // written in order; nothing more is read.
                if (write >= next || writer.failedAt >= 0 || !writer.running) break;
                awaitReports(next);
                continue;
            }
            Worker& handler = workerOf(next);
            // With stretches, the slots of the frames just before the oldest
            // unwritten one stay as they are: a worker starting a stretch
            // may render them again.
            const int64_t kept = stretch_ > 1 ? kLeadInFrames : 0;
            if (next < total && next < write + ring - kept && handler.running && handler.failedAt < 0) {
                const std::string readProblem = readIntoSlot(next);
                if (g_abortRequested) continue;  // an interrupted read is the stop, not a fault
                if (!readProblem.empty()) fail(readProblem);
                state(next) = FrameState{};
                if (!writeAll(handler.commands, &next, sizeof next)) ended(handler, next);
                ++next;
                continue;
            }
            awaitReports(next);
        }
        result.aborted = g_abortRequested;
        result.fieldsRendered = fieldsRendered_;
        stop(true);
        return result;
    }

private:
    // Reads frame `frame` of the run from every input into the frame's
    // slot: the stored frames when the inputs have them, else the pictures.
    std::string readIntoSlot(int64_t frame) {
        return readFrame(job_, frame, [&](size_t i) {
            if (stored_.inputs) {
                if (!job_.inputs[i]->readStored(slots_.inputBytes(frame, i))) return false;
            } else {
                if (!job_.inputs[i]->read(readPicture_)) return false;
                slots_.storeInput(frame, i, readPicture_);
            }
            return true;
        });
    }

    void start(size_t k) {
        int commands[2], reports[2];
        if (pipe(commands) != 0) throw UserError(job_.op->name(), std::string("cannot start a worker: ") + std::strerror(errno));
        if (pipe(reports) != 0) {
            close(commands[0]);
            close(commands[1]);
            throw UserError(job_.op->name(), std::string("cannot start a worker: ") + std::strerror(errno));
        }
        std::fflush(nullptr);  // nothing buffered is written twice
        const pid_t pid = fork();
        if (pid == 0) {
            close(commands[1]);
            close(reports[0]);
            workerMain(job_, stored_, slots_, commands[0], reports[1]);
        }
        const int forkError = errno;
        close(commands[0]);
        close(reports[1]);
        if (pid < 0) {
            close(commands[1]);
            close(reports[0]);
            throw UserError(job_.op->name(), std::string("cannot start a worker: ") + std::strerror(forkError));
        }
        Worker& w = workers_[k];
        w.pid = pid;
        w.commands = commands[1];
        w.reports = reports[0];
        w.running = true;
    }

    FrameState& state(int64_t frame) { return frames_[size_t(frame % int64_t(frames_.size()))]; }
    size_t workerIndex(int64_t frame) const { return size_t(frame / stretch_ % int64_t(workers_.size())); }
    Worker& workerOf(int64_t frame) { return workers_[workerIndex(frame)]; }

    [[noreturn]] void fail(const std::string& why) {
        stop(false);
        throw UserError(job_.op->name(), why);
    }

    // Waits for reports from any worker and takes them in.
    void awaitReports(int64_t next) {
        std::vector<pollfd> fds;
        std::vector<Worker*> owners;
        for (Worker& w : workers_) {
            if (w.reports < 0) continue;
            fds.push_back(pollfd{w.reports, POLLIN, 0});
            owners.push_back(&w);
        }
        if (fds.empty()) return;
        if (poll(fds.data(), fds.size(), -1) < 0) return;  // interrupted: the caller looks at the stop request
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Worker& w = *owners[i];
            Report report;
            if (readAll(w.reports, &report, sizeof report)) {
                take(w, report, next);
            } else {
                ended(w, next);
            }
        }
    }

    void take(Worker& w, Report& report, int64_t next) {
        report.text[sizeof report.text - 1] = '\0';
        if (report.kind == REPORT_FIELD) {
            ++state(report.frame).fieldsDone;
            ++fieldsRendered_;
            if (progress_) progress_(fieldsRendered_);
        } else if (report.kind == REPORT_FRAME) {
            state(report.frame).done = true;
        } else if (report.kind == REPORT_FAILED && w.failedAt < 0) {
            w.failedAt = report.frame >= 0 ? report.frame : firstUndelivered(w, next);
            w.failure = report.text;
        }
    }

    // The first frame of worker `w` that is not done, handed out or not.
    // Frames before written_ are done; their slots may hold later frames.
    int64_t firstUndelivered(const Worker& w, int64_t next) {
        const size_t k = size_t(&w - workers_.data());
        int64_t frame = written_;
        while (workerIndex(frame) != k || (frame < next && state(frame).done)) ++frame;
        return frame;
    }

    // The worker's report pipe ended: it exited or crashed. Frames it has
    // not delivered fail with the reason, unless it reported a failure.
    void ended(Worker& w, int64_t next) {
        Report report;
        while (readAll(w.reports, &report, sizeof report)) take(w, report, next);  // what it sent before it ended
        close(w.reports);
        w.reports = -1;
        int status = 0;
        if (w.pid > 0 && waitpid(w.pid, &status, 0) == w.pid) w.pid = -1;
        w.running = false;
        if (w.failedAt >= 0) return;
        w.failedAt = firstUndelivered(w, next);
        const FieldCall call = fieldCall(w.failedAt, w.failedAt < next ? state(w.failedAt).fieldsDone : 0,
                                         job_.fieldFormat.interlace);
        const int64_t position = call.position;
        std::string how = "its worker process ended";
        if (WIFSIGNALED(status)) how += std::string(" by signal ") + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
        else if (WIFEXITED(status)) how += " with status " + std::to_string(WEXITSTATUS(status));
        w.failure = "render failed at field " + std::to_string(position) + " of " + std::to_string(runLength(job_.frames, job_.fieldFormat.interlace)) +
                    " (" + how + ")";
    }

    // Ends every worker: with `finish`, each finishes the frames it has and
    // runs command 2; otherwise it is killed. Waits for all of them.
    void stop(bool finish) {
        for (Worker& w : workers_) {
            if (w.commands >= 0) close(w.commands);
            w.commands = -1;
            if (!finish && w.pid > 0) kill(w.pid, SIGKILL);
        }
        for (Worker& w : workers_) {
            if (w.pid > 0) {
                while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
                }
            }
            w.pid = -1;
            w.running = false;
            if (w.reports >= 0) close(w.reports);
            w.reports = -1;
        }
    }

    const RenderJob& job_;
    int64_t stretch_;  // frames handed to one worker in a row
    SharedSlots slots_;
    std::vector<Worker> workers_;
    std::vector<FrameState> frames_;
    StoredLayouts stored_;
    Picture readPicture_;
    int64_t written_ = 0;
    int64_t fieldsRendered_ = 0;
    ProgressFn progress_;
};

}  // namespace

RenderResult renderInWorkers(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    WorkerPool pool(job, sink, int(std::min<int64_t>(job.jobs, chunkEnd(job) - chunkBegin(job))));
    skipToFrame(job, leadInStart(job));
    return pool.run(sink, progress);
}

}  // namespace fieldfx
