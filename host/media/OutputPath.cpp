#include "OutputPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "Error.h"
#include "Ffmpeg.h"
#include "PngSequence.h"
#include "SequenceName.h"
#include "Text.h"

namespace fieldfx {

SinkKind sinkKindFor(const std::string& path) {
    if (path == "-" || endsWithNoCase(path, ".y4m")) return SinkKind::Y4m;
    if (endsWithNoCase(path, ".png")) return hasPercent(path) ? SinkKind::PngSequence : SinkKind::PngSingle;
    return SinkKind::Ffmpeg;
}

void checkOutputName(const std::string& path) {
    if (path.empty()) throw UserError("output", "no output given (-o FILE)");
    if (sinkKindFor(path) != SinkKind::PngSequence) return;
    SequenceName name;
    if (const std::string why = name.parse(path); !why.empty()) throw UserError(path, why);
}

std::vector<std::string> outputFiles(const std::string& path, int64_t firstNumber, int64_t frames) {
    if (path == "-") return {};
    if (sinkKindFor(path) != SinkKind::PngSequence) return {path};
    SequenceName name;
    if (const std::string why = name.parse(path); !why.empty()) throw UserError(path, why);
    std::vector<std::string> files;
    for (int64_t i = 0; i < frames; ++i) files.push_back(name.name(firstNumber + i));
    return files;
}

std::vector<std::string> inputFiles(const std::string& input) {
    if (input == "-") return {};
    if (!isPngSequencePattern(input)) return {input};
    std::vector<std::string> files;
    try {
        const PngSequenceFiles sequence = findPngSequence(input);
        for (int64_t i = 0; i < sequence.count; ++i) files.push_back(sequence.file(i));
    } catch (const UserError&) {
        // not a sequence name: opening it as an input fails first
    }
    return files;
}

namespace {

// Every file the inputs read, by device and inode, with the words that
// name it in a refusal.
using FileKey = std::pair<dev_t, ino_t>;
std::map<FileKey, std::string> filesReadBy(const std::vector<std::string>& inputs) {
    std::map<FileKey, std::string> read;
    for (const std::string& input : inputs) {
        struct stat info {};
        if (input == "-") {
            if (fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode)) read[{info.st_dev, info.st_ino}] = "standard input";
            continue;
        }
        const std::vector<std::string> files = inputFiles(input);
        const bool sequence = files.size() != 1 || files[0] != input;
        for (size_t i = 0; i < files.size(); ++i) {
            if (stat(files[i].c_str(), &info) != 0) continue;
            read[{info.st_dev, info.st_ino}] = sequence ? "a frame of the input " + input : "the input " + input;
        }
    }
    return read;
}

[[noreturn]] void refuse(const std::string& output, const std::string& input) {
    throw UserError(output, "is " + input + "; writing it would destroy the source (choose another output)");
}

}  // namespace

void checkSink(const std::string& path, int64_t frames, const std::vector<std::string>& inputs, int64_t firstNumber,
               const std::vector<std::string>& alsoWritten) {
    checkOutputName(path);
    const std::map<FileKey, std::string> read = filesReadBy(inputs);
    if (path == "-") {
        struct stat out {};
        if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)) {
            if (const auto it = read.find({out.st_dev, out.st_ino}); it != read.end()) refuse("standard output", it->second);
        }
        return;
    }
    std::vector<std::string> written = outputFiles(path, firstNumber, frames);
    written.insert(written.end(), alsoWritten.begin(), alsoWritten.end());
    for (const std::string& file : written) {
        struct stat target {};
        if (stat(file.c_str(), &target) != 0) continue;
        if (const auto it = read.find({target.st_dev, target.st_ino}); it != read.end()) refuse(file, it->second);
        if (S_ISDIR(target.st_mode)) throw UserError(file, "is a directory");
    }
    const std::string dir = directoryOf(written.empty() ? path : written.front());
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) throw UserError(path, "its directory does not exist");
    if (access(dir.c_str(), W_OK) != 0) throw UserError(path, "its directory is not writable");
    switch (sinkKindFor(path)) {
    case SinkKind::PngSingle:
        if (frames > 1) {
            throw UserError(path, "a single PNG holds one frame and the run has " + std::to_string(frames) +
                                      " (use --length 1, or a numbered sequence like out%04d.png)");
        }
        break;
    case SinkKind::Ffmpeg:
        if (!ffmpegAvailable()) {
            throw UserError(path, "writing this format needs ffmpeg, which is not on the PATH; "
                                  "write YUV4MPEG2 (.y4m) or PNG instead");
        }
        break;
    case SinkKind::PngSequence:
    case SinkKind::Y4m: break;
    }
}

bool sinkHoldsAudio(const std::string& path) {
    if (sinkKindFor(path) != SinkKind::Ffmpeg) return false;
    for (const char* silent : {".gif", ".apng", ".webp", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".yuv", ".rgb",
                               ".h264", ".264", ".h265", ".265", ".hevc", ".m2v", ".ivf"}) {
        if (endsWithNoCase(path, silent)) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Temporary files and putting them in place

TemporaryFile createTemporary(const std::string& target, const std::string& tag) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string stem = dir + ".fieldfx-" + std::to_string(getpid()) + "-" + tag;
    const std::string base = baseName(target);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        TemporaryFile temp;
        temp.path = stem + (attempt == 0 ? "" : std::to_string(attempt) + "-") + base;
        temp.fd = open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (temp.fd >= 0) return temp;
        if (errno != EEXIST) throw UserError(target, std::string("cannot write beside it: ") + std::strerror(errno));
    }
    throw UserError(target, "cannot write beside it: every temporary name is taken");
}

FILE* createTemporaryStream(const std::string& target, std::string& path) {
    const TemporaryFile temp = createTemporary(target);
    FILE* file = fdopen(temp.fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        close(temp.fd);
        std::remove(temp.path.c_str());
        throw UserError(target, std::string("cannot write: ") + std::strerror(error));
    }
    path = temp.path;
    return file;
}

void moveIntoPlace(const std::vector<std::pair<std::string, std::string>>& moves) {
    // One file: rename() replaces it at once or not at all.
    if (moves.size() == 1) {
        if (std::rename(moves[0].first.c_str(), moves[0].second.c_str()) != 0) {
            throw UserError(moves[0].second, std::string("cannot move the output into place: ") + std::strerror(errno));
        }
        return;
    }
    std::vector<std::string> aside(moves.size());  // where an earlier file of each target was kept
    size_t done = 0;
    std::string failure, failed;
    for (; done < moves.size(); ++done) {
        const auto& [temp, target] = moves[done];
        struct stat info {};
        if (lstat(target.c_str(), &info) == 0) {
            try {
                // A name of its own, which no temporary of the output can have.
                const TemporaryFile reserved = createTemporary(target, "earlier-");
                close(reserved.fd);
                aside[done] = reserved.path;
            } catch (const UserError& e) {
                failure = e.reason();
            }
            if (failure.empty() && std::rename(target.c_str(), aside[done].c_str()) != 0) {
                failure = std::string("cannot keep the earlier file aside: ") + std::strerror(errno);
                std::remove(aside[done].c_str());
                aside[done].clear();
            }
        }
        if (failure.empty() && std::rename(temp.c_str(), target.c_str()) != 0) {
            failure = std::string("cannot move the output into place: ") + std::strerror(errno);
        }
        if (!failure.empty()) {
            failed = target;
            break;
        }
    }
    if (failure.empty()) {
        for (const std::string& old : aside) {
            if (!old.empty()) std::remove(old.c_str());
        }
        return;
    }
    // Every target as it was: the new files back to their temporaries, the
    // earlier ones back in place.
    bool restored = true;
    for (size_t i = done + 1; i-- > 0;) {
        const auto& [temp, target] = moves[i];
        if (i < done && std::rename(target.c_str(), temp.c_str()) != 0) restored = false;
        if (!aside[i].empty() && std::rename(aside[i].c_str(), target.c_str()) != 0) restored = false;
    }
    throw UserError(failed, failure + (restored ? "; the earlier files are as they were"
                                                : "; not every earlier file could be put back (see the .fieldfx- files beside it)"));
}

std::string staleFramesAfter(const std::string& pattern, int64_t end) {
    SequenceName name;
    if (!name.parse(pattern).empty()) return {};
    int64_t last = end - 1;
    struct stat info {};
    while (stat(name.name(last + 1).c_str(), &info) == 0 && S_ISREG(info.st_mode)) ++last;
    if (last < end) return {};
    return "frames " + std::to_string(end) + " to " + std::to_string(last) +
           " of an earlier sequence remain (a reader of the sequence takes them as part of it)";
}

}  // namespace fieldfx
