// What an output name means and whether it may be written: its kind (by
// its name), whether it holds audio, the checks made before anything is
// rendered, and the temporary name it is written under.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fieldfx {

enum class SinkKind { Y4m, PngSingle, PngSequence, Ffmpeg };
SinkKind sinkKindFor(const std::string& path);

// Whether an output of this name can carry audio.
bool sinkHoldsAudio(const std::string& path);

// Checks that the output can be made (a writable directory, ffmpeg where
// needed, a single PNG for a one-frame run) and that it would overwrite none
// of `inputs` (same device and inode, so links and other spellings are
// caught; every file of a PNG sequence is checked), before anything is
// rendered.
void checkSink(const std::string& path, int64_t frames, const std::vector<std::string>& inputs = {});

// The path of a temporary file beside `path` that a rename can move into place.
std::string temporaryPathFor(const std::string& path);

}  // namespace fieldfx
