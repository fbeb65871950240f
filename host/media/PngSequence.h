// Numbered PNG frames (in%04d.png) as one input clip.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "SequenceName.h"
#include "Sources.h"

namespace fieldfx {

// True for a path ending in .png that holds a percent sign and names no
// existing file: a numbered name, whose pattern openPngSequence checks.
bool isPngSequencePattern(const std::string& path);

// The frames of a sequence as it is read: numbered from the first of 0..4
// that exists up to the last one before a gap.
struct PngSequenceFiles {
    SequenceName name;
    int64_t first = 0, count = 0;  // count 0: there is none
    std::string file(int64_t i) const { return name.name(first + i); }
};
// Throws UserError for a pattern that is not a sequence name.
PngSequenceFiles findPngSequence(const std::string& pattern);

// Opens the sequence's frames (findPngSequence) at options.stillRate frames
// a second; every frame must have the size of the first. Throws UserError
// when there is none.
std::unique_ptr<FrameSource> openPngSequence(const std::string& pattern, const SourceOptions& options);

}  // namespace fieldfx
