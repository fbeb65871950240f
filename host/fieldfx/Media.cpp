#include "Media.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "Error.h"
#include "Png.h"

namespace fieldfx {

namespace {

bool endsWithNoCase(const std::string& s, const std::string& tail) {
    if (s.size() < tail.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(s[s.size() - tail.size() + i])) != tail[i]) return false;
    }
    return true;
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
        throw UserError(source, std::string("read error: ") + std::strerror(errno));
    }
    std::rewind(out);
    return out;
}

class Y4mSource : public FrameSource {
public:
    // Takes `file`; `closer` closes it (fclose or pclose).
    Y4mSource(FILE* file, std::string name, int (*closer)(FILE*), int64_t frameHint)
        : file_(file), closer_(closer), name_(std::move(name)) {
        try {
            open(frameHint);
        } catch (...) {
            closeFile();
            throw;
        }
    }
    ~Y4mSource() override { closeFile(); }

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
        count_ = reader_->countFrames();
        if (count_ < 0 && frameHint >= 0) {
            count_ = frameHint;  // a pipe read as it comes; it must hold that many frames
            return;
        }
        if (count_ < 0) {
            // The header has been read from the pipe; the frames are read
            // from a copy of the rest.
            FILE* copy = spool(file_, name_);
            const VideoFormat format = reader_->format();
            closeFile();
            file_ = copy;
            closer_ = std::fclose;
            reader_ = std::make_unique<Y4mReader>(file_, name_, format);
            count_ = reader_->countFrames();
        }
    }
    void closeFile() {
        if (file_ != nullptr && file_ != stdin) closer_(file_);
        file_ = nullptr;
    }
    FILE* file_;
    int (*closer_)(FILE*);
    std::string name_;
    std::unique_ptr<Y4mReader> reader_;
    int64_t count_ = 0;
    Frame frame_;
};

class StillSource : public FrameSource {
public:
    StillSource(const std::string& path, const SourceOptions& options) : name_(path) {
        picture_ = pictureFromRgba(readPng(path));
        format_.width = picture_.width;
        format_.height = picture_.height;
        format_.chroma = Chroma::C444alpha;
        format_.interlace = Interlace::Progressive;
        format_.rate = options.stillRate;
        format_.aspect = Rational{1, 1};
        const std::string problem = formatProblem(format_);
        if (!problem.empty()) throw UserError(path, problem);
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
    void write(const Picture& picture) override { writer_->writeFrame(packFrame(format_, picture)); }
    const VideoFormat* storedFormat() const override { return &format_; }
    void writeStored(const Frame& frame) override { writer_->writeFrame(frame); }
    void writeStored(const uint8_t* data, size_t size) override { writer_->writeFrame(data, size); }
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
// temporary file beside the target, renamed when ffmpeg succeeded.
class FfmpegSink : public FileSink {
public:
    FfmpegSink(const std::string& path, const VideoFormat& format, const std::string& note)
        : FileSink(path), format_(format) {
        temp_ = newTemporary(path);
        const std::string command = "trap '' INT; exec ffmpeg -nostdin -hide_banner -loglevel error -y "
                                    "-f yuv4mpegpipe -i - " +
                                    (note.empty() ? std::string() : "-metadata comment=" + shellQuote(note) + " ") +
                                    shellQuote(temp_);
        pipe_ = popen(command.c_str(), "w");
        if (pipe_ == nullptr) throw UserError(path, std::string("cannot start ffmpeg: ") + std::strerror(errno));
        writer_ = std::make_unique<Y4mWriter>(pipe_, format_, path + " (ffmpeg pipe)");
    }
    ~FfmpegSink() override {
        if (pipe_ != nullptr) pclose(pipe_);
    }
    void write(const Picture& picture) override { writer_->writeFrame(packFrame(format_, picture)); }
    const VideoFormat* storedFormat() const override { return &format_; }
    void writeStored(const Frame& frame) override { writer_->writeFrame(frame); }
    void writeStored(const uint8_t* data, size_t size) override { writer_->writeFrame(data, size); }
    void commit() override {
        const int status = pclose(pipe_);
        pipe_ = nullptr;
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw UserError(path_, "ffmpeg could not write it (exit status " +
                                       std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
        }
        renameAll();
    }

private:
    VideoFormat format_;
    std::string temp_;
    FILE* pipe_ = nullptr;
    std::unique_ptr<Y4mWriter> writer_;
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
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) throw UserError(path, std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw UserError(path, "is a directory");
    if (access(path.c_str(), R_OK) != 0) throw UserError(path, std::strerror(errno));
    if (startsWithY4m(path) || endsWithNoCase(path, ".y4m")) {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) throw UserError(path, std::strerror(errno));
        return std::make_unique<Y4mSource>(f, path, std::fclose, options.frameHint);
    }
    if (looksLikePng(path) || endsWithNoCase(path, ".png")) return std::make_unique<StillSource>(path, options);
    if (!ffmpegAvailable()) {
        throw UserError(path, "not a YUV4MPEG2 or PNG file, and ffmpeg is not on the PATH to read it; "
                              "install ffmpeg, or convert it to YUV4MPEG2 (.y4m) first");
    }
    const std::string command = "trap '' INT; exec ffmpeg -nostdin -hide_banner -loglevel error -i " +
                                shellQuote(path) + " -f yuv4mpegpipe -pix_fmt yuv420p -";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) throw UserError(path, std::string("cannot start ffmpeg: ") + std::strerror(errno));
    try {
        return std::make_unique<Y4mSource>(pipe, path, pclose, options.frameHint);
    } catch (const UserError& e) {
        throw UserError(path, "ffmpeg could not read it (" + e.reason() + ")");
    }
}

SinkKind sinkKindFor(const std::string& path) {
    if (path == "-" || endsWithNoCase(path, ".y4m")) return SinkKind::Y4m;
    if (endsWithNoCase(path, ".png")) return path.find('%') != std::string::npos ? SinkKind::PngSequence : SinkKind::PngSingle;
    return SinkKind::Ffmpeg;
}

void checkSink(const std::string& path, int64_t frames) {
    if (path.empty()) throw UserError("output", "no output given (-o FILE)");
    if (path == "-") return;
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

std::unique_ptr<FrameSink> openSink(const std::string& path, const VideoFormat& format, const SinkPlace& place) {
    switch (sinkKindFor(path)) {
    case SinkKind::Y4m: return std::make_unique<Y4mSink>(path, format, place.firstFrame == 0);
    case SinkKind::PngSingle: return std::make_unique<PngSink>(path, false, hasAlpha(format.chroma), 0);
    case SinkKind::PngSequence:
        return std::make_unique<PngSink>(path, true, hasAlpha(format.chroma), place.firstFrame);
    case SinkKind::Ffmpeg: return std::make_unique<FfmpegSink>(path, format, place.note);
    }
    return nullptr;
}

}  // namespace fieldfx
