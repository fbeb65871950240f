// What an output name means and whether it may be written: its kind (by
// its name), whether it holds audio, the checks made before anything is
// rendered, the temporary files it is written to, and how they are put in
// place.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fieldfx {

enum class SinkKind { Y4m, PngSingle, PngSequence, Ffmpeg };
// A .png name with a percent sign is a sequence (out%04d.png).
SinkKind sinkKindFor(const std::string& path);

// Whether an output of this name can carry audio.
bool sinkHoldsAudio(const std::string& path);

// Throws UserError when `path` cannot be an output name: empty, or a PNG
// sequence name that is not one frame number (see SequenceName.h). Checked
// before the name is used for anything.
void checkOutputName(const std::string& path);

// The files an output writes: a sequence's frames numbered from
// `firstNumber`, `frames` of them, else the name itself ("-" none).
std::vector<std::string> outputFiles(const std::string& path, int64_t firstNumber, int64_t frames);

// The files an input reads: every frame of a PNG sequence, else the name
// itself ("-" none: standard input is checked by its descriptor).
std::vector<std::string> inputFiles(const std::string& input);

// Checks that the output can be made (a valid name, a writable directory,
// ffmpeg where needed, a single PNG for a one-frame run) and that none of
// the files it would write (`outputFiles`, and `alsoWritten`) is a file any
// of `inputs` reads (`inputFiles`; by device and inode, so links and other
// spellings are caught), before anything is rendered.
void checkSink(const std::string& path, int64_t frames, const std::vector<std::string>& inputs = {},
               int64_t firstNumber = 0, const std::vector<std::string>& alsoWritten = {});

// A new file beside `target` that a rename can move into place, opened for
// writing: .fieldfx-PID-[TAG]NAME. It is created afresh (O_EXCL), never
// through an existing name or a symbolic link planted there: a name in use
// gets another.
struct TemporaryFile {
    std::string path;
    int fd = -1;
};
TemporaryFile createTemporary(const std::string& target, const std::string& tag = "");
// The same, as a stdio stream. Throws UserError naming `target`.
FILE* createTemporaryStream(const std::string& target, std::string& path);

// Moves every temporary onto its target (pairs of temporary, target), all
// or nothing as far as the file system allows: a target that exists is
// kept aside (a hard link, else a rename) until every move is made, and a
// failed move puts back every earlier one. Throws UserError naming the
// target that failed; the temporaries are left for the caller to remove.
void moveIntoPlace(const std::vector<std::pair<std::string, std::string>>& moves);

// "frames A to B of an earlier sequence remain" when the sequence `pattern`
// goes on past frame `end` - 1 (numbers end.. without a gap), else empty.
std::string staleFramesAfter(const std::string& pattern, int64_t end);

}  // namespace fieldfx
