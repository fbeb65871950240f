// fieldfx join: puts the outputs of `render --chunk K/N` back together into
// the whole run's output, after checking that they fit together.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fieldfx {

// Joins `chunks`, in order, into `output`:
// - YUV4MPEG2: the first chunk's stream header, then every chunk's frames.
//   A later chunk holds FRAME records only (as --chunk writes it) or a
//   stream header equal to the first one's, which is left out.
// - PNG sequences (patterns like out%04d.png): each chunk's numbered files
//   must follow the previous chunk's without a gap and have its picture
//   size and layout; they are copied to the output's numbers.
// - Anything else: files ffmpeg's concat demuxer joins with stream copy,
//   after ffprobe shows the same codec, size, pixel format and rate in
//   each, and the frame ranges --chunk notes in them follow each other.
// Chunk files named "...chunk-K-of-N..." must come as 1..N in order.
// The output appears only when the join succeeded. Throws UserError.
void joinChunks(const std::string& output, const std::vector<std::string>& chunks);

// The note --chunk leaves in an encoded chunk (its container's comment):
// "fieldfx chunk K/N: frames B to E of F".
std::string chunkNote(int k, int n, int64_t begin, int64_t end, int64_t frames);

}  // namespace fieldfx
