// Where frames come from: YUV4MPEG2 files and pipes, PNG stills and
// sequences, and any other format through an ffmpeg child process. Every
// source hands out frames as stored: planar Y'CbCr in its format()
// (PNG pictures as 4:4:4 with alpha, which holds them exactly).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Video.h"

namespace fieldfx {

// What a file read through ffmpeg has besides its pictures, and how its
// pictures and sound are coded (as ffprobe names them), which an output of
// the same kind keeps.
struct SourceMedia {
    bool audio = false;  // it has an audio stream
    int bits = 8;        // bits a sample as stored (frames arrive at 8)
    bool alpha = false;                  // its pictures have an alpha channel
    std::string codec, profile, pixFmt;  // the video stream's, e.g. prores, HQ, yuv422p10le
    int64_t bitRate = 0;                 // bits a second of the video stream; 0 unknown
    std::string audioCodec;              // e.g. pcm_s24le, aac
    int audioBits = 0;                   // bits a sample the audio keeps, when known
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual const std::string& name() const = 0;
    // The layout of the frames read() hands out, and the clip's scan, rate
    // and pixel aspect.
    virtual const VideoFormat& format() const = 0;
    virtual int64_t frameCount() const = 0;
    virtual SourceMedia media() const = 0;
    // Reads the next frame into `frame`, frameBytes(format()) bytes; false
    // at the end. Throws UserError on bad data.
    virtual bool read(uint8_t* frame) = 0;
    // Passes over the next frame; false at the end.
    virtual bool skip() = 0;
    // Passes over the next `count` frames; false when the source ends first.
    // A source that can start reading anywhere does so.
    virtual bool skipFrames(int64_t count) {
        for (int64_t i = 0; i < count; ++i) {
            if (!skip()) return false;
        }
        return true;
    }
    // Whether read() returned false because the source ended before its
    // stated length and the run may end there (--allow-short; the source has
    // said so on stderr).
    virtual bool endedShort() const { return false; }
};

struct SourceOptions {
    // The frames the run reads from the start of an input, at its rate (-1
    // when --length does not say): a pipe that long is read as it comes.
    std::function<int64_t(const Rational& rate)> framesWanted;
    bool showProgress = false;    // a progress line while a pipe is read to learn its length
    double stillSeconds = 1.0;    // how long a PNG still lasts
    Rational stillRate{25, 1};    // frames a second of a PNG still or sequence (--rate)
    bool allowShort = false;      // a file that ends before its stated length is rendered as far as it goes
};

// The format of PNG pictures read as video: 4:4:4 with alpha, progressive,
// square pixels, at the --rate of `options`. Throws UserError, naming
// `name`, for a size the program cannot render.
VideoFormat pngSourceFormat(int width, int height, const SourceOptions& options, const std::string& name);

// Opens "-" (YUV4MPEG2 on stdin), a .y4m or .png file (by content), a PNG
// sequence pattern, or anything else through ffmpeg. Throws UserError when
// it cannot.
std::unique_ptr<FrameSource> openSource(const std::string& path, const SourceOptions& options);

}  // namespace fieldfx
