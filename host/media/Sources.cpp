#include "Sources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Error.h"
#include "Ffmpeg.h"
#include "FfmpegSource.h"
#include "Png.h"
#include "PngSequence.h"
#include "Probe.h"
#include "Spool.h"
#include "Stop.h"
#include "Text.h"
#include "Y4m.h"

namespace fieldfx {

namespace {

bool startsWithY4m(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char magic[9] = {};
    const bool ok = std::fread(magic, 1, 9, f) == 9 && std::memcmp(magic, "YUV4MPEG2", 9) == 0;
    std::fclose(f);
    return ok;
}

class Y4mSource : public FrameSource {
public:
    // Takes `file`; `closer` closes it. Reads nothing yet: open() does.
    Y4mSource(FILE* file, std::string name, int (*closer)(FILE*), bool allowShort)
        : file_(file), closer_(closer), name_(std::move(name)), allowShort_(allowShort) {}
    ~Y4mSource() override { closeFile(); }
    Y4mSource(const Y4mSource&) = delete;
    Y4mSource& operator=(const Y4mSource&) = delete;

    // Reads the stream header and counts the frames: a file by seeking, a
    // pipe by copying it first, unless the run says how many frames it
    // wants (then the pipe is read as it comes and must hold them).
    // Throws UserError.
    void open(const SourceOptions& options) {
        reader_ = std::make_unique<Y4mReader>(file_, name_);
        count_ = reader_->countFrames(allowShort_);
        if (reader_->cutShort()) {
            std::fprintf(stderr, "fieldfx: %s: ends early: frame %lld is cut short; rendering the %lld frames there are\n",
                         name_.c_str(), static_cast<long long>(count_ + 1), static_cast<long long>(count_));
        }
        if (count_ >= 0) return;
        const int64_t wanted = options.framesWanted ? options.framesWanted(reader_->format().rate) : -1;
        if (wanted >= 0) {
            count_ = wanted;
            return;
        }
        // The header has been read from the pipe; the frames are read from
        // a copy of the rest.
        if (allowShort_) reader_->endAtCutFrame();
        FILE* copy = spoolFrames(*reader_, name_, options.showProgress);
        const VideoFormat format = reader_->format();
        const bool cut = reader_->cutShort();
        closeFile();
        file_ = copy;
        closer_ = std::fclose;
        reader_ = std::make_unique<Y4mReader>(file_, name_, format);
        count_ = reader_->countFrames();
        if (cut) {
            std::fprintf(stderr, "fieldfx: %s: ends early: frame %lld is cut short; rendering the %lld frames there are\n",
                         name_.c_str(), static_cast<long long>(count_ + 1), static_cast<long long>(count_));
        }
    }

    const std::string& name() const override { return name_; }
    const VideoFormat& format() const override { return reader_->format(); }
    int64_t frameCount() const override { return count_; }
    SourceMedia media() const override {
        SourceMedia media;
        media.alpha = hasAlpha(format().chroma);  // 444alpha
        return media;
    }
    bool read(uint8_t* frame) override { return reader_->readFrame(frame); }
    bool skip() override { return reader_->skipFrame(); }

private:
    void closeFile() {
        if (file_ != nullptr && file_ != stdin && closer_ != nullptr) closer_(file_);
        file_ = nullptr;
    }
    FILE* file_;
    int (*closer_)(FILE*);
    std::string name_;
    bool allowShort_ = false;
    std::unique_ptr<Y4mReader> reader_;
    int64_t count_ = 0;
};

// One PNG picture shown for a while: the same frame every time.
class StillSource : public FrameSource {
public:
    StillSource(const std::string& path, const SourceOptions& options) : name_(path) {
        const RgbaImage image = readPng(path);
        format_ = pngSourceFormat(image.width, image.height, options, path);
        frame_ = packFrame(format_, pictureFromRgba(image));
        count_ = std::max<int64_t>(1, std::llround(options.stillSeconds * double(format_.rate.num) / double(format_.rate.den)));
        media_.alpha = pngHasAlpha(path);
    }
    const std::string& name() const override { return name_; }
    const VideoFormat& format() const override { return format_; }
    int64_t frameCount() const override { return count_; }
    SourceMedia media() const override { return media_; }
    bool read(uint8_t* frame) override {
        if (!skip()) return false;
        std::memcpy(frame, frame_.data.data(), frame_.data.size());
        return true;
    }
    bool skip() override {
        if (served_ >= count_) return false;
        ++served_;
        return true;
    }

private:
    std::string name_;
    VideoFormat format_;
    Frame frame_;
    SourceMedia media_;
    int64_t count_ = 0, served_ = 0;
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

std::unique_ptr<Y4mSource> openY4m(FILE* file, const std::string& name, bool allowShort, const SourceOptions& options) {
    auto source = std::make_unique<Y4mSource>(file, name, std::fclose, allowShort);
    source->open(options);
    return source;
}

// The format ffmpeg will hand over for what ffprobe found, so that a video
// this program cannot take is refused before ffmpeg decodes any of it.
void checkDecodable(const MediaProbe& probe, const std::string& path) {
    if (!probe.known) return;
    VideoFormat format;
    format.width = probe.width;
    format.height = probe.height;
    // Alpha comes as 4:4:4 with alpha (yuva444p), its alpha the key byte.
    if (pixFmtHasAlpha(probe.pixFmt)) format.chroma = Chroma::C444alpha;
    else parseChromaName(eightBitPixFmt(probe.pixFmt).substr(3, 3), format.chroma);  // "yuv422p": 422
    const bool interlaced = probe.fieldOrder == "tt" || probe.fieldOrder == "bb" || probe.fieldOrder == "tb" ||
                            probe.fieldOrder == "bt";
    format.interlace = interlaced ? Interlace::TopFirst : Interlace::Progressive;
    if (format.width > 0 && format.height > 0) {
        if (const std::string problem = formatProblem(format); !problem.empty()) {
            throw UserError(path, "its pictures cannot be rendered: " + problem);
        }
    }
}

}  // namespace

std::unique_ptr<FrameSource> openSource(const std::string& path, const SourceOptions& options) {
    if (path == "-") return openY4m(stdin, "stdin", false, options);
    if (isPngSequencePattern(path)) return openPngSequence(path, options);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) throw UserError(path, std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw UserError(path, "is a directory");
    if (access(path.c_str(), R_OK) != 0) throw UserError(path, std::strerror(errno));
    if (!S_ISREG(info.st_mode)) {
        // A named pipe (or a device) can be read only once, as it comes:
        // nothing can look at it first, so it must hold YUV4MPEG2.
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) throw UserError(path, std::strerror(errno));
        try {
            return openY4m(f, path, options.allowShort, options);
        } catch (const UserError& e) {
            if (e.reason().rfind("not a YUV4MPEG2 stream", 0) != 0) throw;
            throw UserError(path, e.reason() + "; a pipe must hold YUV4MPEG2 (ffmpeg -i PIPE -f yuv4mpegpipe - "
                                               "converts other formats)");
        }
    }
    if (startsWithY4m(path) || endsWithNoCase(path, ".y4m")) {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) throw UserError(path, std::strerror(errno));
        return openY4m(f, path, options.allowShort, options);
    }
    if (looksLikePng(path) || endsWithNoCase(path, ".png")) return std::make_unique<StillSource>(path, options);
    if (info.st_size == 0) throw UserError(path, "is empty");
    if (!ffmpegAvailable()) {
        throw UserError(path, "not a YUV4MPEG2 or PNG file, and ffmpeg is not on the PATH to read it; "
                              "install ffmpeg, or convert it to YUV4MPEG2 (.y4m) first");
    }
    const MediaProbe probe = probeMedia(path);
    if (g_abortRequested) throw UserError(path, "interrupted while ffprobe read it; no file written");
    if (probe.ran && !probe.readable) throw UserError(path, "ffmpeg cannot read it: " + probe.problem);
    if (probe.readable && !probe.known) {
        throw UserError(path, std::string("holds no video stream") + (probe.audio ? " (only audio)" : ""));
    }
    checkDecodable(probe, path);
    return openFfmpegSource(path, probe, options);
}

}  // namespace fieldfx
