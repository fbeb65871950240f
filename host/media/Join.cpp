#include "Join.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "ChunkNote.h"
#include "Error.h"
#include "Ffmpeg.h"
#include "OutputPath.h"
#include "Probe.h"
#include "SequenceName.h"
#include "Text.h"
#include "Y4m.h"

namespace fieldfx {

namespace {

// "chunk-K-of-N" in a file name: K and N, or false when it has none.
bool chunkNumbers(const std::string& name, long& k, long& n) {
    for (size_t at = name.find("chunk-"); at != std::string::npos; at = name.find("chunk-", at + 1)) {
        char tail = 0;
        int used = 0;
        if (std::sscanf(name.c_str() + at, "chunk-%ld-of-%ld%n%c", &k, &n, &used, &tail) >= 2 && used > 0 &&
            std::isdigit(static_cast<unsigned char>(name[at + 6])) != 0) {
            return true;
        }
    }
    return false;
}

// Chunks named "...chunk-K-of-N..." (as tools/slurm-render names them) must
// be chunks 1..N of one N, in order. Other names are not checked.
void checkChunkNames(const std::vector<std::string>& chunks) {
    std::vector<std::pair<long, long>> numbers;
    for (const std::string& chunk : chunks) {
        long k = 0, n = 0;
        if (!chunkNumbers(baseName(chunk), k, n)) return;
        numbers.emplace_back(k, n);
    }
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (numbers[i].first != long(i) + 1 || numbers[i].second != long(numbers.size())) {
            throw UserError(chunks[i], "is chunk " + std::to_string(numbers[i].first) + " of " +
                                           std::to_string(numbers[i].second) + " but comes as chunk " +
                                           std::to_string(i + 1) + " of " + std::to_string(numbers.size()) +
                                           " (give every chunk once, in order)");
        }
    }
}

std::string formatText(const VideoFormat& f) {
    return std::to_string(f.width) + "x" + std::to_string(f.height) + " " + chromaName(f.chroma) + " at " +
           std::to_string(f.rate.num) + "/" + std::to_string(f.rate.den) + " frames/s, " +
           (f.interlace == Interlace::TopFirst ? "top field first"
                                               : f.interlace == Interlace::BottomFirst ? "bottom field first" : "progressive");
}

// ---------------------------------------------------------------------------
// Chunk notes: with any chunk noted, every chunk must be a chunk of the same
// run, and together they must hold its frames once each, in order.

using Notes = std::vector<std::optional<ChunkNote>>;

std::string range(int64_t first, int64_t last) { return std::to_string(first) + " to " + std::to_string(last); }

// `where` says where a chunk's note would be, for the message about a
// chunk without one.
void checkNotes(const std::vector<std::string>& chunks, const Notes& notes,
                const std::function<std::string(const std::string&)>& where) {
    const auto noted = std::find_if(notes.begin(), notes.end(), [](const auto& n) { return n.has_value(); });
    if (noted == notes.end()) return;  // plain files, joined as they are
    const std::string& model = chunks[size_t(noted - notes.begin())];
    const ChunkNote& run = **noted;
    int64_t next = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (!notes[i]) {
            throw UserError(chunks[i], "has no chunk note (" + where(chunks[i]) + "), so it is not a chunk of the run " +
                                           model + " belongs to");
        }
        const ChunkNote& note = *notes[i];
        if (note.run != run.run || note.frames != run.frames) {
            throw UserError(chunks[i], "is a chunk of another run than " + model + " (run " + note.run + " of " +
                                           std::to_string(note.frames) + " frames, not run " + run.run + " of " +
                                           std::to_string(run.frames) + ")");
        }
        const std::string holds = "holds frames " + range(note.begin, note.end - 1) + " of the run, but ";
        if (note.begin > next) {
            throw UserError(chunks[i], holds + "frame " + std::to_string(next) + " comes next (frames " +
                                           range(next, note.begin - 1) + " are missing; give every chunk once, in order)");
        }
        if (note.begin < next) {
            throw UserError(chunks[i], holds + "the chunks before it hold frames up to " + std::to_string(next - 1) +
                                           " (give every chunk once, in order)");
        }
        next = note.end;
    }
    if (next != run.frames) {
        throw UserError(chunks.back(), "ends at frame " + std::to_string(next - 1) + " of a run of " +
                                           std::to_string(run.frames) + " frames (a chunk after it is missing)");
    }
}

// A chunk must hold the frames its note names: one cut short (or one
// holding more) does not fit.
void checkHeld(const std::string& chunk, const std::optional<ChunkNote>& note, int64_t held) {
    if (!note || held == note->end - note->begin) return;
    throw UserError(chunk, "holds " + std::to_string(held) + " frames, but its note names " +
                               std::to_string(note->end - note->begin) + " (frames " + range(note->begin, note->end - 1) +
                               " of the run)" + (held < note->end - note->begin ? ": it is cut short" : ""));
}

// The notes kept beside YUV4MPEG2 and PNG-sequence chunks.
Notes notesBeside(const std::vector<std::string>& chunks) {
    Notes notes;
    for (const std::string& chunk : chunks) {
        ChunkNote note;
        notes.push_back(readNoteFile(chunk, note) ? std::optional<ChunkNote>(note) : std::nullopt);
    }
    return notes;
}

std::string noteBeside(const std::string& chunk) { return "no " + noteFileFor(chunk) + " beside it"; }

bool sameFile(const std::string& a, const std::string& b) {
    struct stat x {}, y {};
    return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// An output file written to a new file beside its target and renamed into
// place at the end.
class JoinOutput {
public:
    explicit JoinOutput(const std::string& path) : path_(path) {
        if (path == "-") {
            file_ = stdout;
            return;
        }
        file_ = createTemporaryStream(path, temp_);
    }
    ~JoinOutput() {
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
        if (!temp_.empty()) std::remove(temp_.c_str());
    }
    FILE* file() const { return file_; }
    void commit() {
        const int flushed = std::fflush(file_);
        const int closed = file_ == stdout ? 0 : std::fclose(file_);
        if (file_ != stdout) file_ = nullptr;
        if (flushed != 0 || closed != 0) throw UserError(path_, std::string("write error: ") + std::strerror(errno));
        if (temp_.empty()) return;
        removeNoteFile(path_);
        moveIntoPlace({{temp_, path_}});
        temp_.clear();
    }

private:
    std::string path_, temp_;
    FILE* file_ = nullptr;
};

struct OpenFile {
    explicit OpenFile(const std::string& path) : file(std::fopen(path.c_str(), "rb")) {
        if (file == nullptr) throw UserError(path, std::strerror(errno));
    }
    ~OpenFile() { std::fclose(file); }
    FILE* file;
};

// Whether the file starts with a stream header; false for an empty file.
bool startsWithHeader(FILE* file, size_t& got) {
    char magic[9] = {};
    got = std::fread(magic, 1, sizeof magic, file);
    std::rewind(file);
    return got == sizeof magic && std::memcmp(magic, "YUV4MPEG2", sizeof magic) == 0;
}

void joinY4m(const std::string& output, const std::vector<std::string>& chunks) {
    // The stream headers first: the first chunk's, and any later one's,
    // which must be the same.
    VideoFormat format;
    for (size_t i = 0; i < chunks.size(); ++i) {
        OpenFile in(chunks[i]);
        size_t got = 0;
        if (startsWithHeader(in.file, got)) {
            const VideoFormat f = Y4mReader(in.file, chunks[i]).format();
            if (i == 0) format = f;
            if (formatY4mHeader(f) != formatY4mHeader(format)) {
                throw UserError(chunks[i], formatText(f) + " does not fit " + formatText(format) + " of " + chunks[0]);
            }
        } else if (i == 0) {
            throw UserError(chunks[i], got == 0 ? "is empty, and the first chunk holds the stream header"
                                                : "holds no stream header, so it is not the first chunk of a run "
                                                  "(give the chunks in order)");
        }
    }
    const Notes notes = notesBeside(chunks);
    checkNotes(chunks, notes, noteBeside);

    JoinOutput out(output);
    Y4mWriter writer(out.file(), format, output);
    Frame frame;
    for (size_t i = 0; i < chunks.size(); ++i) {
        OpenFile in(chunks[i]);
        size_t got = 0;
        std::unique_ptr<Y4mReader> reader = startsWithHeader(in.file, got)
                                                 ? std::make_unique<Y4mReader>(in.file, chunks[i])
                                                 : std::make_unique<Y4mReader>(in.file, chunks[i], format);
        // Every frame is read whole before it is written: a chunk cut short,
        // or one of another size or chroma layout, fails at its frame.
        int64_t held = 0;
        try {
            for (; reader->readFrame(frame); ++held) writer.writeFrame(frame);
        } catch (const UserError& e) {
            throw UserError(chunks[i], e.reason() + " (frames of " + formatText(format) + " expected, as in " +
                                           chunks[0] + ")");
        }
        checkHeld(chunks[i], notes[i], held);
    }
    out.commit();
}

// ---------------------------------------------------------------------------
// PNG sequences

// The numbered files of a sequence name, by number.
std::map<int64_t, std::string> filesOf(const std::string& path) {
    SequenceName name;
    if (const std::string why = name.parse(path); !why.empty()) throw UserError(path, why);
    std::map<int64_t, std::string> files;
    const std::string dir = name.directory();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) throw UserError(path, std::string("cannot read its directory: ") + std::strerror(errno));
    const std::string lead = name.directoryPrefix();
    while (const dirent* e = readdir(d)) {
        int64_t number = 0;
        if (name.numberOf(lead + e->d_name, number)) files[number] = lead + e->d_name;
    }
    closedir(d);
    return files;
}

// Width, height, bit depth and colour type from a PNG's header.
std::string pngShape(const std::string& path) {
    OpenFile in(path);
    uint8_t head[26] = {};
    if (std::fread(head, 1, sizeof head, in.file) != sizeof head || std::memcmp(head + 12, "IHDR", 4) != 0) {
        throw UserError(path, "not a PNG file");
    }
    auto be32 = [&](int at) { return (uint32_t(head[at]) << 24) | (uint32_t(head[at + 1]) << 16) | (uint32_t(head[at + 2]) << 8) | head[at + 3]; };
    return std::to_string(be32(16)) + "x" + std::to_string(be32(20)) + (head[25] == 6 ? " with alpha" : "") +
           (head[24] != 8 ? ", " + std::to_string(head[24]) + "-bit" : "");
}

// Copies `from` into `out`, which it closes; `to` names it in errors.
void copyFile(const std::string& from, FILE* out, const std::string& to) {
    std::unique_ptr<OpenFile> in;
    try {
        in = std::make_unique<OpenFile>(from);
    } catch (...) {
        std::fclose(out);
        throw;
    }
    char buffer[1 << 16];
    size_t n = 0;
    bool ok = true;
    while ((n = std::fread(buffer, 1, sizeof buffer, in->file)) > 0) ok = ok && std::fwrite(buffer, 1, n, out) == n;
    ok = !std::ferror(in->file) && ok;
    if (std::fclose(out) != 0 || !ok) throw UserError(to, std::string("write error: ") + std::strerror(errno));
}

void joinPngSequences(const std::string& output, const std::vector<std::string>& chunks) {
    SequenceName out;
    if (const std::string why = out.parse(output); !why.empty()) throw UserError(output, why);
    const Notes notes = notesBeside(chunks);
    std::vector<std::map<int64_t, std::string>> pieces;
    std::string shape;
    int64_t expected = -1;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const std::string& chunk = chunks[i];
        std::map<int64_t, std::string> files = filesOf(chunk);
        if (notes[i]) {
            // The frames the note names, every one of them; any others
            // (an earlier sequence's) are not part of the chunk.
            std::map<int64_t, std::string> held;
            for (int64_t f = notes[i]->begin; f < notes[i]->end; ++f) {
                if (files.count(f) != 0) held[f] = files[f];
            }
            checkHeld(chunk, notes[i], int64_t(held.size()));
            files = std::move(held);
        }
        if (files.empty()) throw UserError(chunk, "no numbered PNG files match it");
        const int64_t first = files.begin()->first, last = files.rbegin()->first;
        if (last - first + 1 != int64_t(files.size())) throw UserError(chunk, "its numbers have gaps");
        if (expected >= 0 && first != expected) {
            throw UserError(chunk, "starts at frame " + std::to_string(first) + " but the chunk before it ends at frame " +
                                       std::to_string(expected - 1) + " (give the chunks in order, none missing)");
        }
        expected = last + 1;
        for (const auto& [number, file] : files) {
            const std::string s = pngShape(file);
            if (shape.empty()) shape = s;
            if (s != shape) throw UserError(file, "is " + s + ", the chunks before it " + shape);
        }
        pieces.push_back(std::move(files));
    }
    checkNotes(chunks, notes, noteBeside);
    // Copies to new temporary files first, moved into place, all or none,
    // when every copy is made. A chunk written under the output's own
    // names stays where it is; no other chunk's file is written over.
    std::vector<std::pair<std::string, std::string>> moves;
    auto cleanup = [&] {
        for (const auto& m : moves) std::remove(m.first.c_str());
    };
    std::map<std::pair<dev_t, ino_t>, std::string> sources;  // every chunk's files
    for (const auto& piece : pieces) {
        for (const auto& [number, file] : piece) {
            struct stat info {};
            if (stat(file.c_str(), &info) == 0) sources[{info.st_dev, info.st_ino}] = file;
        }
    }
    try {
        for (const auto& piece : pieces) {
            for (const auto& [number, file] : piece) {
                const std::string target = out.name(number);
                struct stat info {};
                if (stat(target.c_str(), &info) == 0) {
                    if (sameFile(target, file)) continue;
                    if (const auto source = sources.find({info.st_dev, info.st_ino}); source != sources.end()) {
                        throw UserError(target, "is " + source->second + ", a frame of a chunk (choose another output)");
                    }
                }
                std::string temp;
                FILE* copy = createTemporaryStream(target, temp);
                moves.emplace_back(temp, target);
                copyFile(file, copy, target);
            }
        }
        removeNoteFile(output);
        moveIntoPlace(moves);
    } catch (...) {
        cleanup();
        throw;
    }
    if (const std::string stale = staleFramesAfter(output, expected); !stale.empty()) {
        std::fprintf(stderr, "fieldfx: %s: %s\n", output.c_str(), stale.c_str());
    }
}

// ---------------------------------------------------------------------------
// Encoded files through ffmpeg

// The stream's codec, size, pixel format and rate, which every chunk must
// share, as one text.
std::string streamText(const MediaProbe& p) {
    return "codec_name=" + p.codec + ", width=" + std::to_string(p.width) + ", height=" + std::to_string(p.height) +
           ", pix_fmt=" + p.pixFmt + ", r_frame_rate=" + p.rate;
}

void joinEncoded(const std::string& output, const std::vector<std::string>& chunks) {
    if (!ffmpegAvailable()) throw UserError(output, "joining this format needs ffmpeg, which is not on the PATH");
    std::string first;
    Notes notes;
    std::string audioEncoder;  // the first chunk's: chunks of one run share it
    for (size_t i = 0; i < chunks.size(); ++i) {
        const MediaProbe p = probeMedia(chunks[i]);
        if (!p.known) throw UserError(chunks[i], "ffprobe finds no video stream in it");
        const std::string stream = streamText(p);
        if (i == 0) first = stream;
        if (stream != first) {
            throw UserError(chunks[i], "does not fit " + chunks[0] + ": " + stream + " against " + first);
        }
        ChunkNote note;
        std::string audio;
        notes.push_back(parseChunkComment(p.comment, note, audio) ? std::optional<ChunkNote>(note) : std::nullopt);
        if (i == 0 && p.audio) audioEncoder = audio;
    }
    checkNotes(chunks, notes, [](const std::string&) { return std::string("no fieldfx chunk note in its comment"); });
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (!notes[i]) continue;
        const int64_t packets = countVideoPackets(chunks[i]);
        if (packets < 0) throw UserError(chunks[i], "ffprobe cannot count its frames");
        checkHeld(chunks[i], notes[i], packets);
    }
    // The concat demuxer's list, beside the output, with absolute paths.
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) throw UserError(output, std::string("cannot tell the working directory: ") + std::strerror(errno));
    std::string list;
    {
        FILE* f = createTemporaryStream(output + ".list", list);
        bool written = true;
        for (const std::string& chunk : chunks) {
            if (chunk.find_first_of("\n\r") != std::string::npos) {
                std::fclose(f);
                std::remove(list.c_str());
                throw UserError(chunk, "a name with a line break cannot be given to ffmpeg's concat demuxer (rename it)");
            }
            const std::string path = chunk[0] == '/' ? chunk : std::string(cwd) + "/" + chunk;
            std::string line = "file '";
            for (char c : path) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
            line += "'\n";
            written = written && std::fputs(line.c_str(), f) >= 0;
        }
        if (std::fclose(f) != 0 || !written) {
            const int error = errno;
            std::remove(list.c_str());
            throw UserError(output, std::string("cannot write the list of chunks beside it: ") + std::strerror(error));
        }
    }
    std::string temp;
    try {
        const TemporaryFile made = createTemporary(output);
        close(made.fd);
        temp = made.path;
    } catch (...) {
        std::remove(list.c_str());
        throw;
    }
    std::vector<std::string> args = {"-nostdin", "-hide_banner", "-loglevel", "level+error", "-y",
                                     "-f", "concat", "-safe", "0", "-i", list};
    if (audioEncoder.empty()) {
        args.insert(args.end(), {"-map", "0", "-c", "copy", temp});
    } else {
        // Chunks carry their audio losslessly: it is encoded here once, its
        // samples one after another from the start, as a whole render's.
        args.insert(args.end(), {"-map", "0:v", "-map", "0:a", "-c:v", "copy", "-filter:a", "asetpts=N/SR/TB", "-c:a",
                                 audioEncoder, temp});
    }
    ChildProcess ffmpeg("ffmpeg", args, ChildProcess::Pipe::ToChild, output);
    // ffmpeg may report an error and still exit with 0.
    const bool joined = ffmpeg.finish() && ffmpeg.firstMessage("", "", true).empty();
    std::remove(list.c_str());
    if (!joined) {
        std::remove(temp.c_str());
        const std::string why = ffmpeg.firstMessage(temp, output, true);
        throw UserError(output, "ffmpeg could not join the chunks" + (why.empty() ? std::string() : " (" + why + ")"));
    }
    try {
        removeNoteFile(output);
        moveIntoPlace({{temp, output}});
    } catch (...) {
        std::remove(temp.c_str());
        throw;
    }
}

}  // namespace

void joinChunks(const std::string& output, const std::vector<std::string>& chunks) {
    if (chunks.empty()) throw UserError("join", "no chunks given (fieldfx join OUTPUT CHUNK...)");
    checkOutputName(output);
    const SinkKind kind = sinkKindFor(output);
    if (kind == SinkKind::PngSingle) throw UserError(output, "a single PNG holds one frame; join into a sequence like out%04d.png");
    if (kind != SinkKind::PngSequence) {
        for (const std::string& chunk : chunks) {
            if (chunk == output || sameFile(chunk, output)) throw UserError(chunk, "is the output as well as a chunk");
        }
    }
    checkChunkNames(chunks);
    checkSink(output, 1);
    switch (kind) {
    case SinkKind::Y4m: return joinY4m(output, chunks);
    case SinkKind::PngSequence: return joinPngSequences(output, chunks);
    default: return joinEncoded(output, chunks);
    }
}

}  // namespace fieldfx
