#include "Join.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "Error.h"
#include "Ffmpeg.h"
#include "OutputPath.h"
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

// An output file written beside its target and renamed into place at the end.
class JoinOutput {
public:
    explicit JoinOutput(const std::string& path) : path_(path) {
        if (path == "-") {
            file_ = stdout;
            return;
        }
        temp_ = temporaryPathFor(path);
        file_ = std::fopen(temp_.c_str(), "wb");
        if (file_ == nullptr) throw UserError(path, std::string("cannot write: ") + std::strerror(errno));
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
        if (!temp_.empty() && std::rename(temp_.c_str(), path_.c_str()) != 0) {
            throw UserError(path_, std::string("cannot move the output into place: ") + std::strerror(errno));
        }
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

void joinY4m(const std::string& output, const std::vector<std::string>& chunks) {
    JoinOutput out(output);
    std::unique_ptr<Y4mWriter> writer;
    VideoFormat format;
    Frame frame;
    for (size_t i = 0; i < chunks.size(); ++i) {
        OpenFile in(chunks[i]);
        char magic[9] = {};
        const size_t got = std::fread(magic, 1, sizeof magic, in.file);
        std::rewind(in.file);
        const bool header = got == sizeof magic && std::memcmp(magic, "YUV4MPEG2", sizeof magic) == 0;
        std::unique_ptr<Y4mReader> reader;
        if (header) {
            reader = std::make_unique<Y4mReader>(in.file, chunks[i]);
            if (i == 0) {
                format = reader->format();
                writer = std::make_unique<Y4mWriter>(out.file(), format, output);
            } else if (formatY4mHeader(reader->format()) != formatY4mHeader(format)) {
                throw UserError(chunks[i], formatText(reader->format()) + " does not fit " + formatText(format) +
                                               " of " + chunks[0]);
            }
        } else if (i == 0) {
            throw UserError(chunks[i], got == 0 ? "is empty, and the first chunk holds the stream header"
                                                : "holds no stream header, so it is not the first chunk of a run "
                                                  "(give the chunks in order)");
        } else {
            reader = std::make_unique<Y4mReader>(in.file, chunks[i], format);
        }
        // Every frame is read whole before it is written: a chunk cut short,
        // or one of another size or chroma layout, fails at its frame.
        try {
            while (reader->readFrame(frame)) writer->writeFrame(frame);
        } catch (const UserError& e) {
            throw UserError(chunks[i], e.reason() + " (frames of " + formatText(format) + " expected, as in " +
                                           chunks[0] + ")");
        }
    }
    out.commit();
}

// ---------------------------------------------------------------------------
// PNG sequences

struct Pattern {
    std::string dir, prefix, suffix;
};

Pattern splitPattern(const std::string& path) {
    const size_t slash = path.rfind('/');
    Pattern p;
    p.dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t percent = file.find('%');
    const size_t d = file.find('d', percent);
    if (percent == std::string::npos || d == std::string::npos || file.find('%', percent + 1) != std::string::npos) {
        throw UserError(path, "a PNG sequence needs one number pattern like %04d");
    }
    p.prefix = file.substr(0, percent);
    p.suffix = file.substr(d + 1);
    return p;
}

// The numbered files of a pattern, by number.
std::map<long, std::string> filesOf(const std::string& path) {
    const Pattern p = splitPattern(path);
    std::map<long, std::string> files;
    DIR* d = opendir(p.dir.c_str());
    if (d == nullptr) throw UserError(path, std::string("cannot read its directory: ") + std::strerror(errno));
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() <= p.prefix.size() + p.suffix.size() || name.rfind(p.prefix, 0) != 0 ||
            name.compare(name.size() - p.suffix.size(), p.suffix.size(), p.suffix) != 0) {
            continue;
        }
        const std::string digits = name.substr(p.prefix.size(), name.size() - p.prefix.size() - p.suffix.size());
        if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        files[std::stol(digits)] = (p.dir == "." && path.find('/') == std::string::npos ? "" : p.dir + "/") + name;
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

void copyFile(const std::string& from, const std::string& to) {
    OpenFile in(from);
    FILE* out = std::fopen(to.c_str(), "wb");
    if (out == nullptr) throw UserError(to, std::string("cannot write: ") + std::strerror(errno));
    char buffer[1 << 16];
    size_t n = 0;
    bool ok = true;
    while ((n = std::fread(buffer, 1, sizeof buffer, in.file)) > 0) ok = ok && std::fwrite(buffer, 1, n, out) == n;
    ok = !std::ferror(in.file) && ok;
    if (std::fclose(out) != 0 || !ok) {
        std::remove(to.c_str());
        throw UserError(to, std::string("write error: ") + std::strerror(errno));
    }
}

void joinPngSequences(const std::string& output, const std::vector<std::string>& chunks) {
    splitPattern(output);
    struct Piece {
        std::map<long, std::string> files;
    };
    std::vector<Piece> pieces;
    std::string shape;
    long expected = -1;
    for (const std::string& chunk : chunks) {
        Piece piece{filesOf(chunk)};
        if (piece.files.empty()) throw UserError(chunk, "no numbered PNG files match it");
        const long first = piece.files.begin()->first, last = piece.files.rbegin()->first;
        if (last - first + 1 != long(piece.files.size())) throw UserError(chunk, "its numbers have gaps");
        if (expected >= 0 && first != expected) {
            throw UserError(chunk, "starts at frame " + std::to_string(first) + " but the chunk before it ends at frame " +
                                       std::to_string(expected - 1) + " (give the chunks in order, none missing)");
        }
        expected = last + 1;
        for (const auto& [number, file] : piece.files) {
            const std::string s = pngShape(file);
            if (shape.empty()) shape = s;
            if (s != shape) throw UserError(file, "is " + s + ", the chunks before it " + shape);
        }
        pieces.push_back(std::move(piece));
    }
    // Copies to temporary names first, renamed when every copy is made.
    std::vector<std::pair<std::string, std::string>> moves;
    auto cleanup = [&] {
        for (const auto& m : moves) std::remove(m.first.c_str());
    };
    try {
        for (const Piece& piece : pieces) {
            for (const auto& [number, file] : piece.files) {
                char target[4096];
                std::snprintf(target, sizeof target, output.c_str(), static_cast<int>(number));
                if (target == file) continue;  // the chunk was written under the output's own names
                moves.emplace_back(temporaryPathFor(target), target);
                copyFile(file, moves.back().first);
            }
        }
        for (const auto& [temp, target] : moves) {
            if (std::rename(temp.c_str(), target.c_str()) != 0) {
                throw UserError(target, std::string("cannot move into place: ") + std::strerror(errno));
            }
        }
    } catch (...) {
        cleanup();
        throw;
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
    long nextFrame = 0;
    bool noted = true;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const MediaProbe p = probeMedia(chunks[i]);
        if (!p.known) throw UserError(chunks[i], "ffprobe finds no video stream in it");
        const std::string stream = streamText(p);
        if (i == 0) first = stream;
        if (stream != first) {
            throw UserError(chunks[i], "does not fit " + chunks[0] + ": " + stream + " against " + first);
        }
        long k = 0, n = 0, begin = 0, last = 0, frames = 0;
        noted = noted && std::sscanf(p.comment.c_str(), "fieldfx chunk %ld/%ld: frames %ld to %ld of %ld", &k, &n, &begin,
                                     &last, &frames) == 5;
        if (!noted) continue;
        if (begin != nextFrame) {
            throw UserError(chunks[i], "holds frames " + std::to_string(begin) + " to " + std::to_string(last) +
                                           " of the run, but frame " + std::to_string(nextFrame) +
                                           " comes next (give the chunks in order, none missing)");
        }
        nextFrame = last + 1;
        if (i + 1 == chunks.size() && nextFrame != frames) {
            throw UserError(chunks[i], "ends at frame " + std::to_string(last) + " of a run of " +
                                           std::to_string(frames) + " frames (a chunk after it is missing)");
        }
    }
    // The concat demuxer's list, beside the output, with absolute paths.
    const std::string list = temporaryPathFor(output) + ".list";
    {
        FILE* f = std::fopen(list.c_str(), "w");
        if (f == nullptr) throw UserError(output, std::string("cannot write beside it: ") + std::strerror(errno));
        for (const std::string& chunk : chunks) {
            std::string path = chunk;
            if (path[0] != '/') {
                char cwd[4096];
                if (getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
            }
            std::string quoted;
            for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
            std::fprintf(f, "file '%s'\n", quoted.c_str());
        }
        std::fclose(f);
    }
    const std::string temp = temporaryPathFor(output);
    ChildProcess ffmpeg("ffmpeg",
                        {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "concat", "-safe", "0", "-i",
                         list, "-map", "0", "-c", "copy", temp},
                        ChildProcess::Pipe::ToChild, output);
    const bool joined = ffmpeg.finish();
    std::remove(list.c_str());
    if (!joined) {
        std::remove(temp.c_str());
        const std::string why = ffmpeg.firstMessage(temp, output);
        throw UserError(output, "ffmpeg could not join the chunks" + (why.empty() ? std::string() : " (" + why + ")"));
    }
    if (std::rename(temp.c_str(), output.c_str()) != 0) {
        std::remove(temp.c_str());
        throw UserError(output, std::string("cannot move the output into place: ") + std::strerror(errno));
    }
}

}  // namespace

std::string chunkNote(int k, int n, int64_t begin, int64_t end, int64_t frames) {
    return "fieldfx chunk " + std::to_string(k) + "/" + std::to_string(n) + ": frames " + std::to_string(begin) + " to " +
           std::to_string(end - 1) + " of " + std::to_string(frames);
}

void joinChunks(const std::string& output, const std::vector<std::string>& chunks) {
    if (chunks.empty()) throw UserError("join", "no chunks given (fieldfx join OUTPUT CHUNK...)");
    const SinkKind kind = sinkKindFor(output);
    if (kind == SinkKind::PngSingle) throw UserError(output, "a single PNG holds one frame; join into a sequence like out%04d.png");
    if (kind != SinkKind::PngSequence) {
        for (const std::string& chunk : chunks) {
            if (chunk == output) throw UserError(chunk, "is the output as well as a chunk");
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
