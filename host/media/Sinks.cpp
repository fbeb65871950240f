#include "Sinks.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Audio.h"
#include "Error.h"
#include "Ffmpeg.h"
#include "OutputPath.h"
#include "Png.h"
#include "Probe.h"
#include "SequenceName.h"
#include "Stop.h"
#include "Text.h"
#include "Y4m.h"

namespace fieldfx {

namespace {

// An output written under new temporary names beside its targets, moved
// into place by commit(); whatever is not committed is removed.
class FileSink : public FrameSink {
public:
    FileSink(std::string path, const VideoFormat& format, const SinkOptions& options)
        : path_(std::move(path)), format_(format), chunk_(options.chunk) {}
    ~FileSink() override {
        for (const auto& move : moves_) std::remove(move.first.c_str());
    }
    const VideoFormat& format() const override { return format_; }

protected:
    // A new temporary file that commit() moves onto `target`, open for writing.
    FILE* newTemporary(const std::string& target) {
        std::string temp;
        FILE* file = createTemporaryStream(target, temp);
        moves_.emplace_back(temp, target);
        return file;
    }
    // The same, closed, for a child process to write.
    std::string newTemporaryPath(const std::string& target) {
        const TemporaryFile temp = createTemporary(target);
        close(temp.fd);
        moves_.emplace_back(temp.path, target);
        return temp.path;
    }
    // Every temporary onto its target, all or none; a chunk's note beside
    // the output when `noteFile`. A note left by an earlier chunk of that
    // name goes first: it no longer describes the file.
    void putInPlace(bool noteFile) {
        removeNoteFile(path_);
        moveIntoPlace(moves_);
        moves_.clear();
        if (chunk_ && noteFile) writeNoteFile(path_, *chunk_);
    }
    std::string path_;
    VideoFormat format_;
    std::optional<ChunkNote> chunk_;

private:
    std::vector<std::pair<std::string, std::string>> moves_;  // temporary, target
};

class Y4mSink : public FileSink {
public:
    Y4mSink(const std::string& path, const VideoFormat& format, const SinkOptions& options)
        : FileSink(path, format, options) {
        file_ = path == "-" ? stdout : newTemporary(path);
        try {
            writer_ = std::make_unique<Y4mWriter>(file_, format_, path, options.firstFrame == 0);
        } catch (...) {
            if (file_ != stdout) std::fclose(file_);
            throw;
        }
    }
    ~Y4mSink() override {
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    }
    void write(const uint8_t* frame, size_t size) override {
        SignalsHeld held;  // a frame is written whole
        writer_->writeFrame(frame, size);
    }
    void commit() override {
        const int flushed = std::fflush(file_);
        const int closed = file_ == stdout ? 0 : std::fclose(file_);
        if (file_ != stdout) file_ = nullptr;
        if (flushed != 0 || closed != 0) throw UserError(path_, std::string("write error: ") + std::strerror(errno));
        if (path_ != "-") putInPlace(true);
    }

private:
    FILE* file_ = nullptr;
    std::unique_ptr<Y4mWriter> writer_;
};

// PNG frames take 4:4:4 with alpha, which holds the rendered fields exactly;
// the alpha is written when the run's chroma has it.
class PngSink : public FileSink {
public:
    PngSink(const std::string& path, const VideoFormat& format, const SinkOptions& options, bool sequence)
        : FileSink(path, format, options), sequence_(sequence), alpha_(hasAlpha(format.chroma)),
          first_(sequence ? options.firstFrame : 0), index_(first_) {
        format_.chroma = Chroma::C444alpha;
        if (sequence_) {
            if (const std::string why = name_.parse(path); !why.empty()) throw UserError(path, why);
        }
    }
    void write(const uint8_t* frame, size_t size) override {
        if (!sequence_ && index_ > first_) throw UserError(path_, "a single PNG holds one frame");
        const std::string target = sequence_ ? name_.name(index_) : path_;
        ++index_;
        Frame stored;
        stored.data.assign(frame, frame + size);
        FILE* file = newTemporary(target);
        try {
            writePng(file, target, rgbaFromPicture(expandFrame(format_, stored)), alpha_);
        } catch (...) {
            std::fclose(file);
            throw;
        }
        if (std::fclose(file) != 0) throw UserError(target, std::string("cannot write PNG: ") + std::strerror(errno));
    }
    void commit() override {
        putInPlace(true);
        // Frames after the last one written, left by an earlier sequence,
        // would be read as part of this one; a chunk before the last has
        // its successors there.
        if (!sequence_ || (chunk_ && chunk_->end != chunk_->frames)) return;
        if (const std::string stale = staleFramesAfter(path_, index_); !stale.empty()) {
            std::fprintf(stderr, "fieldfx: %s: %s\n", path_.c_str(), stale.c_str());
        }
    }

private:
    SequenceName name_;
    bool sequence_, alpha_;
    int64_t first_, index_;
};

// The settings that keep the picture's shape: field order flagged and coded
// as fields when interlaced.
std::vector<std::string> interlaceArguments(const VideoFormat& format) {
    if (format.interlace == Interlace::Progressive) return {};
    const bool top = format.interlace == Interlace::TopFirst;
    return {"-flags", "+ildct+ilme", "-top", top ? "1" : "0", "-field_order", top ? "tt" : "bb",
            "-x264-params", top ? "tff=1" : "bff=1"};
}

// The encoding of an output with no plan: ffmpeg's choices, at the depth
// of `bits`.
EncodingPlan defaultEncoding(const std::string& path, const VideoFormat& format, int bits) {
    EncodingPlan plan;
    // .mpg would get MPEG-1, which has no fields.
    if (format.interlace != Interlace::Progressive && (endsWithNoCase(path, ".mpg") || endsWithNoCase(path, ".mpeg"))) {
        plan.videoArgs = {"-c:v", "mpeg2video"};
    }
    if (bits > 8) {
        const char* base = format.chroma == Chroma::C444alpha ? "yuva444p"
                           : format.chroma == Chroma::C444    ? "yuv444p"
                           : format.chroma == Chroma::C422    ? "yuv422p"
                                                              : "yuv420p";
        plan.pixFmt = base + std::to_string(bits) + "le";
    }
    return plan;
}

// Frames go to ffmpeg as YUV4MPEG2 on its standard input; ffmpeg writes a
// temporary file beside the target, renamed when ffmpeg succeeded. ffmpeg
// runs in a process group of its own, so an interrupted run still closes its
// input and lets it finish the file.
class FfmpegSink : public FileSink {
public:
    FfmpegSink(const std::string& path, const VideoFormat& format, const SinkOptions& options)
        : FileSink(path, format, options) {
        temp_ = newTemporaryPath(path);
        // Each error line marked, so that an encoder's own talk on stderr
        // (x265 says [info]) is told apart from an error.
        std::vector<std::string> args = {"-nostdin", "-hide_banner", "-loglevel", ffmpegVerbose() ? "info" : "level+error",
                                         "-y", "-f", "yuv4mpegpipe", "-i", "-"};
        const std::vector<std::string> audio = audioArguments(options.audio);
        args.insert(args.end(), audio.begin(), audio.end());
        args.insert(args.end(), {"-map", "0:v:0"});
        if (!audio.empty()) args.insert(args.end(), {"-map", "[audio]", "-shortest"});
        const std::vector<std::string> shape = interlaceArguments(format);
        args.insert(args.end(), shape.begin(), shape.end());
        const EncodingPlan plan = options.encoding.value_or(defaultEncoding(path, format, options.bits));
        std::vector<std::string> coding = encodingArguments(plan, !audio.empty(), options.chunk.has_value());
        // ffmpeg takes the last -x264-params: one of --encoder-args keeps
        // the field order too.
        for (size_t i = 0; i + 1 < coding.size() && !shape.empty(); ++i) {
            if (coding[i] == "-x264-params") coding[i + 1] = shape.back() + ":" + coding[i + 1];
        }
        args.insert(args.end(), coding.begin(), coding.end());
        if (options.chunk) {
            // A chunk's audio is carried losslessly and encoded once by
            // join, with the codec the whole run's output would have.
            const bool carried = !audio.empty() && plan.chunkAudioArgs != plan.audioArgs && plan.audioArgs.size() == 2;
            args.insert(args.end(), {"-metadata", "comment=" + chunkComment(*options.chunk, carried ? plan.audioArgs[1] : "")});
        }
        args.push_back(temp_);
        child_ = std::make_unique<ChildProcess>("ffmpeg", args, ChildProcess::Pipe::ToChild, path);
        try {
            writer_ = std::make_unique<Y4mWriter>(child_->stream(), format_, path);
        } catch (const UserError&) {
            failed();
        }
    }
    void write(const uint8_t* frame, size_t size) override {
        if (!failure_.empty()) failed();  // the pipe is closed: no more frames
        try {
            SignalsHeld held;  // a frame goes to ffmpeg whole
            writer_->writeFrame(frame, size);
            ++written_;
        } catch (const UserError&) {
            failed();
        }
    }
    void commit() override {
        if (!failure_.empty() || std::fflush(child_->stream()) != 0 || !child_->finish()) failed();
        // ffmpeg that exits with 0 may still have reported an error: an
        // encoder that failed part way through.
        if (!child_->firstMessage("", "", true).empty()) failed();
        // The file must hold every frame written, as a reader finds them.
        // (A stop signal stops ffprobe too: the frames ffmpeg took are kept.)
        if (const int64_t packets = countVideoPackets(temp_); packets != written_ && !(packets < 0 && g_abortRequested)) {
            failure_ = packets < 0 ? "ffprobe cannot read what ffmpeg wrote"
                                   : "ffmpeg wrote " + std::to_string(packets) + " of its " + std::to_string(written_) +
                                         " frames";
            failed();
        }
        putInPlace(false);
    }

private:
    // ffmpeg stopped taking frames or could not finish: its reason, in one
    // line. The first failure ends ffmpeg (and closes the pipe to it); every
    // later call gives the same reason and leaves the pipe alone.
    [[noreturn]] void failed() {
        if (failure_.empty()) {
            child_->finish();
            std::string why = child_->firstMessage(temp_, path_, true);
            if (why.empty()) why = child_->failure();
            failure_ = "ffmpeg could not write it: " + why;
        } else if (failure_.rfind("ffmpeg could not write it: ", 0) != 0) {
            failure_ = "ffmpeg could not write it: " + failure_;
        }
        throw UserError(path_, failure_);
    }
    std::string temp_;
    std::unique_ptr<ChildProcess> child_;
    std::unique_ptr<Y4mWriter> writer_;
    std::string failure_;  // set by the first failure
    int64_t written_ = 0;  // frames handed to ffmpeg
};

}  // namespace

std::unique_ptr<FrameSink> openSink(const std::string& path, const VideoFormat& format, const SinkOptions& options) {
    switch (sinkKindFor(path)) {
    case SinkKind::Y4m: return std::make_unique<Y4mSink>(path, format, options);
    case SinkKind::PngSingle: return std::make_unique<PngSink>(path, format, options, false);
    case SinkKind::PngSequence: return std::make_unique<PngSink>(path, format, options, true);
    case SinkKind::Ffmpeg: return std::make_unique<FfmpegSink>(path, format, options);
    }
    return nullptr;
}

}  // namespace fieldfx
