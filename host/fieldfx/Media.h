// Where frames come from and go to: YUV4MPEG2 files and pipes, PNG stills
// and sequences, and any other format through an ffmpeg subprocess. Outputs
// are written to a temporary file beside the target and renamed into place
// only when the whole run succeeded, so a failed run leaves no file behind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Video.h"
#include "Y4m.h"

namespace fieldfx {

// What a file read through ffmpeg has besides its pictures.
struct SourceMedia {
    bool audio = false;  // it has an audio stream
    int bits = 8;        // bits a sample as stored (frames arrive at 8)
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual const VideoFormat& format() const = 0;
    virtual int64_t frameCount() const = 0;
    // Reads the next frame; false at the end. Throws UserError on bad data.
    virtual bool read(Picture& picture) = 0;
    virtual const std::string& name() const = 0;
    // Sources that store frames (YUV4MPEG2) also hand out the stored frame,
    // in storedFormat(); read() is expandFrame of it. Others return nullptr.
    virtual const VideoFormat* storedFormat() const { return nullptr; }
    virtual bool readStored(Frame&) { return false; }
    // readStored into `data`, frameBytes(*storedFormat()) bytes.
    virtual bool readStored(uint8_t* data) {
        Frame frame;
        if (!readStored(frame)) return false;
        std::memcpy(data, frame.data.data(), frame.data.size());
        return true;
    }
    // Passes over the next frame; false at the end.
    virtual bool skip() {
        Picture picture;
        return read(picture);
    }
    virtual SourceMedia media() const { return {}; }
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

// Opens "-" (YUV4MPEG2 on stdin), a .y4m or .png file (by content), or
// anything else through ffmpeg. Throws UserError when it cannot.
std::unique_ptr<FrameSource> openSource(const std::string& path, const SourceOptions& options);

class FrameSink {
public:
    virtual ~FrameSink() = default;  // an uncommitted output is removed
    virtual void write(const Picture& picture) = 0;
    virtual void commit() = 0;  // completes the output and puts it in place
    // Sinks that store frames (YUV4MPEG2, ffmpeg) also take the stored frame,
    // in storedFormat(); write() is writeStored of packFrame. Others return
    // nullptr.
    virtual const VideoFormat* storedFormat() const { return nullptr; }
    virtual void writeStored(const Frame&) {}
    // writeStored of `size` bytes at `data`.
    virtual void writeStored(const uint8_t* data, size_t size) {
        Frame frame;
        frame.data.assign(data, data + size);
        writeStored(frame);
    }
};

enum class SinkKind { Y4m, PngSingle, PngSequence, Ffmpeg };
SinkKind sinkKindFor(const std::string& path);

// Audio that goes with the rendered range: from one input, or crossfaded
// from the first input's to the second's over the run.
struct AudioPlan {
    std::vector<std::string> inputs;  // files with audio, in input order; empty for none
    bool crossfade = false;           // two inputs of a transition
    int fade = 0;                     // a transition with one sound: -1 it fades out, +1 it fades in
    double start = 0, seconds = 0;    // the rendered range in the inputs' time
    // A chunk: where its range lies in the whole run, and the run's length,
    // so that a fade spans the whole run (runSeconds 0: the range is the run).
    double runOffset = 0, runSeconds = 0;
};

struct SinkOptions {
    int bits = 8;     // bits a sample written through ffmpeg
    AudioPlan audio;
    // Where in the whole run the sink's frames lie: a chunk of a run that
    // starts at `firstFrame` continues the whole run's output, so that the
    // chunks' outputs concatenated in order are the whole run's. A
    // YUV4MPEG2 chunk after the first holds FRAME records only (the first
    // chunk holds the stream header); a PNG sequence is numbered by the frame
    // of the whole run. Files ffmpeg writes are whole files, joined by
    // `fieldfx join`.
    int64_t firstFrame = 0;
    std::string note;  // kept in an encoded file's comment, for fieldfx join
};

// Whether an output of this name can carry audio.
bool sinkHoldsAudio(const std::string& path);

// Checks that the output can be made (a writable directory, ffmpeg where
// needed, a single PNG for a one-frame run) and that it would overwrite none
// of `inputs` (same device and inode, so links and other spellings are
// caught; every file of a PNG sequence is checked), before anything is
// rendered.
void checkSink(const std::string& path, int64_t frames, const std::vector<std::string>& inputs = {});
std::unique_ptr<FrameSink> openSink(const std::string& path, const VideoFormat& format,
                                    const SinkOptions& options = {});

bool ffmpegAvailable();
std::string shellQuote(const std::string& text);

// The path of a temporary file beside `path` that a rename can move into place.
std::string temporaryPathFor(const std::string& path);

}  // namespace fieldfx
