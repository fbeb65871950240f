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

#include "Error.h"
#include "RunPositions.h"
#include "Stop.h"
#include "Worker.h"
#include "WorkerProtocol.h"

namespace fieldfx {

namespace {

constexpr int kSlotsPerWorker = 2;

// Slots for the frames in flight: two for each worker, or with stretches a
// stretch and one more for each, and the frames before the newest stretch's
// start that its worker may render again.
size_t slotCount(int64_t stretch, int workers) {
    if (stretch == 1) return size_t(workers) * kSlotsPerWorker;
    return size_t(workers) * size_t(stretch + 1) + size_t(kLeadInFrames);
}

std::vector<size_t> inputFrameBytes(const RenderJob& job) {
    std::vector<size_t> bytes;
    for (const FrameSource* source : job.inputs) bytes.push_back(frameBytes(source->format()));
    return bytes;
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
        : job_(job), sink_(sink), stretch_(stretchFrames(job)),
          slots_(inputFrameBytes(job), frameBytes(sink.format()), slotCount(stretch_, count), job.run.op->name()),
          workers_(size_t(count)), frames_(slots_.count()), first_(job.chunkBegin), written_(job.chunkBegin),
          next_(job.chunkBegin) {
        slots_.populate();
        for (size_t k = 0; k < workers_.size(); ++k) start(k);
    }
    // Stops every worker that still runs: a normal end closes its command
    // pipe (it runs command 2 and exits); otherwise it is killed.
    ~WorkerPool() { stop(false); }

    RenderResult run(const ProgressFn& progress) {
        progress_ = progress;
        readLeadIn();
        while (written_ < job_.chunkEnd) {
            if (written_ < next_ && state(written_).done) {
                writeNext();
                continue;
            }
            if (inputEnded_ && written_ >= next_) break;  // an input ended early: every frame before it is written
            Worker& writer = workerOf(written_);
            if (writer.failedAt == written_) fail(writer.failure);
            if (g_abortRequested) {
                // Stopping: the frames already handed out are finished and
                // written in order; nothing more is read.
                if (written_ >= next_ || writer.failedAt >= 0 || !writer.running) break;
                awaitReports();
                continue;
            }
            if (!handOutNext()) awaitReports();
        }
        const RenderResult result{written_ - first_, fieldsRendered_, g_abortRequested, inputEnded_};
        stop(true);
        return result;
    }

private:
    // A chunk of a run that replays: the frames just before it, which the
    // worker of its first stretch renders again (discarded), go into their
    // slots first. They stay there until that frame is written.
    void readLeadIn() {
        for (int64_t frame = leadInStart(job_); frame < first_ && !g_abortRequested; ++frame) {
            const FrameRead read = readIntoSlot(frame);
            if (!read.ok() && !g_abortRequested) {
                fail(read.endedShort ? "an input ended before the frames rendered again at the start of the chunk"
                                     : read.problem);
            }
        }
    }

    void writeNext() {
        try {
            sink_.write(slots_.outputBytes(written_), frameBytes(sink_.format()));
        } catch (const UserError& e) {
            fail(e.what());
        }
        ++written_;
    }

    // Reads the next frame into its slot and hands it to its worker, when
    // there is one to hand out, a free slot and a worker to take it.
    // False when there is nothing to do but wait.
    bool handOutNext() {
        Worker& handler = workerOf(next_);
        // With stretches, the slots of the frames just before the oldest
        // unwritten one stay as they are: a worker starting a stretch may
        // render them again.
        const int64_t kept = stretch_ > 1 ? kLeadInFrames : 0;
        const int64_t ring = int64_t(slots_.count());
        if (next_ >= job_.chunkEnd || next_ >= written_ + ring - kept || !handler.running || handler.failedAt >= 0 ||
            inputEnded_) {
            return false;
        }
        const FrameRead read = readIntoSlot(next_);
        if (g_abortRequested) return true;  // an interrupted read is the stop, not a fault
        if (!read.problem.empty()) fail(read.problem);
        if (read.endedShort) {
            inputEnded_ = true;
            return true;
        }
        state(next_) = FrameState{};
        if (!writeAll(handler.commands, &next_, sizeof next_)) ended(handler);
        ++next_;
        return true;
    }

    // Reads frame `frame` of the run from every input into the frame's slot.
    FrameRead readIntoSlot(int64_t frame) {
        return readFrame(job_, frame, [&](size_t i) { return job_.inputs[i]->read(slots_.inputBytes(frame, i)); });
    }

    void start(size_t k) {
        int commands[2], reports[2];
        if (pipe(commands) != 0) throw UserError(job_.run.op->name(), std::string("cannot start a worker: ") + std::strerror(errno));
        if (pipe(reports) != 0) {
            close(commands[0]);
            close(commands[1]);
            throw UserError(job_.run.op->name(), std::string("cannot start a worker: ") + std::strerror(errno));
        }
        std::fflush(nullptr);  // nothing buffered is written twice
        const pid_t pid = fork();
        if (pid == 0) {
            close(commands[1]);
            close(reports[0]);
            workerMain(job_, sink_.format(), slots_, commands[0], reports[1]);
        }
        const int forkError = errno;
        close(commands[0]);
        close(reports[1]);
        if (pid < 0) {
            close(commands[1]);
            close(reports[0]);
            throw UserError(job_.run.op->name(), std::string("cannot start a worker: ") + std::strerror(forkError));
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
        throw UserError(job_.run.op->name(), why);
    }

    // Waits for reports from any worker and takes them in.
    void awaitReports() {
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
                take(w, report);
            } else {
                ended(w);
            }
        }
    }

    void take(Worker& w, Report& report) {
        report.text[sizeof report.text - 1] = '\0';
        if (report.kind == REPORT_FIELD) {
            ++state(report.frame).fieldsDone;
            ++fieldsRendered_;
            if (progress_) progress_(fieldsRendered_);
        } else if (report.kind == REPORT_FRAME) {
            state(report.frame).done = true;
        } else if (report.kind == REPORT_FAILED && w.failedAt < 0) {
            w.failedAt = report.frame >= 0 ? report.frame : firstUndelivered(w);
            w.failure = report.text;
        }
    }

    // The first frame of worker `w` that is not done, handed out or not.
    // Frames before written_ are done; their slots may hold later frames.
    int64_t firstUndelivered(const Worker& w) {
        const size_t k = size_t(&w - workers_.data());
        int64_t frame = written_;
        while (workerIndex(frame) != k || (frame < next_ && state(frame).done)) ++frame;
        return frame;
    }

    // The worker's report pipe ended: it exited or crashed. Frames it has
    // not delivered fail with the reason, unless it reported a failure.
    void ended(Worker& w) {
        Report report;
        while (readAll(w.reports, &report, sizeof report)) take(w, report);  // what it sent before it ended
        close(w.reports);
        w.reports = -1;
        int status = 0;
        if (w.pid > 0 && waitpid(w.pid, &status, 0) == w.pid) w.pid = -1;
        w.running = false;
        if (w.failedAt >= 0) return;
        w.failedAt = firstUndelivered(w);
        const Interlace scan = job_.run.scan;
        const FieldCall call = fieldCall(w.failedAt, w.failedAt < next_ ? state(w.failedAt).fieldsDone : 0, scan);
        std::string how = "its worker process ended";
        if (WIFSIGNALED(status)) how += std::string(" by signal ") + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
        else if (WIFEXITED(status)) how += " with status " + std::to_string(WEXITSTATUS(status));
        w.failure = "render failed at field " + std::to_string(call.position) + " of " +
                    std::to_string(runLength(job_.run.frames, scan)) + " (" + how + ")";
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
    FrameSink& sink_;
    const int64_t stretch_;  // frames handed to one worker in a row
    SharedSlots slots_;
    std::vector<Worker> workers_;
    std::vector<FrameState> frames_;
    const int64_t first_;  // the chunk's first frame
    int64_t written_;      // the next frame to write
    int64_t next_;         // the next frame to hand out
    int64_t fieldsRendered_ = 0;
    bool inputEnded_ = false;  // an input ended early (--allow-short): nothing more is handed out
    ProgressFn progress_;
};

}  // namespace

RenderResult renderInWorkers(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    WorkerPool pool(job, sink, int(std::min<int64_t>(job.jobs, job.chunkEnd - job.chunkBegin)));
    skipToFrame(job, leadInStart(job));
    return pool.run(progress);
}

}  // namespace fieldfx
