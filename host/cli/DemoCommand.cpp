#include "DemoCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Catalogue.h"
#include "Demo.h"
#include "Error.h"
#include "OutputPath.h"
#include "Png.h"
#include "RenderCommand.h"
#include "Stop.h"
#include "Y4m.h"

namespace fieldfx {

namespace {

// Columns of the contact sheet: five moments spread over the run.
constexpr int kColumns = 5, kThumbW = 144, kThumbH = 115;

void writeDemoClip(const std::string& path, int clip, int64_t frames) {
    const VideoFormat format = demoFormat();
    std::string temp;
    FILE* file = createTemporaryStream(path, temp);
    try {
        Y4mWriter writer(file, format, path);
        for (int64_t f = 0; f < frames && !g_abortRequested; ++f) writer.writeFrame(packFrame(format, demoFrame(clip, int(f), format)));
    } catch (...) {
        std::fclose(file);
        std::remove(temp.c_str());
        throw;
    }
    if (std::fclose(file) != 0 || g_abortRequested || std::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temp.c_str());
        if (g_abortRequested) throw UserError("demo", "interrupted");
        throw UserError(path, std::string("cannot write: ") + std::strerror(error));
    }
}

// The two generated clips' rows of the sheet.
std::vector<SheetRow> sourceRows(const std::vector<int64_t>& picks) {
    std::vector<SheetRow> rows;
    for (int clip = 0; clip < 2; ++clip) {
        SheetRow row{clip == 0 ? "SOURCE" : "SECOND", {}};
        for (int64_t p : picks) row.thumbnails.push_back(thumbnail(demoFrame(clip, int(p), demoFormat()), kThumbW, kThumbH));
        rows.push_back(std::move(row));
    }
    return rows;
}

// One operator rendered over the clips into DIR/<Operator>.y4m, and its
// row of the sheet.
SheetRow renderOperator(OperatorLibrary& op, const std::string& dir, const std::string clips[2], int64_t frames,
                        const std::vector<int64_t>& picks, bool quiet, int jobs) {
    RenderRequest r;
    r.inputs = op.isTransition() ? std::vector<std::string>{clips[0], clips[1]} : std::vector<std::string>{clips[0]};
    r.output = dir + "/" + op.name() + ".y4m";
    // Settings only for operators the host knows: a library by the same
    // name but with other parameters renders with its own defaults.
    r.settings = demoSettings(op, 2 * frames);
    r.quiet = quiet;
    r.jobs = jobs;
    SheetRow row{op.name(), {}};
    const FrameWatch pick = [&](int64_t index, const Picture& picture) {
        for (int64_t p : picks) {
            if (p == index) row.thumbnails.push_back(thumbnail(picture, kThumbW, kThumbH));
        }
    };
    if (renderClip(op, r, pick).aborted) throw UserError("demo", "interrupted");
    return row;
}

void writeSheet(const std::string& path, const std::vector<std::string>& headings, const std::vector<SheetRow>& rows) {
    std::string temp;
    FILE* file = createTemporaryStream(path, temp);
    try {
        writePng(file, path, contactSheet(headings, rows), false);
    } catch (...) {
        std::fclose(file);
        std::remove(temp.c_str());
        throw;
    }
    if (std::fclose(file) != 0 || std::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temp.c_str());
        throw UserError(path, std::string("cannot write: ") + std::strerror(error));
    }
}

}  // namespace

int commandDemo(const std::vector<std::string>& args) {
    const Arguments a = parseArguments(args, {"-o", "--output", "--seconds", "--ops", "-j", "--jobs"},
                                       {"--quiet", "-q"}, "demo");
    if (!a.positional.empty()) throw UserError("demo", "takes no inputs (it makes its own); use -o DIR for the output");
    const std::string dir = a.has("-o") ? a.value("-o") : a.value("--output", "demo-out");
    const bool quiet = a.has("--quiet") || a.has("-q");
    const int jobs = parseJobs(a);
    const double seconds = a.has("--seconds") ? parseSeconds("--seconds", a.value("--seconds")) : 2.0;
    const int64_t frames = std::max<int64_t>(2, std::llround(seconds * 25));
    const auto ops = listOperators(operatorSearchPath(a.value("--ops")));
    if (ops.empty()) throw UserError("demo", "no operators found (build them, or point --ops or FIELDFX_OPS at them)");
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) throw UserError(dir, std::string("cannot make directory: ") + std::strerror(errno));
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw UserError(dir, "is not a directory (demo -o names the directory it writes into)");
    }
    if (access(dir.c_str(), W_OK) != 0) throw UserError(dir, std::string("cannot write into it: ") + std::strerror(errno));

    const std::string clips[2] = {dir + "/source-a.y4m", dir + "/source-b.y4m"};
    if (!quiet) std::fprintf(stderr, "fieldfx: demo: generating two %lld-frame 720x576 interlaced clips\n", static_cast<long long>(frames));
    writeDemoClip(clips[0], 0, frames);
    writeDemoClip(clips[1], 1, frames);

    std::vector<int64_t> picks;
    std::vector<std::string> headings;
    for (int c = 0; c < kColumns; ++c) {
        picks.push_back(c * (frames - 1) / (kColumns - 1));
        headings.push_back("FRAME " + std::to_string(picks.back()));
    }
    std::vector<SheetRow> rows = sourceRows(picks);
    for (const auto& op : ops) rows.push_back(renderOperator(*op, dir, clips, frames, picks, quiet, jobs));
    const std::string sheetPath = dir + "/contact-sheet.png";
    writeSheet(sheetPath, headings, rows);
    if (!quiet) {
        std::fprintf(stderr, "fieldfx: demo: %zu operators rendered into %s/; contact sheet %s\n", ops.size(), dir.c_str(),
                     sheetPath.c_str());
    }
    return 0;
}

}  // namespace fieldfx
