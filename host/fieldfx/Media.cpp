#include "Media.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <csignal>

#include "Audio.h"
#include "Error.h"
#include "Ffmpeg.h"
#include "Png.h"
#include "Render.h"
#include "Signals.h"
#include "Text.h"
#include "PngSequence.h"

namespace fieldfx {

namespace {

// Whether `s` ends with `tail` (given in lower case), whatever the case of `s`.
bool endsWithNoCase(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && lowerCase(s.substr(s.size() - tail.size())) == tail;
}

bool startsWithY4m(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char magic[9] = {};
    const bool ok = std::fread(magic, 1, 9, f) == 9 && std::memcmp(magic, "YUV4MPEG2", 9) == 0;
    std::fclose(f);
    return ok;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Copies a stream that cannot seek into an anonymous temporary file, so that
// its frames can be counted before the run starts.
FILE* spool(FILE* in, const std::string& source) {
    FILE* out = std::tmpfile();
    if (out == nullptr) throw UserError(source, std::string("cannot make a temporary file: ") + std::strerror(errno));
    char buffer[1 << 16];
    for (;;) {
        const size_t n = std::fread(buffer, 1, sizeof buffer, in);
        if (n > 0 && std::fwrite(buffer, 1, n, out) != n) {
            std::fclose(out);
            throw UserError(source, std::string("cannot write a temporary file: ") + std::strerror(errno));
        }
        if (n < sizeof buffer) break;
    }
    if (std::ferror(in)) {
        std::fclose(out);
        if (g_abortRequested) throw UserError(source, "interrupted while reading it; no file written");
        throw UserError(source, std::string("read error: ") + std::strerror(errno));
    }
    std::rewind(out);
    return out;
}

class Y4mSource : public FrameSource {
public:
    // Takes `file`; `closer` closes it (nullptr: `child` owns it).
    Y4mSource(FILE* file, std::string name, int (*closer)(FILE*), int64_t frameHint, bool allowShort = false,
              std::unique_ptr<ChildProcess> child = nullptr, SourceMedia media = {})
        : file_(file), closer_(closer), name_(std::move(name)), child_(std::move(child)), media_(media),
          allowShort_(allowShort) {
        try {
            open(frameHint);
        } catch (...) {
            closeFile();
            throw;
        }
    }
    ~Y4mSource() override { closeFile(); }
    SourceMedia media() const override { return media_; }
    // The ffmpeg that decoded the whole stream (it was spooled), or nullptr
    // while it still runs.
    ChildProcess* finishedChild() const { return child_ != nullptr && !child_->running() ? child_.get() : nullptr; }
    bool childFailed() const { return childFailed_; }

    const VideoFormat& format() const override { return reader_->format(); }
    int64_t frameCount() const override { return count_; }
    const std::string& name() const override { return name_; }
    bool read(Picture& picture) override {
        if (!reader_->readFrame(frame_)) return false;
        picture = expandFrame(reader_->format(), frame_);
        return true;
    }
    const VideoFormat* storedFormat() const override { return &reader_->format(); }
    bool readStored(Frame& frame) override { return reader_->readFrame(frame); }
    bool readStored(uint8_t* data) override { return reader_->readFrame(data); }
    bool skip() override { return reader_->skipFrame(); }

private:
    void open(int64_t frameHint) {
        reader_ = std::make_unique<Y4mReader>(file_, name_);
        count_ = reader_->countFrames(allowShort_);
        if (reader_->cutShort()) {
            std::fprintf(stderr, "fieldfx: %s: ends early: frame %lld is cut short; rendering the %lld frames there are\n",
                         name_.c_str(), static_cast<long long>(count_ + 1), static_cast<long long>(count_));
        }
        if (count_ < 0 && frameHint >= 0) {
            count_ = frameHint;  // a pipe read as it comes; it must hold that many frames
            return;
        }
        if (count_ < 0) {
            // The header has been read from the pipe; the frames are read
            // from a copy of the rest.
            FILE* copy = spool(file_, name_);
            const VideoFormat format = reader_->format();
            if (child_ != nullptr) childFailed_ = !child_->finish();
            closeFile();
            file_ = copy;
            closer_ = std::fclose;
            reader_ = std::make_unique<Y4mReader>(file_, name_, format);
            count_ = reader_->countFrames();
        }
    }
    void closeFile() {
        if (file_ != nullptr && file_ != stdin && closer_ != nullptr) closer_(file_);
        file_ = nullptr;
        if (child_ != nullptr) child_->stop();  // frames no longer wanted end it quietly
    }
    FILE* file_;
    int (*closer_)(FILE*);
    std::string name_;
    std::unique_ptr<ChildProcess> child_;
    SourceMedia media_;
    bool allowShort_ = false;
    bool childFailed_ = false;
    std::unique_ptr<Y4mReader> reader_;
    int64_t count_ = 0;
    Frame frame_;
};

}  // namespace

VideoFormat pngSourceFormat(int width, int height, const SourceOptions& options, const std::string& name) {
    VideoFormat format;
    format.width = width;
    format.height = height;
    format.chroma = Chroma::C444alpha;
    format.interlace = Interlace::Progressive;
    format.rate = options.stillRate;
    format.aspect = Rational{1, 1};
    const std::string problem = formatProblem(format);
    if (!problem.empty()) throw UserError(name, problem);
    return format;
}

namespace {

class StillSource : public FrameSource {
public:
    StillSource(const std::string& path, const SourceOptions& options) : name_(path) {
        picture_ = pictureFromRgba(readPng(path));
        format_ = pngSourceFormat(picture_.width, picture_.height, options, path);
        count_ = std::max<int64_t>(1, std::llround(options.stillSeconds * double(format_.rate.num) / double(format_.rate.den)));
    }
    const VideoFormat& format() const override { return format_; }
    int64_t frameCount() const override { return count_; }
    const std::string& name() const override { return name_; }
    bool read(Picture& picture) override {
        if (served_ >= count_) return false;
        ++served_;
        picture = picture_;
        return true;
    }
    bool skip() override {
        if (served_ >= count_) return false;
        ++served_;
        return true;
    }

private:
    std::string name_;
    Picture picture_;
    VideoFormat format_;
    int64_t count_ = 0, served_ = 0;
};

// ---------------------------------------------------------------------------
// Sinks.

class FileSink : public FrameSink {
public:
    explicit FileSink(std::string path) : path_(std::move(path)) {}
    ~FileSink() override {
        for (const std::string& t : temporaries_) std::remove(t.c_str());
    }

protected:
    std::string newTemporary(const std::string& target) {
        temporaries_.push_back(temporaryPathFor(target));
        targets_.push_back(target);
        return temporaries_.back();
    }
    void renameAll() {
        for (size_t i = 0; i < temporaries_.size(); ++i) {
            if (std::rename(temporaries_[i].c_str(), targets_[i].c_str()) != 0) {
                throw UserError(targets_[i], std::string("cannot move the output into place: ") + std::strerror(errno));
            }
        }
        temporaries_.clear();
    }
    std::string path_;

private:
    std::vector<std::string> temporaries_, targets_;
};

class Y4mSink : public FileSink {
public:
    Y4mSink(const std::string& path, const VideoFormat& format, bool header) : FileSink(path), format_(format) {
        if (path == "-") {
            file_ = stdout;
        } else {
            const std::string temp = newTemporary(path);
            file_ = std::fopen(temp.c_str(), "wb");
            if (file_ == nullptr) throw UserError(path, std::string("cannot write: ") + std::strerror(errno));
        }
        writer_ = std::make_unique<Y4mWriter>(file_, format_, path, header);
    }
    ~Y4mSink() override {
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    }
    void write(const Picture& picture) override { writeStored(packFrame(format_, picture)); }
    const VideoFormat* storedFormat() const override { return &format_; }
    void writeStored(const Frame& frame) override {
        SignalsHeld held;  // a frame is written whole
        writer_->writeFrame(frame);
    }
    void writeStored(const uint8_t* data, size_t size) override {
        SignalsHeld held;  // a frame is written whole
        writer_->writeFrame(data, size);
    }
    void commit() override {
        const int flushed = std::fflush(file_);
        const int closed = file_ == stdout ? 0 : std::fclose(file_);
        if (file_ != stdout) file_ = nullptr;
        if (flushed != 0 || closed != 0) throw UserError(path_, std::string("write error: ") + std::strerror(errno));
        renameAll();
    }

private:
    VideoFormat format_;
    FILE* file_ = nullptr;
    std::unique_ptr<Y4mWriter> writer_;
};

class PngSink : public FileSink {
public:
    PngSink(const std::string& path, bool sequence, bool alpha, int64_t firstIndex)
        : FileSink(path), sequence_(sequence), alpha_(alpha), first_(firstIndex), index_(firstIndex) {}
    void write(const Picture& picture) override {
        std::string target = path_;
        if (sequence_) {
            char name[4096];
            std::snprintf(name, sizeof name, path_.c_str(), static_cast<int>(index_));
            target = name;
        } else if (index_ > first_) {
            throw UserError(path_, "a single PNG holds one frame");
        }
        ++index_;
        writePng(newTemporary(target), rgbaFromPicture(picture), alpha_);
    }
    void commit() override { renameAll(); }

private:
    bool sequence_, alpha_;
    int64_t first_, index_;
};

// Frames go to ffmpeg as YUV4MPEG2 on its standard input; ffmpeg writes a
// temporary file beside the target, renamed when ffmpeg succeeded. ffmpeg
// runs in a process group of its own, so an interrupted run still closes its
// input and lets it finish the file.
class FfmpegSink : public FileSink {
public:
    FfmpegSink(const std::string& path, const VideoFormat& format, const SinkOptions& options)
        : FileSink(path), format_(format) {
        temp_ = newTemporary(path);
        std::vector<std::string> args = {"-nostdin", "-hide_banner", "-loglevel", ffmpegVerbose() ? "info" : "error",
                                         "-y", "-f", "yuv4mpegpipe", "-i", "-"};
        const std::vector<std::string> audio = audioArguments(options.audio);
        args.insert(args.end(), audio.begin(), audio.end());
        args.insert(args.end(), {"-map", "0:v:0"});
        if (!audio.empty()) args.insert(args.end(), {"-map", "[audio]", "-shortest"});
        const std::vector<std::string> video = videoArguments(path, format, options.bits);
        args.insert(args.end(), video.begin(), video.end());
        if (!options.note.empty()) args.insert(args.end(), {"-metadata", "comment=" + options.note});
        args.push_back(temp_);
        child_ = std::make_unique<ChildProcess>("ffmpeg", args, ChildProcess::Pipe::ToChild, path);
        try {
            writer_ = std::make_unique<Y4mWriter>(child_->stream(), format_, path);
        } catch (const UserError&) {
            failed();
        }
    }
    void write(const Picture& picture) override { writeStored(packFrame(format_, picture)); }
    const VideoFormat* storedFormat() const override { return &format_; }
    void writeStored(const Frame& frame) override { writeStored(frame.data.data(), frame.data.size()); }
    void writeStored(const uint8_t* data, size_t size) override {
        if (!failure_.empty()) failed();  // the pipe is closed: no more frames
        try {
            SignalsHeld held;  // a frame goes to ffmpeg whole
            writer_->writeFrame(data, size);
        } catch (const UserError&) {
            failed();
        }
    }
    void commit() override {
        if (!failure_.empty() || std::fflush(child_->stream()) != 0 || !child_->finish()) failed();
        renameAll();
    }

    // The settings that keep the picture's shape: field order flagged and
    // coded as fields when interlaced, the sample depth of the input.
    static std::vector<std::string> videoArguments(const std::string& path, const VideoFormat& format, int bits) {
        std::vector<std::string> args;
        if (format.interlace != Interlace::Progressive) {
            const bool top = format.interlace == Interlace::TopFirst;
            args = {"-flags", "+ildct+ilme", "-top", top ? "1" : "0", "-field_order", top ? "tt" : "bb",
                    "-x264-params", top ? "tff=1" : "bff=1"};
            // .mpg would get MPEG-1, which has no fields.
            if (endsWithNoCase(path, ".mpg") || endsWithNoCase(path, ".mpeg")) {
                args.insert(args.end(), {"-c:v", "mpeg2video"});
            }
        }
        if (bits > 8) {
            const char* base = format.chroma == Chroma::C444alpha ? "yuva444p"
                               : format.chroma == Chroma::C444    ? "yuv444p"
                               : format.chroma == Chroma::C422    ? "yuv422p"
                                                                  : "yuv420p";
            args.insert(args.end(), {"-pix_fmt", base + std::to_string(bits) + "le"});
        }
        return args;
    }

private:
    // ffmpeg stopped taking frames or could not finish: its reason, in one
    // line. The first failure ends ffmpeg (and closes the pipe to it); every
    // later call gives the same reason and leaves the pipe alone.
    [[noreturn]] void failed() {
        if (failure_.empty()) {
            child_->finish();
            std::string why = child_->firstMessage(temp_, path_);
            if (why.empty()) why = child_->failure();
            failure_ = "ffmpeg could not write it: " + why;
        }
        throw UserError(path_, failure_);
    }
    VideoFormat format_;
    std::string temp_;
    std::unique_ptr<ChildProcess> child_;
    std::unique_ptr<Y4mWriter> writer_;
    std::string failure_;  // set by the first failure
};

}  // namespace

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

bool ffmpegAvailable() {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    const std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t colon = std::min(list.find(':', start), list.size());
        const std::string dir = colon > start ? list.substr(start, colon - start) : ".";
        if (access((dir + "/ffmpeg").c_str(), X_OK) == 0) return true;
        start = colon + 1;
    }
    return false;
}

std::string temporaryPathFor(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + ".fieldfx-" + std::to_string(getpid()) + "-" + file;
}

std::unique_ptr<FrameSource> openSource(const std::string& path, const SourceOptions& options) {
    if (path == "-") return std::make_unique<Y4mSource>(stdin, "stdin", std::fclose, options.frameHint);
    if (isPngSequencePattern(path)) return openPngSequence(path, options);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) throw UserError(path, std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw UserError(path, "is a directory");
    if (access(path.c_str(), R_OK) != 0) throw UserError(path, std::strerror(errno));
    if (startsWithY4m(path) || endsWithNoCase(path, ".y4m")) {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) throw UserError(path, std::strerror(errno));
        return std::make_unique<Y4mSource>(f, path, std::fclose, options.frameHint, options.allowShort);
    }
    if (looksLikePng(path) || endsWithNoCase(path, ".png")) return std::make_unique<StillSource>(path, options);
    if (!ffmpegAvailable()) {
        throw UserError(path, "not a YUV4MPEG2 or PNG file, and ffmpeg is not on the PATH to read it; "
                              "install ffmpeg, or convert it to YUV4MPEG2 (.y4m) first");
    }
    const MediaProbe probe = probeMedia(path);
    SourceMedia media;
    media.audio = probe.audio;
    media.bits = probe.known ? pixFmtBits(probe.pixFmt) : 8;
    const std::vector<std::string> args = {"-nostdin", "-hide_banner", "-loglevel", ffmpegVerbose() ? "info" : "error",
                                           "-i", path, "-map", "0:v:0", "-f", "yuv4mpegpipe", "-pix_fmt",
                                           eightBitPixFmt(probe.pixFmt), "-"};
    auto child = std::make_unique<ChildProcess>("ffmpeg", args, ChildProcess::Pipe::FromChild, path);
    ChildProcess& ffmpeg = *child;
    std::unique_ptr<Y4mSource> source;
    try {
        FILE* stream = child->stream();
        source = std::make_unique<Y4mSource>(stream, path, nullptr, options.frameHint, false, std::move(child), media);
    } catch (const UserError& e) {
        if (g_abortRequested) throw;
        ffmpeg.finish();
        const std::string why = ffmpeg.firstMessage();
        throw UserError(path, "ffmpeg could not read it: " + (why.empty() ? e.reason() : why));
    }
    // A stream decoded to its end must hold what the file says it holds.
    if (const ChildProcess* decoder = source->finishedChild()) {
        const int64_t decoded = source->frameCount();
        const std::string message = decoder->firstMessage();
        if (decoded == 0) {
            throw UserError(path, "ffmpeg found no frames in it" + (message.empty() ? std::string() : ": " + message));
        }
        if ((probe.frames > 0 && decoded < probe.frames - 1) || source->childFailed()) {
            std::string why = "ends early: frame " + std::to_string(decoded + 1) + " could not be read" +
                              (probe.frames > 0 ? " (the file says it holds " + std::to_string(probe.frames) + ")" : "");
            if (!message.empty()) why += "; ffmpeg: " + message;
            if (!options.allowShort) throw UserError(path, why + "; --allow-short renders the frames there are");
            std::fprintf(stderr, "fieldfx: %s: %s; rendering the %lld frames there are\n", path.c_str(), why.c_str(),
                         static_cast<long long>(decoded));
        }
    }
    return source;
}

SinkKind sinkKindFor(const std::string& path) {
    if (path == "-" || endsWithNoCase(path, ".y4m")) return SinkKind::Y4m;
    if (endsWithNoCase(path, ".png")) return path.find('%') != std::string::npos ? SinkKind::PngSequence : SinkKind::PngSingle;
    return SinkKind::Ffmpeg;
}

namespace {

// Refuses an output that is the same file as an input: `target` (one file
// the output would write) against every input, by device and inode.
void refuseInput(const std::string& output, const struct stat& target, const std::vector<std::string>& inputs) {
    for (const std::string& input : inputs) {
        struct stat info {};
        if (input == "-" || stat(input.c_str(), &info) != 0) continue;
        if (info.st_dev == target.st_dev && info.st_ino == target.st_ino) {
            throw UserError(output, "is the input " + input + "; writing it would destroy the source (choose another output)");
        }
    }
}

}  // namespace

void checkSink(const std::string& path, int64_t frames, const std::vector<std::string>& inputs) {
    if (path.empty()) throw UserError("output", "no output given (-o FILE)");
    if (path == "-") {
        struct stat out {};
        if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)) refuseInput("standard output", out, inputs);
        return;
    }
    if (sinkKindFor(path) == SinkKind::PngSequence) {
        // Every name of the sequence the run would write.
        for (int64_t i = 0; i < frames && path.find('%') != std::string::npos; ++i) {
            char name[4096];
            std::snprintf(name, sizeof name, path.c_str(), static_cast<int>(i));
            struct stat target {};
            if (stat(name, &target) == 0) refuseInput(name, target, inputs);
        }
    } else if (struct stat target {}; stat(path.c_str(), &target) == 0) {
        refuseInput(path, target, inputs);
    }
    const std::string dir = directoryOf(path);
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) throw UserError(path, "its directory does not exist");
    if (access(dir.c_str(), W_OK) != 0) throw UserError(path, "its directory is not writable");
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) throw UserError(path, "is a directory");
    switch (sinkKindFor(path)) {
    case SinkKind::PngSingle:
        if (frames > 1) {
            throw UserError(path, "a single PNG holds one frame and the run has " + std::to_string(frames) +
                                      " (use --length 1, or a numbered sequence like out%04d.png)");
        }
        break;
    case SinkKind::PngSequence: {
        const size_t percent = path.find('%');
        if (path.find('%', percent + 1) != std::string::npos ||
            path.find_first_not_of("0123456789", percent + 1) == std::string::npos ||
            path[path.find_first_not_of("0123456789", percent + 1)] != 'd') {
            throw UserError(path, "a PNG sequence needs one number pattern like %04d");
        }
        break;
    }
    case SinkKind::Ffmpeg:
        if (!ffmpegAvailable()) {
            throw UserError(path, "writing this format needs ffmpeg, which is not on the PATH; "
                                  "write YUV4MPEG2 (.y4m) or PNG instead");
        }
        break;
    case SinkKind::Y4m: break;
    }
}

bool sinkHoldsAudio(const std::string& path) {
    if (sinkKindFor(path) != SinkKind::Ffmpeg) return false;
    for (const char* silent : {".gif", ".apng", ".webp", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".yuv", ".rgb",
                               ".h264", ".264", ".h265", ".265", ".hevc", ".m2v", ".ivf"}) {
        if (endsWithNoCase(path, silent)) return false;
    }
    return true;
}

std::unique_ptr<FrameSink> openSink(const std::string& path, const VideoFormat& format, const SinkOptions& options) {
    switch (sinkKindFor(path)) {
    case SinkKind::Y4m: return std::make_unique<Y4mSink>(path, format, options.firstFrame == 0);
    case SinkKind::PngSingle: return std::make_unique<PngSink>(path, false, hasAlpha(format.chroma), 0);
    case SinkKind::PngSequence: return std::make_unique<PngSink>(path, true, hasAlpha(format.chroma), options.firstFrame);
    case SinkKind::Ffmpeg: return std::make_unique<FfmpegSink>(path, format, options);
    }
    return nullptr;
}

}  // namespace fieldfx
