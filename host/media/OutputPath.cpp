#include "OutputPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Error.h"
#include "Ffmpeg.h"
#include "Text.h"

namespace fieldfx {

std::string temporaryPathFor(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    return dir + ".fieldfx-" + std::to_string(getpid()) + "-" + baseName(path);
}

SinkKind sinkKindFor(const std::string& path) {
    if (path == "-" || endsWithNoCase(path, ".y4m")) return SinkKind::Y4m;
    if (endsWithNoCase(path, ".png")) return path.find('%') != std::string::npos ? SinkKind::PngSequence : SinkKind::PngSingle;
    return SinkKind::Ffmpeg;
}

namespace {

// Refuses an output that is the same file as an input: `target` (one file
// the output would write) against every input, by device and inode.
void refuseInput(const std::string& output, const struct stat& target, const std::vector<std::string>& inputs) {
    for (const std::string& input : inputs) {
        struct stat info {};
        if (input == "-" || stat(input.c_str(), &info) != 0) continue;
        if (info.st_dev == target.st_dev && info.st_ino == target.st_ino) {
            throw UserError(output, "is the input " + input + "; writing it would destroy the source (choose another output)");
        }
    }
}

}  // namespace

void checkSink(const std::string& path, int64_t frames, const std::vector<std::string>& inputs) {
    if (path.empty()) throw UserError("output", "no output given (-o FILE)");
    if (path == "-") {
        struct stat out {};
        if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)) refuseInput("standard output", out, inputs);
        return;
    }
    if (sinkKindFor(path) == SinkKind::PngSequence) {
        // Every name of the sequence the run would write.
        for (int64_t i = 0; i < frames && path.find('%') != std::string::npos; ++i) {
            char name[4096];
            std::snprintf(name, sizeof name, path.c_str(), static_cast<int>(i));
            struct stat target {};
            if (stat(name, &target) == 0) refuseInput(name, target, inputs);
        }
    } else if (struct stat target {}; stat(path.c_str(), &target) == 0) {
        refuseInput(path, target, inputs);
    }
    const std::string dir = directoryOf(path);
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) throw UserError(path, "its directory does not exist");
    if (access(dir.c_str(), W_OK) != 0) throw UserError(path, "its directory is not writable");
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) throw UserError(path, "is a directory");
    switch (sinkKindFor(path)) {
    case SinkKind::PngSingle:
        if (frames > 1) {
            throw UserError(path, "a single PNG holds one frame and the run has " + std::to_string(frames) +
                                      " (use --length 1, or a numbered sequence like out%04d.png)");
        }
        break;
    case SinkKind::PngSequence: {
        const size_t percent = path.find('%');
        if (path.find('%', percent + 1) != std::string::npos ||
            path.find_first_not_of("0123456789", percent + 1) == std::string::npos ||
            path[path.find_first_not_of("0123456789", percent + 1)] != 'd') {
            throw UserError(path, "a PNG sequence needs one number pattern like %04d");
        }
        break;
    }
    case SinkKind::Ffmpeg:
        if (!ffmpegAvailable()) {
            throw UserError(path, "writing this format needs ffmpeg, which is not on the PATH; "
                                  "write YUV4MPEG2 (.y4m) or PNG instead");
        }
        break;
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

}  // namespace fieldfx
