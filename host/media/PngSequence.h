// Numbered PNG frames (in%04d.png) as one input clip.
#pragma once

#include <memory>
#include <string>

#include "Sources.h"

namespace fieldfx {

// True for a path ending in .png with one number pattern like %04d or %d.
bool isPngSequencePattern(const std::string& path);

// Opens the frames numbered from the first of 0..4 that exists up to the
// last one before a gap, at options.stillRate frames a second; every frame
// must have the size of the first. Throws UserError when there is none.
std::unique_ptr<FrameSource> openPngSequence(const std::string& pattern, const SourceOptions& options);

}  // namespace fieldfx
