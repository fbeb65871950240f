// Frames of any file ffmpeg reads: an ffmpeg child process decodes it to
// YUV4MPEG2 on a pipe, read as it comes. The number of frames comes from
// the container (ffprobe), and is checked as the frames arrive; a render
// that starts past the first frame starts the decode at the key frame
// before it where the file allows (see FrameIndex).
#pragma once

#include <memory>
#include <string>

#include "Probe.h"
#include "Sources.h"

namespace fieldfx {

// Opens `path`, which ffprobe read (`probe`), through ffmpeg. Throws
// UserError with the reason (ffmpeg's first message where it gave one).
std::unique_ptr<FrameSource> openFfmpegSource(const std::string& path, const MediaProbe& probe,
                                              const SourceOptions& options);

}  // namespace fieldfx
