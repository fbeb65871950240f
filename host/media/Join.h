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
// - PNG sequences (names like out%04d.png): each chunk's numbered files
//   must follow the previous chunk's without a gap and have its picture
//   size and layout; they are copied to the output's numbers.
// - Anything else: files ffmpeg's concat demuxer joins with stream copy,
//   after ffprobe shows the same codec, size, pixel format and rate in
//   each.
// Chunk files named "...chunk-K-of-N..." must come as 1..N in order. When
// any chunk has a note (see ChunkNote.h), every chunk must have one of the
// same run, the notes must cover the run's frames once each, in order, and
// each chunk must hold the frames its note names; files without notes are
// joined as they are. The output appears only when the join succeeded.
// Throws UserError.
void joinChunks(const std::string& output, const std::vector<std::string>& chunks);

}  // namespace fieldfx
