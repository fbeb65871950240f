// What a chunk of a run (render --chunk K/N) says about itself, so that
// fieldfx join can tell whether chunks fit together whatever their names:
// the run it belongs to and the frames of that run it holds. Files ffmpeg
// writes keep the note as their container's comment; YUV4MPEG2 chunks (only
// the first of which has a stream header) and PNG sequences keep it in a
// file beside them, NAME.chunk, so that the chunks' own bytes are those of
// the whole run.
//
// A chunk is written under its name only when it is complete (an
// interrupted chunk leaves nothing), so a note always describes a whole
// chunk, and join checks that the chunk holds the frames its note names.
#pragma once

#include <cstdint>
#include <string>

namespace fieldfx {

struct ChunkNote {
    std::string run;  // the run's identity: 16 hex digits (see runDigest)
    int k = 0, n = 0;
    int64_t begin = 0, end = 0;  // the run's frames [begin, end)
    int64_t frames = 0;          // the run's length
};

// "fieldfx chunk 2/4: frames 25 to 49 of 100, run 0123456789abcdef"
std::string formatChunkNote(const ChunkNote& note);
// Reads that text back; false for anything else (nothing is assumed).
bool parseChunkNote(const std::string& text, ChunkNote& note);

// The comment of an encoded chunk: its note, and when the chunk carries its
// audio losslessly, the audio encoder join encodes it with:
// "fieldfx chunk 2/4: frames 25 to 49 of 100, run 0123456789abcdef; audio aac".
std::string chunkComment(const ChunkNote& note, const std::string& audioEncoder);
// Reads that text back; false for anything else.
bool parseChunkComment(const std::string& text, ChunkNote& note, std::string& audioEncoder);

// The file beside a YUV4MPEG2 or PNG-sequence chunk that holds its note.
std::string noteFileFor(const std::string& chunk);
// The note kept beside `chunk`: true with it, false when there is no
// note file. Throws UserError for a note file that is not a chunk note.
bool readNoteFile(const std::string& chunk, ChunkNote& note);
// Writes the note beside `chunk` (a temporary file renamed into place).
void writeNoteFile(const std::string& chunk, const ChunkNote& note);
// Removes a chunk note beside `output`, which no longer describes it once
// the output is rewritten. Only a file holding a chunk note is removed.
void removeNoteFile(const std::string& output);

// 16 hex digits of a 64-bit digest of `text`: the same text gives the same
// digits on every machine; two different texts share them by accident with
// a chance of about one in 2^64.
std::string runDigest(const std::string& text);

}  // namespace fieldfx
