#include "Commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "Catalogue.h"
#include "Demo.h"
#include "Error.h"
#include "Join.h"
#include "HelpTexts.h"
#include "Ffmpeg.h"
#include "Operator.h"
#include "Options.h"
#include "Png.h"
#include "Progress.h"
#include "Render.h"
#include "RunState.h"
#include "Values.h"
#include "Y4m.h"

namespace fieldfx {

namespace {

bool wantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

std::string padRight(const std::string& s, size_t width) { return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' '); }

std::string rateText(const Rational& r) { return std::to_string(r.num) + "/" + std::to_string(r.den); }

// ---------------------------------------------------------------------------
// list and info

int commandList(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(kListHelp, stdout), 0;
    const Arguments a = parseArguments(args, {"--ops"}, {}, "list");
    if (!a.positional.empty()) throw UserError("list", "takes no arguments");
    const auto ops = listOperators(operatorSearchPath(a.value("--ops")));
    if (ops.empty()) throw UserError("list", "no operators found (build them, or point --ops or FIELDFX_OPS at them)");
    for (const auto& op : ops) {
        std::string description = operatorDescription(*op);
        if (description.empty()) description = "(no description)";
        std::printf("%s%s%s\n", padRight(op->name(), 12).c_str(), padRight(op->isTransition() ? "transition" : "effect", 12).c_str(),
                    description.c_str());
    }
    return 0;
}

// The lines under a parameter that say what its values are: the range of a
// slider, one entry a line for a choice, the form of colours and points.
std::vector<std::string> valueLines(const Parameter& p) {
    switch (p.kind()) {
    case PARAM_SLIDER:
        return {"range " + std::to_string(p.slider()->minimum) + ".." + std::to_string(p.slider()->maximum) +
                ", whole numbers"};
    case PARAM_CHOICE: {
        std::vector<std::string> lines;
        if (p.style() == CHOICE_STYLE_NUMBERS) {
            lines.push_back("one of these numbers (the number itself is the value; --set takes it, or its index):");
        } else {
            lines.push_back("one of (--set takes the index or the text):");
        }
        for (size_t i = 0; i < p.entries.size(); ++i) {
            lines.push_back("  " + std::to_string(i) + "  " +
                            (p.style() == CHOICE_STYLE_NUMBERS ? std::to_string(p.entries[i]) : catalogueText(p.entries[i])));
        }
        return lines;
    }
    case PARAM_COLOR:
        return {"#RRGGBB, stored as the bytes key, Cr (red difference), Cb (blue difference), Y' (brightness),",
                "converted with BT.601 in limited range (Y' 16..235, Cb and Cr 16..240)"};
    case PARAM_POINT: return {"X,Y: a column and a row in field pixels"};
    default: return {};
    }
}

int commandInfo(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(kInfoHelp, stdout), 0;
    const Arguments a = parseArguments(args, {"--ops"}, {}, "info");
    if (a.positional.size() != 1) throw UserError("info", "name one operator (fieldfx info OPERATOR)");
    const auto op = findOperator(a.positional[0], operatorSearchPath(a.value("--ops")));
    std::printf("%s: %s", op->name().c_str(), op->isTransition() ? "transition (two inputs)" : "effect (one input)");
    const std::string description = operatorDescription(*op);
    if (!description.empty()) std::printf(", %s", description.c_str());
    std::printf("\nlibrary: %s\n", op->path().c_str());
    const std::string region = operatorRegionUse(op->name());
    std::printf("region (--region): %s\n\n", region.empty() ? "not known for this operator" : region.c_str());
    for (const Parameter& p : op->parameters()) {
        std::string label = catalogueText(p.label());
        if (p.kind() == PARAM_SLIDER) label += " (" + catalogueText(p.slider()->text2) + ")";
        std::printf("%s  %s: %s\n", p.name.c_str(), kindName(p.kind()).c_str(), label.c_str());
        std::printf("    initial: %s\n", describeValue(p, readValue(p)).c_str());
        for (const std::string& line : valueLines(p)) std::printf("    %s\n", line.c_str());
    }
    return 0;
}

// ---------------------------------------------------------------------------
// render

struct RenderRequest {
    std::string operatorName;
    std::vector<std::string> inputs;
    std::string output;
    std::vector<std::string> settings;
    std::string from, length, region, scale, fieldOrder, pixFmt, duration, rate, ops, chunk;
    int jobs = 1;
    bool quiet = false;
    bool allowShort = false, noAudio = false;
};

// -j N: worker processes, 1..256; by default one per core but one. The
// main process reads and writes the frames on threads of its own, which
// keep about half a core busy even with -j 1; on two cores a second worker
// only competes with them (bench/e2e shows -j 2 no faster than -j 1 there).
int parseJobs(const Arguments& a) {
    if (!a.has("-j") && !a.has("--jobs")) {
        const long cores = sysconf(_SC_NPROCESSORS_ONLN);
        return int(std::clamp<long>(cores - 1, 1, 256));
    }
    const std::string text = a.values.at(a.has("-j") ? "-j" : "--jobs").back();
    char* end = nullptr;
    errno = 0;
    const long jobs = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' || errno != 0 || jobs < 1 || jobs > 256) {
        throw UserError("-j", "'" + text + "' is not a number of worker processes from 1 to 256");
    }
    return int(jobs);
}

// Passes every frame on to the real output and shows chosen ones to a callback.
class WatchedSink : public FrameSink {
public:
    WatchedSink(FrameSink& inner, std::function<void(int64_t, const Picture&)> watch)
        : inner_(inner), watch_(std::move(watch)) {}
    void write(const Picture& picture) override {
        watch_(index_++, picture);
        inner_.write(picture);
    }
    void commit() override { inner_.commit(); }

private:
    FrameSink& inner_;
    std::function<void(int64_t, const Picture&)> watch_;
    int64_t index_ = 0;
};

// The sound that goes with the run: the inputs that have any, cut to the
// rendered range; a transition's two cross over the run.
AudioPlan audioPlan(const RenderRequest& r, const std::vector<std::unique_ptr<FrameSource>>& sources, int64_t from,
                    int64_t frames, const Rational& rate) {
    AudioPlan plan;
    for (size_t i = 0; i < sources.size(); ++i) {
        if (sources[i]->media().audio) plan.inputs.push_back(r.inputs[i]);
    }
    if (sources.size() == 2 && plan.inputs.size() == 2) plan.crossfade = true;
    if (sources.size() == 2 && plan.inputs.size() == 1) plan.fade = sources[0]->media().audio ? -1 : 1;
    plan.start = double(from) * double(rate.den) / double(rate.num);
    plan.seconds = double(frames) * double(rate.den) / double(rate.num);
    return plan;
}

// Bits a sample that --pix-fmt asks for: 8, or the depth of a name like
// yuv422p10le.
int pixelFormatBits(const std::string& text) { return pixFmtBits(text); }

int64_t parseFrameOption(const std::string& option, const std::string& text, const Rational& rate) {
    return text.empty() ? -1 : parseFrames(option, text, rate);
}

// Validates everything, then renders. Returns the result; throws UserError.
RenderResult renderClip(OperatorLibrary& op, const RenderRequest& r,
                        const std::function<void(int64_t, const Picture&)>& watch = nullptr) {
    const size_t needed = op.isTransition() ? 2 : 1;
    if (r.inputs.size() != needed) {
        throw UserError(op.name(), op.isTransition() ? "is a transition and takes two inputs"
                                                     : "is an effect and takes one input");
    }
    SourceOptions sourceOptions;
    if (!r.duration.empty()) sourceOptions.stillSeconds = parseSeconds("--duration", r.duration);
    sourceOptions.allowShort = r.allowShort;
    if (!r.rate.empty()) sourceOptions.stillRate = parseRate(r.rate);
    if (!r.length.empty() && r.length.back() != 's' && (r.from.empty() || r.from.back() != 's')) {
        sourceOptions.frameHint = parseFrames("--length", r.length, {25, 1}) +
                                  (r.from.empty() ? 0 : parseFrames("--from", r.from, {25, 1}));
    }
    std::vector<std::unique_ptr<FrameSource>> sources;
    for (const std::string& path : r.inputs) {
        if (path == "-" && !sources.empty() && r.inputs[0] == "-") throw UserError(path, "stdin can be read only once");
        sources.push_back(openSource(path, sourceOptions));
        if (sources.back()->frameCount() == 0) throw UserError(path, "holds no frames");
    }
    VideoFormat format = sources[0]->format();
    int64_t available = sources[0]->frameCount();
    if (sources.size() == 2) {
        const VideoFormat& other = sources[1]->format();
        if (other.width != format.width || other.height != format.height || !(other.rate == format.rate)) {
            throw UserError(r.inputs[1], "does not match " + r.inputs[0] + ": " + std::to_string(other.width) + "x" +
                                             std::to_string(other.height) + " at " + rateText(other.rate) +
                                             " frames/s against " + std::to_string(format.width) + "x" +
                                             std::to_string(format.height) + " at " + rateText(format.rate) +
                                             " (a transition needs two inputs of the same size and rate)");
        }
        available = std::min(available, sources[1]->frameCount());
    }
    if (!r.fieldOrder.empty()) {
        format.interlace = parseFieldOrder(r.fieldOrder);
        const std::string problem = formatProblem(format);
        if (!problem.empty()) throw UserError("--field-order", problem);
    }

    RenderJob job;
    job.op = &op;
    const int64_t from = std::max<int64_t>(0, parseFrameOption("--from", r.from, format.rate));
    if (from >= available) {
        throw UserError("--from", "frame " + std::to_string(from) + " is past the end of the input (" +
                                      std::to_string(available) + " frames)");
    }
    int64_t frames = available - from;
    if (!r.length.empty()) {
        const int64_t wanted = parseFrames("--length", r.length, format.rate);
        if (wanted <= 0) throw UserError("--length", "must be at least one frame");
        if (wanted > frames) {
            throw UserError("--length", std::to_string(wanted) + " frames asked for, but only " + std::to_string(frames) +
                                            " follow frame " + std::to_string(from));
        }
        frames = wanted;
    }
    if (2 * frames > INT32_MAX) throw UserError("--length", "the run is too long");
    job.jobs = r.jobs;
    job.firstFrame = from;
    job.frames = frames;
    int chunkK = 1, chunkN = 1;
    if (!r.chunk.empty()) {
        parseChunk(r.chunk, chunkK, chunkN);
        if (chunkN > frames) {
            throw UserError("--chunk", std::to_string(chunkN) + " chunks of a run of " + std::to_string(frames) +
                                           " frames would leave some empty; use at most " + std::to_string(frames));
        }
        chunkRange(frames, chunkK, chunkN, job.chunkBegin, job.chunkEnd);
    }
    const int64_t written = chunkEnd(job) - chunkBegin(job);
    job.fieldFormat = format;

    const Rational fieldRate{2 * format.rate.num, format.rate.den};
    for (const std::string& s : r.settings) job.settings.push_back(parseSetting(op, s, fieldRate));
    if (!r.chunk.empty() && !startsAnywhere(job)) {
        throw UserError(op.name(), "cannot render --chunk " + r.chunk + ": it " +
                                       (runSplitOf(op) == RunSplit::OneProcess
                                            ? whyInOrderOnly(op)
                                            : "replays its state with one value of each setting, and keyframed "
                                              "--set values change them over the run"));
    }
    if (!r.region.empty()) job.region = parseRegion(r.region, format.width, format.height / 2);

    VideoFormat out = format;
    if (!r.pixFmt.empty()) out.chroma = parsePixelFormat(r.pixFmt);
    if (!r.scale.empty()) {
        parseScale(r.scale, job.scaleNum, job.scaleDen);
        job.scaled = true;
        int w = 0, h = 0;
        scaledFieldSize(out, job.scaleNum, job.scaleDen, w, h);
        out.width = w;
        out.height = 2 * h;
        if (w <= 0 || h <= 0) throw UserError("--scale", r.scale + " leaves no picture");
    }
    if (const std::string problem = formatProblem(out); !problem.empty()) throw UserError(r.output, problem);
    job.outputFormat = out;
    checkSink(r.output, written, r.inputs);

    SinkOptions sinkOptions;
    sinkOptions.bits = r.pixFmt.empty() ? sources[0]->media().bits : pixelFormatBits(r.pixFmt);
    if (!r.pixFmt.empty() && sinkOptions.bits > 8 && sinkKindFor(r.output) != SinkKind::Ffmpeg) {
        throw UserError("--pix-fmt", "YUV4MPEG2 and PNG outputs are written at 8 bits; " + r.pixFmt +
                                         " needs an output written through ffmpeg");
    }
    if (!r.noAudio) {
        sinkOptions.audio = audioPlan(r, sources, from, frames, format.rate);
        if (!r.chunk.empty()) {
            // The chunk's stretch of the sound, fading as in the whole run.
            const double frameSeconds = double(format.rate.den) / double(format.rate.num);
            sinkOptions.audio.runSeconds = sinkOptions.audio.seconds;
            sinkOptions.audio.runOffset = double(job.chunkBegin) * frameSeconds;
            sinkOptions.audio.start += sinkOptions.audio.runOffset;
            sinkOptions.audio.seconds = double(written) * frameSeconds;
        }
        if (!sinkOptions.audio.inputs.empty() && !sinkHoldsAudio(r.output)) {
            std::fprintf(stderr, "fieldfx: %s: audio is not written (this output holds pictures only; "
                                 "--no-audio says it is not wanted)\n", r.output.c_str());
            sinkOptions.audio = {};
        }
    }
    for (auto& s : sources) job.inputs.push_back(s.get());
    sinkOptions.firstFrame = job.chunkBegin;
    if (!r.chunk.empty()) sinkOptions.note = chunkNote(chunkK, chunkN, job.chunkBegin, job.chunkEnd, frames);
    std::unique_ptr<FrameSink> sink = openSink(r.output, out, sinkOptions);
    Progress progress(op.name(), 2 * written, !r.quiet && isatty(STDERR_FILENO));
    RenderResult result;
    if (watch) {
        WatchedSink watched(*sink, watch);
        result = runRender(job, watched, [&](int64_t done) { progress.update(done); });
    } else {
        result = runRender(job, *sink, [&](int64_t done) { progress.update(done); });
    }
    // An interrupted run keeps the frames it finished; with none, no file.
    if (!result.aborted || result.framesWritten > 0) sink->commit();
    sink.reset();
    progress.finish();
    if (!r.quiet || result.aborted) {
        const double seconds = progress.seconds();
        if (result.aborted) {
            if (result.framesWritten > 0) {
                std::fprintf(stderr, "fieldfx: %s: interrupted after %lld of %lld fields; wrote %lld frames to %s\n",
                             op.name().c_str(), static_cast<long long>(result.fieldsRendered),
                             static_cast<long long>(2 * written), static_cast<long long>(result.framesWritten),
                             r.output.c_str());
            } else {
                std::fprintf(stderr, "fieldfx: %s: interrupted after %lld of %lld fields, before a frame was "
                                     "complete; no file written\n",
                             op.name().c_str(), static_cast<long long>(result.fieldsRendered),
                             static_cast<long long>(2 * written));
            }
        } else {
            const std::string chunkNote = r.chunk.empty() ? std::string()
                : " (chunk " + std::to_string(chunkK) + "/" + std::to_string(chunkN) + ": frames " +
                  std::to_string(job.chunkBegin) + " to " + std::to_string(job.chunkEnd - 1) + " of " +
                  std::to_string(frames) + ")";
            std::fprintf(stderr, "fieldfx: %s: %lld fields (%lld frames, %dx%d) in %.1f s, %.1f fields/s -> %s%s\n",
                         op.name().c_str(), static_cast<long long>(result.fieldsRendered),
                         static_cast<long long>(result.framesWritten), out.width, out.height, seconds,
                         seconds > 0 ? double(result.fieldsRendered) / seconds : 0.0, r.output.c_str(),
                         chunkNote.c_str());
        }
    }
    return result;
}

const std::set<std::string> kRenderValueOptions = {"-o", "--output", "--set", "--from", "--length", "--region",
                                                   "--scale", "--field-order", "--pix-fmt", "--duration", "--rate", "--ops",
                                                   "-j", "--jobs", "--chunk"};

int commandRender(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(kRenderHelp, stdout), 0;
    const Arguments a = parseArguments(args, kRenderValueOptions,
                                       {"--quiet", "-q", "--verbose", "--allow-short", "--no-audio"}, "render");
    if (a.positional.size() < 2) throw UserError("render", "usage: fieldfx render OPERATOR INPUT [INPUT2] -o OUTPUT");
    if (a.positional.size() > 3) throw UserError("render", "too many inputs (at most two)");
    RenderRequest r;
    r.operatorName = a.positional[0];
    r.inputs.assign(a.positional.begin() + 1, a.positional.end());
    r.output = a.has("-o") ? a.value("-o") : a.value("--output");
    if (r.output.empty()) throw UserError("render", "no output given (-o FILE, or -o - for a pipe)");
    if (auto it = a.values.find("--set"); it != a.values.end()) r.settings = it->second;
    r.from = a.value("--from");
    r.length = a.value("--length");
    r.region = a.value("--region");
    r.scale = a.value("--scale");
    r.fieldOrder = a.value("--field-order");
    r.pixFmt = a.value("--pix-fmt");
    r.duration = a.value("--duration");
    r.rate = a.value("--rate");
    r.quiet = a.has("--quiet") || a.has("-q");
    r.chunk = a.value("--chunk");
    r.allowShort = a.has("--allow-short");
    r.noAudio = a.has("--no-audio");
    setFfmpegVerbose(a.has("--verbose"));
    r.jobs = parseJobs(a);
    auto op = findOperator(r.operatorName, operatorSearchPath(a.value("--ops")));
    const RenderResult result = renderClip(*op, r);
    return result.aborted ? stopExitStatus() : 0;
}

int commandJoin(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(kJoinHelp, stdout), 0;
    const Arguments a = parseArguments(args, {}, {}, "join");
    if (a.positional.size() < 2) throw UserError("join", "usage: fieldfx join OUTPUT CHUNK...");
    joinChunks(a.positional[0], std::vector<std::string>(a.positional.begin() + 1, a.positional.end()));
    return 0;
}

// ---------------------------------------------------------------------------
// demo

void writeDemoClip(const std::string& path, int clip, int64_t frames) {
    const VideoFormat format = demoFormat();
    const std::string temp = temporaryPathFor(path);
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) throw UserError(path, "cannot write");
    try {
        Y4mWriter writer(file, format, path);
        for (int64_t f = 0; f < frames && !g_abortRequested; ++f) writer.writeFrame(packFrame(format, demoFrame(clip, int(f), format)));
    } catch (...) {
        std::fclose(file);
        std::remove(temp.c_str());
        throw;
    }
    if (std::fclose(file) != 0 || g_abortRequested || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        if (g_abortRequested) throw UserError("demo", "interrupted");
        throw UserError(path, "cannot write");
    }
}

int commandDemo(const std::vector<std::string>& args) {
    if (wantsHelp(args)) return std::fputs(kDemoHelp, stdout), 0;
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

    const std::string clipA = dir + "/source-a.y4m", clipB = dir + "/source-b.y4m";
    if (!quiet) std::fprintf(stderr, "fieldfx: demo: generating two %lld-frame 720x576 interlaced clips\n", static_cast<long long>(frames));
    writeDemoClip(clipA, 0, frames);
    writeDemoClip(clipB, 1, frames);

    // Columns of the contact sheet: five moments spread over the run.
    const int kColumns = 5, kThumbW = 144, kThumbH = 115;
    std::vector<int64_t> picks;
    std::vector<std::string> headings;
    for (int c = 0; c < kColumns; ++c) {
        picks.push_back(c * (frames - 1) / (kColumns - 1));
        headings.push_back("FRAME " + std::to_string(picks.back()));
    }
    auto pickThumbnails = [&](std::vector<RgbaImage>& into) {
        return [&, picks](int64_t index, const Picture& picture) {
            for (int64_t p : picks) {
                if (p == index) into.push_back(thumbnail(picture, kThumbW, kThumbH));
            }
        };
    };

    std::vector<SheetRow> rows;
    for (int clip = 0; clip < 2; ++clip) {
        SheetRow row{clip == 0 ? "SOURCE" : "SECOND", {}};
        for (int64_t p : picks) row.thumbnails.push_back(thumbnail(demoFrame(clip, int(p), demoFormat()), kThumbW, kThumbH));
        rows.push_back(std::move(row));
    }
    for (const auto& op : ops) {
        RenderRequest r;
        r.inputs = op->isTransition() ? std::vector<std::string>{clipA, clipB} : std::vector<std::string>{clipA};
        r.output = dir + "/" + op->name() + ".y4m";
        // Settings only for operators the host knows: a library by the same
        // name but with other parameters renders with its own defaults.
        r.settings = demoSettings(*op, 2 * frames);
        r.quiet = quiet;
        r.jobs = jobs;
        SheetRow row{op->name(), {}};
        const RenderResult result = renderClip(*op, r, pickThumbnails(row.thumbnails));
        if (result.aborted) throw UserError("demo", "interrupted");
        rows.push_back(std::move(row));
    }
    const std::string sheetPath = dir + "/contact-sheet.png";
    const std::string temp = temporaryPathFor(sheetPath);
    writePng(temp, contactSheet(headings, rows), false);
    if (std::rename(temp.c_str(), sheetPath.c_str()) != 0) {
        std::remove(temp.c_str());
        throw UserError(sheetPath, "cannot write");
    }
    if (!quiet) {
        std::fprintf(stderr, "fieldfx: demo: %zu operators rendered into %s/; contact sheet %s\n", ops.size(), dir.c_str(),
                     sheetPath.c_str());
    }
    return 0;
}

}  // namespace

int runFieldfx(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "--version") {
        std::printf("fieldfx %s\n", FIELDFX_VERSION);
        return 0;
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    try {
        if (command == "list") return commandList(rest);
        if (command == "info") return commandInfo(rest);
        if (command == "render") return commandRender(rest);
        if (command == "join") return commandJoin(rest);
        if (command == "demo") return commandDemo(rest);
        std::fprintf(stderr, "fieldfx: %s: unknown command\n%s", command.c_str(), kUsage);
        return 2;
    } catch (const UserError& e) {
        std::fprintf(stderr, "fieldfx: %s\n", e.what());
        return g_abortRequested ? stopExitStatus() : 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "fieldfx: %s: out of memory\n", command.c_str());
        return 1;
    }
}

}  // namespace fieldfx
