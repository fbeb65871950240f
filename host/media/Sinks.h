// Where frames go to: YUV4MPEG2 files and pipes, PNG stills and sequences,
// and any other format through an ffmpeg child process. Outputs are written
// to new temporary files beside the target and moved into place only when
// the run is complete (a sequence's frames all or none), so a failed run
// leaves no file behind.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChunkNote.h"
#include "Encoding.h"
#include "Video.h"

namespace fieldfx {

class FrameSink {
public:
    virtual ~FrameSink() = default;  // an uncommitted output is removed
    // The layout of the frames write() takes.
    virtual const VideoFormat& format() const = 0;
    // Writes one frame of frameBytes(format()) bytes. Throws UserError.
    virtual void write(const uint8_t* frame, size_t size) = 0;
    // Completes the output and puts it in place (with a chunk's note). A
    // PNG sequence that leaves frames of an earlier, longer one after its
    // own says so on stderr.
    virtual void commit() = 0;
};

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
    // How a file ffmpeg writes is encoded (see Encoding.h); by default
    // ffmpeg's own choices, with the depth of `bits`.
    std::optional<EncodingPlan> encoding;
    // Where in the whole run the sink's frames lie: a chunk of a run that
    // starts at `firstFrame` continues the whole run's output, so that the
    // chunks' outputs concatenated in order are the whole run's. A
    // YUV4MPEG2 chunk after the first holds FRAME records only (the first
    // chunk holds the stream header); a PNG sequence is numbered by the frame
    // of the whole run. Files ffmpeg writes are whole files, joined by
    // `fieldfx join`.
    int64_t firstFrame = 0;
    // A chunk's note (see ChunkNote.h): kept in an encoded file's comment,
    // else in the note file beside the output, written when it is committed.
    std::optional<ChunkNote> chunk;
};

// Opens the output for frames of `format` (its size, chroma and scan). The
// sink takes frames in that format, except PNG, which takes them as 4:4:4
// with alpha. Throws UserError.
std::unique_ptr<FrameSink> openSink(const std::string& path, const VideoFormat& format,
                                    const SinkOptions& options = {});

}  // namespace fieldfx
