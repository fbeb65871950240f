// Where frames come from: YUV4MPEG2 files and pipes, PNG stills and
// sequences, and any other format through an ffmpeg child process. Every
// source hands out frames as stored: planar Y'CbCr in its format()
// (PNG pictures as 4:4:4 with alpha, which holds them exactly).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Video.h"

namespace fieldfx {

// What a file read through ffmpeg has besides its pictures.
struct SourceMedia {
    bool audio = false;  // it has an audio stream
    int bits = 8;        // bits a sample as stored (frames arrive at 8)
    bool alpha = false;  // its pictures have an alpha channel
    // As ffprobe tells them, for an output that keeps them: the video's
    // codec, profile and rate, and the audio's codec.
    std::string codec, profile, audioCodec;
    int64_t bitRate = 0;
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
};

struct SourceOptions {
    int64_t frameHint = -1;       // frames wanted, when a pipe need not be counted
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
