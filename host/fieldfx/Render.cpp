#include "Render.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "Error.h"
#include "RenderHost.h"
#include "fieldfx/HostBackend.h"

namespace fieldfx {

std::atomic<bool> g_abortRequested{false};

namespace {

void onInterrupt(int) { g_abortRequested = true; }

// The field of a frame as the operator sees it: region applied, scaled.
ImagePtr prepareField(const Picture& picture, int field, const RenderJob& job, int width, int height) {
    ImagePtr image(fieldOf(picture, field));
    if (image == nullptr) throw UserError(job.op->name(), "out of memory for a field");
    if (job.region.set) {
        image->regionLeft = static_cast<int16_t>(job.region.left);
        image->regionTop = static_cast<int16_t>(job.region.top);
        image->regionWidth = static_cast<int16_t>(job.region.width);
        image->regionHeight = static_cast<int16_t>(job.region.height);
    }
    if (job.scaled) {
        image.reset(scaleField(*image, width, height));
        if (image == nullptr) throw UserError(job.op->name(), "out of memory for a field");
    }
    return image;
}

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

// What a run needs besides the operator's own state: the request it is
// given and the host that serves it.
struct RunState {
    explicit RunState(const RenderJob& j) : job(j) {
        const VideoFormat& in = job.fieldFormat;
        request.length = static_cast<uint32_t>(2 * job.frames);
        request.flags = static_cast<uint8_t>((job.scaled ? FLAG_REDUCED_SIZE : 0) |
                                             (isSixtyFields(in.rate) ? FLAG_SIXTY_FIELDS : 0));
        request.scaleNum = static_cast<int16_t>(job.scaled ? job.scaleNum : 1);
        request.scaleDen = static_cast<int16_t>(job.scaled ? job.scaleDen : 1);
        request.pixelAspect = pixelAspectOf(in.aspect);

        // Scratch images have the run's field geometry; set it from the first field.
        FieldImage like{};
        like.width = static_cast<int16_t>(job.outputFormat.width);
        like.height = static_cast<int16_t>(job.outputFormat.height / 2);
        like.regionWidth = like.width;
        like.regionHeight = like.height;
        if (job.region.set) {
            Picture blank;
            blank.resize(in.width, in.height);
            ImagePtr sample = prepareField(blank, 0, job, like.width, like.height);
            like = *sample;
        }
        host.setGeometry(like);
    }

    // Command 1. Returns an empty text, or why it failed.
    std::string start() {
        // The settings at the first field, so that what the operator reads
        // at the start (Patina: the film condition) is the user's.
        for (const Setting& s : job.settings) writeValue(*s.parameter, valueAt(s, 0));
        host.beginCommand();
        request.command = CMD_START;
        if (job.op->action()(&request) != -1) return "";
        host.reclaimCommand();
        return "the start of the run failed" +
               (host.lastLog().empty() ? std::string() : " (operator log: " + host.lastLog() + ")");
    }

    // Command 3 for the field at `place` (0 or 1) of frame `frame`, woven
    // into `output`. The settings' values at this position are written into
    // the descriptors first. Returns an empty text, or why it failed.
    std::string renderField(const std::vector<Picture>& pictures, int64_t frame, int place, Picture& output) {
        const int outWidth = job.outputFormat.width, outFieldHeight = job.outputFormat.height / 2;
        const int field = fieldAt(job.fieldFormat.interlace, place);
        const int64_t position = 2 * frame + place;
        std::vector<ImagePtr> fields;
        std::vector<FieldImage*> raw;
        for (const Picture& p : pictures) {
            fields.push_back(prepareField(p, field, job, outWidth, outFieldHeight));
            raw.push_back(fields.back().get());
        }
        host.setFields(raw, position);
        for (const Setting& s : job.settings) writeValue(*s.parameter, valueAt(s, position));

        host.beginCommand();
        request.command = CMD_RENDER;
        request.position = static_cast<uint32_t>(position);
        request.flags = static_cast<uint8_t>((request.flags & ~FLAG_LOWER_FIELD) | (field == 1 ? FLAG_LOWER_FIELD : 0));
        const int32_t status = job.op->action()(&request);
        ImagePtr rendered = host.takeOutput();
        host.reclaimCommand();
        host.setFields({}, -1);
        if (status == -1 || rendered == nullptr) {
            return "render failed at field " + std::to_string(position) + " of " + std::to_string(request.length) +
                   (host.lastLog().empty() ? std::string(status == -1 ? "" : " (no field handed back)")
                                           : " (operator log: " + host.lastLog() + ")");
        }
        weaveField(output, field, *rendered);
        return "";
    }

    // Command 2, and every image the operator kept is reclaimed.
    void finish() {
        host.beginCommand();
        request.command = CMD_FINISH;
        job.op->action()(&request);
        host.reclaimAll();
    }

    const RenderJob& job;
    RenderHost host{&g_abortRequested};
    OperatorRequest request{};
};

// Skips every input to the first frame of the run.
void skipToFirstFrame(const RenderJob& job) {
    Picture picture;
    for (FrameSource* source : job.inputs) {
        for (int64_t i = 0; i < job.firstFrame; ++i) {
            if (!source->read(picture)) throw UserError(source->name(), "ends before the start of the run");
        }
    }
}

// Reads frame `frame` of the run from every input. Returns an empty text, or
// why it could not; an interrupted read is not a fault (the caller checks
// g_abortRequested).
std::string readFrame(const RenderJob& job, int64_t frame, std::vector<Picture>& pictures) {
    try {
        for (size_t i = 0; i < job.inputs.size(); ++i) {
            if (!job.inputs[i]->read(pictures[i])) {
                return job.inputs[i]->name() + ": ended after " + std::to_string(job.firstFrame + frame) +
                       " frames, before the end of the run";
            }
        }
    } catch (const UserError& e) {
        return e.what();
    }
    return "";
}

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
        const std::string readProblem = readFrame(job, frame, pictures);
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

// ---------------------------------------------------------------------------
// Rendering with worker processes. Each worker is a fork of this process
// made before the run starts, so it has its own copy of the operator
// library's statics and its own host backend. The parent reads the inputs,
// puts each frame's pictures into a slot of shared memory and hands the
// frame's index to a worker; the worker runs command 3 for the frame's two
// fields exactly as the single process does and reports on a pipe after
// each field and when the frame is in the slot. The parent writes the frames
// in order. Frame f goes to worker f % workers.

constexpr int kSlotsPerWorker = 2;

enum ReportKind : int32_t { REPORT_FIELD = 1, REPORT_FRAME = 2, REPORT_FAILED = 3 };

// One message from a worker; small enough for one atomic pipe write.
struct Report {
    int32_t kind = 0;
    int32_t place = 0;
    int64_t frame = 0;  // -1: the start of the run
    char text[496] = {};
};
static_assert(sizeof(Report) <= PIPE_BUF);

bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// Reads exactly `size` bytes; false at the end of the stream or on an error.
bool readAll(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// The frame slots, shared by the parent and every worker.
class SharedSlots {
public:
    SharedSlots(const RenderJob& job, size_t count) {
        inputPlane_ = size_t(job.fieldFormat.width) * size_t(job.fieldFormat.height);
        outputPlane_ = size_t(job.outputFormat.width) * size_t(job.outputFormat.height);
        inputs_ = job.inputs.size();
        slotBytes_ = 4 * (inputs_ * inputPlane_ + outputPlane_);
        bytes_ = slotBytes_ * count;
        void* memory = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory == MAP_FAILED) {
            throw UserError(job.op->name(), std::string("cannot share memory with the worker processes: ") +
                                                std::strerror(errno));
        }
        base_ = static_cast<uint8_t*>(memory);
        count_ = count;
    }
    ~SharedSlots() { munmap(base_, bytes_); }
    SharedSlots(const SharedSlots&) = delete;
    SharedSlots& operator=(const SharedSlots&) = delete;

    size_t count() const { return count_; }
    void storeInput(int64_t frame, size_t input, const Picture& picture) {
        store(picture, inputAt(frame, input), inputPlane_);
    }
    void loadInput(int64_t frame, size_t input, Picture& picture, int width, int height) const {
        load(picture, inputAt(frame, input), width, height);
    }
    void storeOutput(int64_t frame, const Picture& picture) { store(picture, outputAt(frame), outputPlane_); }
    void loadOutput(int64_t frame, Picture& picture, int width, int height) const {
        load(picture, outputAt(frame), width, height);
    }

    // A stored frame of `bytes` in place of a picture (which needs at least as many).
    void storeInputFrame(int64_t frame, size_t input, const Frame& stored) {
        std::memcpy(inputAt(frame, input), stored.data.data(), stored.data.size());
    }
    void loadInputFrame(int64_t frame, size_t input, Frame& stored, size_t bytes) const {
        const uint8_t* at = inputAt(frame, input);
        stored.data.assign(at, at + bytes);
    }
    void storeOutputFrame(int64_t frame, const Frame& stored) {
        std::memcpy(outputAt(frame), stored.data.data(), stored.data.size());
    }
    void loadOutputFrame(int64_t frame, Frame& stored, size_t bytes) const {
        const uint8_t* at = outputAt(frame);
        stored.data.assign(at, at + bytes);
    }

private:
    uint8_t* slot(int64_t frame) const { return base_ + size_t(frame % int64_t(count_)) * slotBytes_; }
    uint8_t* inputAt(int64_t frame, size_t input) const { return slot(frame) + 4 * input * inputPlane_; }
    uint8_t* outputAt(int64_t frame) const { return slot(frame) + 4 * inputs_ * inputPlane_; }
    static void store(const Picture& picture, uint8_t* at, size_t plane) {
        for (const std::vector<uint8_t>* p : {&picture.y, &picture.cb, &picture.cr, &picture.a}) {
            std::memcpy(at, p->data(), std::min(plane, p->size()));
            at += plane;
        }
    }
    static void load(Picture& picture, const uint8_t* at, int width, int height) {
        const size_t plane = size_t(width) * size_t(height);
        picture.width = width;
        picture.height = height;
        for (std::vector<uint8_t>* p : {&picture.y, &picture.cb, &picture.cr, &picture.a}) {
            p->assign(at, at + plane);
            at += plane;
        }
    }

    uint8_t* base_ = nullptr;
    size_t bytes_ = 0, slotBytes_ = 0, count_ = 0, inputs_ = 0, inputPlane_ = 0, outputPlane_ = 0;
};

// Closes every descriptor a worker inherited except standard error and its
// two pipes, so that it holds no end of another worker's pipes or of an
// ffmpeg pipe (which would keep that ffmpeg from seeing the end of its
// input). Standard input and output become /dev/null.
void keepOnlyWorkerDescriptors(int commands, int reports) {
    std::vector<int> open;
    if (DIR* d = opendir("/proc/self/fd")) {
        const int own = dirfd(d);
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            const int fd = std::atoi(e->d_name);
            if (fd != own) open.push_back(fd);
        }
        closedir(d);
    }
    for (int fd : open) {
        if (fd > 2 && fd != commands && fd != reports) close(fd);
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        if (null > 2) close(null);
    }
}

// The stored layouts the frames travel in, when the inputs and the output
// have them: then the worker expands and packs the chroma, not the parent.
struct StoredLayouts {
    bool inputs = false, output = false;
    std::vector<VideoFormat> inputFormats;
    VideoFormat outputFormat;
};

[[noreturn]] void workerMain(const RenderJob& job, const StoredLayouts& stored, SharedSlots& slots, int commands,
                             int reports) {
    signal(SIGINT, SIG_IGN);  // the parent decides when the run stops
    signal(SIGPIPE, SIG_IGN);
    keepOnlyWorkerDescriptors(commands, reports);
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
        std::vector<Picture> pictures(job.inputs.size());
        Picture output;
        Frame storedFrame;
        while (readAll(commands, &frame, sizeof frame)) {
            for (size_t i = 0; i < pictures.size(); ++i) {
                if (stored.inputs) {
                    slots.loadInputFrame(frame, i, storedFrame, frameBytes(stored.inputFormats[i]));
                    pictures[i] = expandFrame(stored.inputFormats[i], storedFrame);
                } else {
                    slots.loadInput(frame, i, pictures[i], inWidth, inHeight);
                }
            }
            output.resize(job.outputFormat.width, job.outputFormat.height);
            for (int place = 0; place < 2; ++place) {
                if (const std::string why = run.renderField(pictures, frame, place, output); !why.empty()) {
                    send(REPORT_FAILED, frame, place, why);
                    run.finish();
                    _exit(1);
                }
                send(REPORT_FIELD, frame, place, "");
            }
            if (stored.output) {
                slots.storeOutputFrame(frame, packFrame(stored.outputFormat, output));
            } else {
                slots.storeOutput(frame, output);
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
        : job_(job), slots_(job, size_t(count) * kSlotsPerWorker), workers_(size_t(count)),
          frames_(slots_.count()) {
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
        for (size_t k = 0; k < workers_.size(); ++k) start(k);
    }
    // Stops every worker that still runs: a normal end closes its command
    // pipe (it runs command 2 and exits); otherwise it is killed.
    ~WorkerPool() { stop(false); }

    RenderResult run(FrameSink& sink, const ProgressFn& progress) {
        progress_ = progress;
        const int64_t total = job_.frames, ring = int64_t(slots_.count());
        std::vector<Picture> pictures(job_.inputs.size());
        Picture output;
        Frame storedFrame;
        RenderResult result;
        int64_t next = 0;  // the next frame to hand out
        while (result.framesWritten < total && !g_abortRequested) {
            const int64_t write = written_ = result.framesWritten;
            if (write < next && state(write).done) {
                try {
                    if (stored_.output) {
                        slots_.loadOutputFrame(write, storedFrame, frameBytes(stored_.outputFormat));
                        sink.writeStored(storedFrame);
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
            Worker& writer = workers_[size_t(write % int64_t(workers_.size()))];
            if (writer.failedAt == write) fail(writer.failure);
            Worker& handler = workers_[size_t(next % int64_t(workers_.size()))];
            if (next < total && next < write + ring && handler.running && handler.failedAt < 0) {
                const std::string readProblem = stored_.inputs ? readStoredFrame(next) : readFrame(job_, next, pictures);
                if (g_abortRequested) break;  // an interrupted read is the stop, not a fault
                if (!readProblem.empty()) fail(readProblem);
                if (!stored_.inputs) {
                    for (size_t i = 0; i < pictures.size(); ++i) slots_.storeInput(next, i, pictures[i]);
                }
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
    // readFrame for stored frames, straight into the frame's slot.
    std::string readStoredFrame(int64_t frame) {
        try {
            for (size_t i = 0; i < job_.inputs.size(); ++i) {
                if (!job_.inputs[i]->readStored(readBuffer_)) {
                    return job_.inputs[i]->name() + ": ended after " + std::to_string(job_.firstFrame + frame) +
                           " frames, before the end of the run";
                }
                slots_.storeInputFrame(frame, i, readBuffer_);
            }
        } catch (const UserError& e) {
            return e.what();
        }
        return "";
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
    int64_t firstUndelivered(const Worker& w, int64_t next) {
        const int64_t count = int64_t(workers_.size()), k = int64_t(&w - workers_.data());
        // Frames before written_ are done; their slots may hold later frames.
        int64_t frame = written_ <= k ? k : k + (written_ - k + count - 1) / count * count;
        while (frame < next && state(frame).done) frame += count;
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
        const int64_t position = 2 * w.failedAt + (w.failedAt < next ? state(w.failedAt).fieldsDone : 0);
        std::string how = "its worker process ended";
        if (WIFSIGNALED(status)) how += std::string(" by signal ") + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
        else if (WIFEXITED(status)) how += " with status " + std::to_string(WEXITSTATUS(status));
        w.failure = "render failed at field " + std::to_string(position) + " of " + std::to_string(2 * job_.frames) +
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
    SharedSlots slots_;
    std::vector<Worker> workers_;
    std::vector<FrameState> frames_;
    StoredLayouts stored_;
    Frame readBuffer_;
    int64_t written_ = 0;
    int64_t fieldsRendered_ = 0;
    ProgressFn progress_;
};

RenderResult renderInWorkers(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    WorkerPool pool(job, sink, int(std::min<int64_t>(job.jobs, job.frames)));
    skipToFirstFrame(job);
    return pool.run(sink, progress);
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
