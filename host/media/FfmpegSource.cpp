#include "FfmpegSource.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "Error.h"
#include "Ffmpeg.h"
#include "FrameIndex.h"
#include "Stop.h"
#include "Y4m.h"

namespace fieldfx {

namespace {

// How many packets at most are decoded to learn which frames at the start
// of a stream that starts inside a group of pictures cannot be decoded.
constexpr int64_t kOpenStartPackets = 300;

// Whether the header's count of frames agrees with the stream's duration:
// a count that does not (an edit list's lead-in counted with the frames) is
// checked against the packets.
bool plausible(const MediaProbe& probe) {
    if (probe.frames <= 0) return false;
    if (probe.estimate < 0) return true;
    return std::llabs(probe.frames - probe.estimate) <= std::max<int64_t>(2, probe.estimate / 200);
}

class FfmpegSource : public FrameSource {
public:
    FfmpegSource(const std::string& path, const MediaProbe& probe, const SourceOptions& options)
        : path_(path), probe_(probe), allowShort_(options.allowShort) {
        media_.audio = probe.audio;
        media_.bits = probe.known ? pixFmtBits(probe.pixFmt) : 8;
        media_.codec = probe.codec;
        media_.profile = probe.profile;
        media_.pixFmt = probe.pixFmt;
        media_.bitRate = probe.bitRate;
        media_.audioCodec = probe.audioCodec;
        media_.audioBits = probe.audioBits;
        pixFmt_ = eightBitPixFmt(probe.pixFmt);
        openDecoder();
        count_ = countFrames(options);
    }

    const std::string& name() const override { return path_; }
    const VideoFormat& format() const override { return format_; }
    int64_t frameCount() const override { return count_; }
    SourceMedia media() const override { return media_; }
    bool endedShort() const override { return endedShort_; }

    bool read(uint8_t* frame) override {
        if (pending_) {
            std::memcpy(frame, pending_->data.data(), pending_->data.size());
            pending_.reset();
            ++position_;
            return true;
        }
        if (position_ >= count_ || endedShort_) return false;
        // The decode has ended early and its pipe is closed: the reading
        // thread may ask again for the frame after the one that failed.
        if (!failure_.empty()) throw UserError(path_, failure_);
        bool got = false;
        std::string broken;
        try {
            got = reader_->readFrame(frame);
        } catch (const UserError& e) {
            if (g_abortRequested) throw;
            broken = e.reason();  // ffmpeg ended inside a frame
        }
        if (got) {
            ++position_;
            return true;
        }
        return endedEarly(broken);
    }

    bool skip() override {
        scratch_.data.resize(frameBytes(format_));
        return read(scratch_.data.data());
    }

    bool skipFrames(int64_t count) override {
        if (count > 0 && position_ == 0 && !pending_ && count < count_ && restartAt(count)) {
            position_ = count;
            return true;
        }
        return FrameSource::skipFrames(count);
    }

private:
    // The decode from the start; its stream header gives the format.
    void openDecoder() {
        try {
            startDecoder({}, "");
            format_ = reader_->format();
        } catch (const UserError& e) {
            if (g_abortRequested || child_ == nullptr) throw;
            if (!std::feof(child_->stream())) {
                // ffmpeg handed over something this program refused.
                child_->stop();
                throw;
            }
            // ffmpeg ended its stream early: what it said is why.
            child_->finish();
            const std::string why = child_->firstMessage(path_ + ": ", "");
            throw UserError(path_, "ffmpeg cannot read it: " + (why.empty() ? e.reason() : why));
        }
    }

    // Starts ffmpeg with `inputArgs` before its input and `filter` on the
    // pictures, and reads its stream header. Throws UserError.
    void startDecoder(const std::vector<std::string>& inputArgs, const std::string& filter) {
        reader_.reset();
        child_.reset();
        std::vector<std::string> args = {"-nostdin", "-hide_banner", "-loglevel", ffmpegVerbose() ? "info" : "error"};
        args.insert(args.end(), inputArgs.begin(), inputArgs.end());
        args.insert(args.end(), {"-i", path_, "-map", "0:v:0"});
        // Alpha is kept as the file has it: ffmpeg's conversion to yuva444p
        // would round it (argb), so it goes around the conversion.
        std::string graph = filter;
        if (pixFmtHasAlpha(pixFmt_)) {
            graph += std::string(graph.empty() ? "" : ",") +
                     "split[picture][key];[key]alphaextract,format=gray[alpha];[picture]format=yuv444p[colour];"
                     "[colour][alpha]alphamerge";
        }
        if (!graph.empty()) args.insert(args.end(), {"-vf", graph});
        // Every decoded frame once, as it comes: frame i is the i-th the
        // decoder gives, whatever the times say.
        args.insert(args.end(), {"-fps_mode", "passthrough", "-f", "yuv4mpegpipe", "-pix_fmt", pixFmt_});
        // YUV4MPEG2's 444alpha is ffmpeg's own extension of the format.
        if (pixFmtHasAlpha(pixFmt_)) args.insert(args.end(), {"-strict", "-1"});
        args.push_back("-");
        child_ = std::make_unique<ChildProcess>("ffmpeg", args, ChildProcess::Pipe::FromChild, path_);
        reader_ = std::make_unique<Y4mReader>(child_->stream(), path_);
    }

    // How many frames the file holds: the header's count where it agrees
    // with the duration, else the packets shown (less any at the start that
    // cannot be decoded), else what the run wants.
    int64_t countFrames(const SourceOptions& options) {
        if (plausible(probe_)) return probe_.frames;
        if (probe_.ran && loadIndex()) {
            if (index_->frames() == 0) throw UserError(path_, "ffmpeg found no frames in it");
            return index_->frames();
        }
        const int64_t wanted = options.framesWanted ? options.framesWanted(format_.rate) : -1;
        if (wanted >= 0) return wanted;
        throw UserError(path_, std::string("cannot tell how many frames it holds (") +
                                   (probe_.ran ? "ffprobe cannot count them" : "ffprobe is not on the PATH") +
                                   "); --length says how many to render");
    }

    // The frames' times from the packets. False when ffprobe cannot list them.
    bool loadIndex() {
        if (index_) return true;
        const std::optional<std::vector<VideoPacket>> packets = probeVideoPackets(path_);
        if (!packets) return false;
        index_.emplace(*packets, probe_.container, probe_.timeBase);
        if (index_->startsOpen()) {
            const int64_t decodedFrom = std::min<int64_t>(kOpenStartPackets, int64_t(packets->size()));
            if (const std::optional<int64_t> first = probeFirstDecodedTime(path_, decodedFrom)) {
                index_->dropFramesBefore(*first);
            }
        }
        return true;
    }

    // Starts the decode again so that its first frame is frame `frame`:
    // at the key frame before it where the file allows, else from the start
    // with ffmpeg leaving out the frames before it. False when neither gives
    // the stream this one has (the caller then reads up to the frame).
    bool restartAt(int64_t frame) {
        if (probe_.ran && loadIndex() && index_->frames() == count_ && index_->whyNotSeekable().empty()) {
            const FrameIndex::SeekPoint point = index_->seekPointFor(frame);
            std::vector<std::string> seek = {"-copyts", "-noaccurate_seek"};
            if (!point.fromStart) {
                seek.insert(seek.end(), {"-ss", seekSeconds(point.keyTime, probe_.timeBase, probe_.startMicroseconds)});
            }
            // The frames from the one shown at the frame's time on; the
            // first of them must be that one (a decode that started past it
            // gives none, and the frame is found from the start instead).
            const std::string pts = std::to_string(point.framePts);
            const std::string filter = "trim=start_pts=" + pts + ",select='if(eq(n,0),st(0,eq(pts," + pts + ")),ld(0))'";
            if (tryDecoder(seek, filter) && readPending()) return true;
        }
        if (tryDecoder({}, "trim=start_frame=" + std::to_string(frame))) return true;
        startDecoder({}, "");
        return false;
    }

    // Starts a decoder as startDecoder does; true when its frames are of
    // this source's format.
    bool tryDecoder(const std::vector<std::string>& inputArgs, const std::string& filter) {
        try {
            startDecoder(inputArgs, filter);
        } catch (const UserError&) {
            if (g_abortRequested) throw;
            return false;
        }
        return formatY4mHeader(reader_->format()) == formatY4mHeader(format_);
    }

    // Reads the decode's first frame ahead; false when it gives none.
    bool readPending() {
        pending_.emplace();
        pending_->data.resize(frameBytes(format_));
        try {
            if (reader_->readFrame(pending_->data.data())) return true;
        } catch (const UserError&) {
            if (g_abortRequested) throw;
        }
        pending_.reset();
        return false;
    }

    // The decode ended before the stated count: an error, or with
    // --allow-short the end of the run.
    bool endedEarly(const std::string& broken) {
        if (g_abortRequested) return false;
        reader_.reset();  // it reads the pipe that finish() closes
        child_->finish();
        const std::string message = child_->firstMessage();
        std::string why = "ends early: frame " + std::to_string(position_ + 1) + " could not be read (the file says it holds " +
                          std::to_string(count_) + ")";
        if (!message.empty()) why += "; ffmpeg: " + message;
        else if (!broken.empty()) why += "; " + broken;
        if (!allowShort_) {
            failure_ = why + "; --allow-short renders the frames there are";
            throw UserError(path_, failure_);
        }
        std::fprintf(stderr, "fieldfx: %s: %s; rendering the %lld frames there are\n", path_.c_str(), why.c_str(),
                     static_cast<long long>(position_));
        endedShort_ = true;
        return false;
    }

    std::string path_;
    MediaProbe probe_;
    bool allowShort_;
    SourceMedia media_;
    std::string pixFmt_;  // the 8-bit format ffmpeg hands the frames over in
    VideoFormat format_;
    int64_t count_ = 0;
    int64_t position_ = 0;  // the next frame read() hands out
    bool endedShort_ = false;
    std::string failure_;  // why the decode ended early, once it has
    std::optional<FrameIndex> index_;
    std::optional<Frame> pending_;  // a frame read ahead
    Frame scratch_;
    std::unique_ptr<ChildProcess> child_;  // before reader_, which reads its pipe
    std::unique_ptr<Y4mReader> reader_;
};

}  // namespace

std::unique_ptr<FrameSource> openFfmpegSource(const std::string& path, const MediaProbe& probe,
                                              const SourceOptions& options) {
    return std::make_unique<FfmpegSource>(path, probe, options);
}

}  // namespace fieldfx
