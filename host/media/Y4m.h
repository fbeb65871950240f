// YUV4MPEG2 streams: a one-line stream header, then frames, each a "FRAME"
// line followed by the planes. 8-bit 4:2:0 (three sitings), 4:2:2, 4:4:4 and
// 4:4:4 with alpha.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Video.h"

namespace fieldfx {

// Parses a stream header line (without its newline). Throws UserError
// naming `source` when the line is malformed or describes something this
// program cannot handle.
VideoFormat parseY4mHeader(const std::string& line, const std::string& source);
std::string formatY4mHeader(const VideoFormat& format);

class Y4mReader {
public:
    // Reads the stream header at once; throws UserError on a bad one.
    Y4mReader(FILE* file, std::string source);
    // Reads frames of a known format from a stream whose header was read.
    Y4mReader(FILE* file, std::string source, const VideoFormat& format)
        : file_(file), source_(std::move(source)), format_(format) {}
    const VideoFormat& format() const { return format_; }

    // Reads the next frame; false at the clean end of the stream. A frame
    // cut short or a malformed frame line throws UserError.
    bool readFrame(Frame& frame);
    // The same into `data`, frameBytes(format()) bytes.
    bool readFrame(uint8_t* data);
    // Passes over the next frame: by seeking in a file, by reading a pipe.
    bool skipFrame();

    // On a seekable stream: the number of frames from the current one to
    // the end, checking every frame line and size on the way. -1 when the
    // stream cannot seek. A frame cut short throws UserError, or with
    // `wholeOnly` ends the count there (cutShort() then tells).
    int64_t countFrames(bool wholeOnly = false);
    bool cutShort() const { return cutShort_; }
    // From now on a frame cut short at the end of the stream ends it (read
    // as the clean end, cutShort() then tells) instead of being an error.
    void endAtCutFrame() { endAtCutFrame_ = true; }

private:
    bool readFrameLine();
    FILE* file_;
    std::string source_;
    VideoFormat format_;
    int64_t framesRead_ = 0;
    bool cutShort_ = false;
    bool endAtCutFrame_ = false;
};

class Y4mWriter {
public:
    // Writes the stream header at once, unless `header` is false: then the
    // frames continue a stream whose header another writer wrote (a later
    // chunk of a run).
    Y4mWriter(FILE* file, const VideoFormat& format, std::string target, bool header = true);
    void writeFrame(const Frame& frame) { writeFrame(frame.data.data(), frame.data.size()); }
    void writeFrame(const uint8_t* data, size_t size);

private:
    FILE* file_;
    VideoFormat format_;
    std::string target_;
};

}  // namespace fieldfx
