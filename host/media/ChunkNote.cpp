#include "ChunkNote.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Error.h"
#include "OutputPath.h"

namespace fieldfx {

namespace {

const char kNotePrefix[] = "fieldfx chunk ";

// Reads a decimal number of 1 to 18 digits at `at`, as formatChunkNote
// writes it (no leading zeros), moving past it.
bool readNumber(const std::string& text, size_t& at, int64_t& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && at - start < 18 && text[at] >= '0' && text[at] <= '9') value = value * 10 + (text[at++] - '0');
    const bool ends = at >= text.size() || text[at] < '0' || text[at] > '9';
    return at > start && ends && (text[start] != '0' || at == start + 1);
}

bool readWord(const std::string& text, size_t& at, const char* word) {
    const size_t length = std::strlen(word);
    if (text.compare(at, length, word) != 0) return false;
    at += length;
    return true;
}

}  // namespace

std::string formatChunkNote(const ChunkNote& note) {
    return kNotePrefix + std::to_string(note.k) + "/" + std::to_string(note.n) + ": frames " + std::to_string(note.begin) +
           " to " + std::to_string(note.end - 1) + " of " + std::to_string(note.frames) + ", run " + note.run;
}

bool parseChunkNote(const std::string& text, ChunkNote& note) {
    size_t at = 0;
    int64_t k = 0, n = 0, begin = 0, last = 0, frames = 0;
    if (!readWord(text, at, kNotePrefix) || !readNumber(text, at, k) || !readWord(text, at, "/") ||
        !readNumber(text, at, n) || !readWord(text, at, ": frames ") || !readNumber(text, at, begin) ||
        !readWord(text, at, " to ") || !readNumber(text, at, last) || !readWord(text, at, " of ") ||
        !readNumber(text, at, frames) || !readWord(text, at, ", run ")) {
        return false;
    }
    const std::string run = text.substr(at);
    if (run.size() != 16 || run.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    if (k < 1 || k > n || n > 100000 || begin > last || last >= frames) return false;
    note = {run, int(k), int(n), begin, last + 1, frames};
    return true;
}

namespace {
const char kAudioLead[] = "; audio ";
}  // namespace

std::string chunkComment(const ChunkNote& note, const std::string& audioEncoder) {
    return formatChunkNote(note) + (audioEncoder.empty() ? "" : kAudioLead + audioEncoder);
}

bool parseChunkComment(const std::string& text, ChunkNote& note, std::string& audioEncoder) {
    const size_t at = text.find(kAudioLead);
    const std::string encoder = at == std::string::npos ? "" : text.substr(at + std::strlen(kAudioLead));
    if (at != std::string::npos &&
        (encoder.empty() || encoder.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-") != std::string::npos)) {
        return false;
    }
    if (!parseChunkNote(text.substr(0, at), note)) return false;
    audioEncoder = encoder;
    return true;
}

std::string noteFileFor(const std::string& chunk) { return chunk + ".chunk"; }

bool readNoteFile(const std::string& chunk, ChunkNote& note) {
    const std::string path = noteFileFor(chunk);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT) return false;
        throw UserError(path, std::string("cannot read its chunk note: ") + std::strerror(errno));
    }
    char text[256] = {};
    const size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::string line(text, got);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!parseChunkNote(line, note)) throw UserError(path, "is not a chunk note of fieldfx render --chunk");
    return true;
}

void writeNoteFile(const std::string& chunk, const ChunkNote& note) {
    const std::string target = noteFileFor(chunk);
    std::string temp;
    FILE* file = createTemporaryStream(target, temp);
    const std::string line = formatChunkNote(note) + "\n";
    const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    if (std::fclose(file) != 0 || !written || std::rename(temp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        std::remove(temp.c_str());
        throw UserError(target, std::string("cannot write the chunk's note: ") + std::strerror(error));
    }
}

void removeNoteFile(const std::string& output) {
    const std::string path = noteFileFor(output);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return;
    char start[sizeof kNotePrefix - 1] = {};
    const bool note = std::fread(start, 1, sizeof start, file) == sizeof start &&
                      std::memcmp(start, kNotePrefix, sizeof start) == 0;
    std::fclose(file);
    if (note) std::remove(path.c_str());
}

std::string runDigest(const std::string& text) {
    // FNV-1a over the bytes, then a finaliser that spreads every bit.
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    static const char kHex[] = "0123456789abcdef";
    std::string digits(16, '0');
    for (int i = 15; i >= 0; --i, h >>= 4) digits[size_t(i)] = kHex[h & 15];
    return digits;
}

}  // namespace fieldfx
