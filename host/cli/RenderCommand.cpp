#include "RenderCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "Error.h"
#include "Ffmpeg.h"
#include "HelpTexts.h"
#include "ChunkNote.h"
#include "Encoding.h"
#include "OutputPath.h"
#include "Progress.h"
#include "Stop.h"
#include "Text.h"
#include "Y4m.h"

namespace fieldfx {

namespace {

std::string rateText(const Rational& r) { return std::to_string(r.num) + "/" + std::to_string(r.den); }

// The inputs of a render, opened, and what they hold together.
struct OpenInputs {
    std::vector<std::unique_ptr<FrameSource>> sources;
    VideoFormat format;     // the first input's, with --field-order applied
    int64_t available = 0;  // frames both hold
};

SourceOptions sourceOptionsFor(const RenderRequest& r) {
    SourceOptions options;
    if (!r.duration.empty()) options.stillSeconds = parseSeconds("--duration", r.duration);
    options.allowShort = r.allowShort;
    if (!r.rate.empty()) options.stillRate = parseRate(r.rate);
    if (!r.length.empty()) {
        options.framesWanted = [from = r.from, length = r.length](const Rational& rate) {
            return parseFrames("--length", length, rate) + (from.empty() ? 0 : parseFrames("--from", from, rate));
        };
    }
    options.showProgress = !r.quiet && isatty(STDERR_FILENO);
    return options;
}

OpenInputs openInputs(const OperatorLibrary& op, const RenderRequest& r) {
    const size_t needed = op.isTransition() ? 2 : 1;
    if (r.inputs.size() != needed) {
        throw UserError(op.name(), op.isTransition() ? "is a transition and takes two inputs"
                                                     : "is an effect and takes one input");
    }
    const SourceOptions options = sourceOptionsFor(r);
    OpenInputs in;
    for (const std::string& path : r.inputs) {
        if (path == "-" && !in.sources.empty() && r.inputs[0] == "-") throw UserError(path, "stdin can be read only once");
        in.sources.push_back(openSource(path, options));
        if (in.sources.back()->frameCount() == 0) throw UserError(path, "holds no frames");
    }
    in.format = in.sources[0]->format();
    in.available = in.sources[0]->frameCount();
    if (in.sources.size() == 2) {
        const VideoFormat& a = in.format;
        const VideoFormat& b = in.sources[1]->format();
        if (b.width != a.width || b.height != a.height || !(b.rate == a.rate)) {
            throw UserError(r.inputs[1], "does not match " + r.inputs[0] + ": " + std::to_string(b.width) + "x" +
                                             std::to_string(b.height) + " at " + rateText(b.rate) +
                                             " frames/s against " + std::to_string(a.width) + "x" +
                                             std::to_string(a.height) + " at " + rateText(a.rate) +
                                             " (a transition needs two inputs of the same size and rate)");
        }
        // The run takes each frame's fields in one order: two inputs of
        // different scans need to be told which.
        if (b.interlace != a.interlace && r.fieldOrder.empty()) {
            throw UserError(op.name(), r.inputs[0] + " is " + scanName(a.interlace) + " and " + r.inputs[1] + " " +
                                           scanName(b.interlace) + "; --field-order tff|bff says which to use");
        }
        in.available = std::min(in.available, in.sources[1]->frameCount());
    }
    if (!r.fieldOrder.empty()) {
        in.format.interlace = parseFieldOrder(r.fieldOrder);
        const std::string problem = formatProblem(in.format);
        if (!problem.empty()) throw UserError("--field-order", problem);
    }
    return in;
}

// Where the run lies in the inputs (--from, --length) and which chunk of it
// this render writes (--chunk).
void placeRun(RenderJob& job, const RenderRequest& r, const OpenInputs& in) {
    const Rational rate = in.format.rate;
    const int64_t from = r.from.empty() ? 0 : std::max<int64_t>(0, parseFrames("--from", r.from, rate));
    if (from >= in.available) {
        throw UserError("--from", "frame " + std::to_string(from) + " is past the end of the input (" +
                                      std::to_string(in.available) + " frames)");
    }
    int64_t frames = in.available - from;
    if (!r.length.empty()) {
        const int64_t wanted = parseFrames("--length", r.length, rate);
        if (wanted <= 0) throw UserError("--length", "must be at least one frame");
        if (wanted > frames) {
            throw UserError("--length", std::to_string(wanted) + " frames asked for, but only " + std::to_string(frames) +
                                            " follow frame " + std::to_string(from));
        }
        frames = wanted;
    }
    if (2 * frames > INT32_MAX) throw UserError("--length", "the run is too long");
    job.firstFrame = from;
    job.run.frames = frames;
    job.chunkBegin = 0;
    job.chunkEnd = frames;
    if (r.chunk.empty()) return;
    int k = 1, n = 1;
    parseChunk(r.chunk, k, n);
    if (n > frames) {
        throw UserError("--chunk", std::to_string(n) + " chunks of a run of " + std::to_string(frames) +
                                       " frames would leave some empty; use at most " + std::to_string(frames));
    }
    chunkRange(frames, k, n, job.chunkBegin, job.chunkEnd);
}

// The run as the operator sees it: settings, scan, rate, region and the
// fields' size after --scale. Returns the output's format.
VideoFormat describeRun(RenderJob& job, OperatorLibrary& op, const RenderRequest& r, const VideoFormat& format) {
    RunSetup& run = job.run;
    run.op = &op;
    run.scan = format.interlace;
    run.rate = format.rate;
    run.aspect = format.aspect;
    run.sourceWidth = format.width;
    run.sourceHeight = format.height;
    const Rational fieldRate{2 * format.rate.num, format.rate.den};
    for (const std::string& s : r.settings) run.settings.push_back(parseSetting(op, s, fieldRate));
    if (!r.chunk.empty() && !startsAnywhere(run)) {
        throw UserError(op.name(), "cannot render --chunk " + r.chunk + ": it " +
                                       (runSplitOf(op) == RunSplit::OneProcess
                                            ? whyInOrderOnly(op)
                                            : "replays its state with one value of each setting, and keyframed "
                                              "--set values change them over the run"));
    }
    if (!r.region.empty()) run.region = parseRegion(r.region, format.width, format.height / 2);
    VideoFormat out = format;
    if (!r.pixFmt.empty()) out.chroma = parsePixelFormat(r.pixFmt);
    if (!r.scale.empty()) {
        parseScale(r.scale, run.scaleNum, run.scaleDen);
        run.scaled = true;
        int w = 0, h = 0;
        scaledFieldSize(out, run.scaleNum, run.scaleDen, w, h);
        out.width = w;
        out.height = 2 * h;
        if (w <= 0 || h <= 0) throw UserError("--scale", r.scale + " leaves no picture");
    }
    if (const std::string problem = formatProblem(out); !problem.empty()) throw UserError(r.output, problem);
    run.outputWidth = out.width;
    run.outputHeight = out.height;
    return out;
}

// The sound that goes with the run: the inputs that have any, cut to the
// rendered range; a transition's two cross over the run.
AudioPlan audioPlan(const RenderRequest& r, const OpenInputs& in, const RenderJob& job) {
    AudioPlan plan;
    const auto& sources = in.sources;
    for (size_t i = 0; i < sources.size(); ++i) {
        if (sources[i]->media().audio) plan.inputs.push_back(r.inputs[i]);
    }
    if (sources.size() == 2 && plan.inputs.size() == 2) plan.crossfade = true;
    if (sources.size() == 2 && plan.inputs.size() == 1) plan.fade = sources[0]->media().audio ? -1 : 1;
    const double frameSeconds = double(in.format.rate.den) / double(in.format.rate.num);
    plan.start = double(job.firstFrame) * frameSeconds;
    plan.seconds = double(job.run.frames) * frameSeconds;
    if (!r.chunk.empty()) {
        // The chunk's stretch of the sound, fading as in the whole run.
        plan.runSeconds = plan.seconds;
        plan.runOffset = double(job.chunkBegin) * frameSeconds;
        plan.start += plan.runOffset;
        plan.seconds = double(job.chunkEnd - job.chunkBegin) * frameSeconds;
    }
    return plan;
}

// The size and time of change of a file, or of standard input.
std::string fileStamp(const std::string& path) {
    struct stat info {};
    const int got = path == "-" ? fstat(STDIN_FILENO, &info) : stat(path.c_str(), &info);
    if (got != 0 || !S_ISREG(info.st_mode)) return "stream";
    return std::to_string(info.st_size) + "@" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

// What makes a run the run it is, the same on every machine that renders a
// chunk of it without their talking to each other: the program's version,
// the operator (its name and its library's bytes), every input (its
// format, its frames, and the size and time of change of every file it
// reads), the settings and options that shape the output, the run's place
// in the inputs, and the output's kind and format. Not the chunk, the
// number of workers or the output's name, which differ between chunks of
// one run and change none of its bytes.
std::string runIdentity(const OperatorLibrary& op, const RenderRequest& r, const OpenInputs& in, const RenderJob& job,
                        const VideoFormat& out, const SinkOptions& options) {
    std::ifstream library(op.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(library)), std::istreambuf_iterator<char>());
    std::ostringstream text;
    text << "fieldfx " << FIELDFX_VERSION << "\noperator " << op.name() << " " << runDigest(bytes) << "\n";
    for (size_t i = 0; i < in.sources.size(); ++i) {
        text << "input " << formatY4mHeader(in.sources[i]->format()) << " frames " << in.sources[i]->frameCount();
        const std::vector<std::string> files = r.inputs[i] == "-" ? std::vector<std::string>{"-"} : inputFiles(r.inputs[i]);
        for (const std::string& file : files) text << " " << fileStamp(file);
        text << "\n";
    }
    for (const std::string& setting : r.settings) text << "set " << setting << "\n";
    text << "region " << r.region << "\nscale " << r.scale << "\nfield-order " << r.fieldOrder << "\npix-fmt "
         << r.pixFmt << "\nduration " << r.duration << "\nrate " << r.rate << "\nallow-short " << r.allowShort << "\n";
    text << "run from " << job.firstFrame << " frames " << job.run.frames << "\n";
    const size_t dot = r.output.rfind('.');
    text << "output " << (dot == std::string::npos ? std::string() : lowerCase(r.output.substr(dot))) << " "
         << formatY4mHeader(out) << " bits " << options.bits << "\n";
    text << "audio " << options.audio.inputs.size() << " " << options.audio.crossfade << " " << options.audio.fade << "\n";
    if (options.encoding) {
        text << "encode";
        for (const std::string& arg : encodingArguments(*options.encoding, true, false)) text << " " << arg;
        text << "\n";
    }
    return text.str();
}

EncodingRequest encodingRequestOf(const RenderRequest& r) {
    EncodingRequest e;
    e.codec = r.codec;
    e.quality = r.quality;
    e.audioCodec = r.audioCodec;
    e.encoderArgs = r.encoderArgs;
    e.pixFmtGiven = !r.pixFmt.empty();
    return e;
}

// The encoding options, checked before any input is opened: they apply to
// files ffmpeg writes only.
void checkEncodingOptions(const RenderRequest& r) {
    const std::pair<const char*, const std::string*> given[] = {
        {"--codec", &r.codec}, {"--quality", &r.quality}, {"--audio-codec", &r.audioCodec}, {"--encoder-args", &r.encoderArgs}};
    for (const auto& [option, value] : given) {
        if (!value->empty() && sinkKindFor(r.output) != SinkKind::Ffmpeg) {
            throw UserError(option, "applies to files ffmpeg writes; " + r.output + " is written by fieldfx itself");
        }
    }
    const auto& levels = qualityLevels();
    if (!r.quality.empty() && std::find(levels.begin(), levels.end(), r.quality) == levels.end()) {
        throw UserError("--quality", "'" + r.quality + "' is not one of low, medium, high, lossless");
    }
    splitArguments(r.encoderArgs, "--encoder-args");
}

SinkOptions sinkOptionsFor(const OperatorLibrary& op, const RenderRequest& r, const OpenInputs& in,
                           const RenderJob& job, VideoFormat& out) {
    SinkOptions options;
    options.bits = r.pixFmt.empty() ? in.sources[0]->media().bits : pixFmtBits(r.pixFmt);
    if (!r.pixFmt.empty() && options.bits > 8 && sinkKindFor(r.output) != SinkKind::Ffmpeg) {
        throw UserError("--pix-fmt", "YUV4MPEG2 and PNG outputs are written at 8 bits; " + r.pixFmt +
                                         " needs an output written through ffmpeg");
    }
    if (!r.noAudio) {
        options.audio = audioPlan(r, in, job);
        if (!options.audio.inputs.empty() && !sinkHoldsAudio(r.output)) {
            std::fprintf(stderr, "fieldfx: %s: audio is not written (this output holds pictures only; "
                                 "--no-audio says it is not wanted)\n", r.output.c_str());
            options.audio = {};
        }
    }
    if (sinkKindFor(r.output) == SinkKind::Ffmpeg) {
        const SourceMedia media = in.sources[0]->media();
        EncodingSource source;
        source.codec = media.codec;
        source.profile = media.profile;
        source.audioCodec = media.audioCodec;
        source.bitRate = media.bitRate;
        source.alpha = media.alpha || pixFmtHasAlpha(media.pixFmt);
        const EncodingRequest request = encodingRequestOf(r);
        EncodingPlan plan = planEncoding(r.output, source, request);
        fitPictures(plan, r.output, request, source.alpha, out, options.bits);
        options.encoding = plan;
    }
    options.firstFrame = job.chunkBegin;
    if (!r.chunk.empty()) {
        ChunkNote note;
        parseChunk(r.chunk, note.k, note.n);
        note.begin = job.chunkBegin;
        note.end = job.chunkEnd;
        note.frames = job.run.frames;
        note.run = runDigest(runIdentity(op, r, in, job, out, options));
        options.chunk = note;
    }
    return options;
}

// Passes every frame on to the real output and shows each to a watch, as
// a picture. It takes frames as 4:4:4 with alpha, which hold the rendered
// fields exactly, and packs them for the real output.
class WatchedSink : public FrameSink {
public:
    WatchedSink(FrameSink& inner, const FrameWatch& watch) : inner_(inner), watch_(watch), format_(inner.format()) {
        format_.chroma = Chroma::C444alpha;
    }
    const VideoFormat& format() const override { return format_; }
    void write(const uint8_t* frame, size_t size) override {
        Frame stored;
        stored.data.assign(frame, frame + size);
        const Picture picture = expandFrame(format_, stored);
        watch_(index_++, picture);
        const Frame packed = packFrame(inner_.format(), picture);
        inner_.write(packed.data.data(), packed.data.size());
    }
    void commit() override { inner_.commit(); }

private:
    FrameSink& inner_;
    const FrameWatch& watch_;
    VideoFormat format_;
    int64_t index_ = 0;
};

void printSummary(const OperatorLibrary& op, const RenderRequest& r, const RenderJob& job, const VideoFormat& out,
                  const RenderResult& result, double seconds) {
    const long long fields = 2 * (job.chunkEnd - job.chunkBegin);
    if (result.aborted) {
        if (!r.chunk.empty()) {
            // A chunk is joined whole or not at all: one cut short is not kept.
            std::fprintf(stderr, "fieldfx: %s: interrupted after %lld of %lld fields; a chunk is kept only when it is "
                                 "complete, so nothing was written to %s (render the chunk again)\n",
                         op.name().c_str(), static_cast<long long>(result.fieldsRendered), fields, r.output.c_str());
        } else if (result.framesWritten > 0) {
            std::fprintf(stderr, "fieldfx: %s: interrupted after %lld of %lld fields; wrote %lld frames to %s\n",
                         op.name().c_str(), static_cast<long long>(result.fieldsRendered), fields,
                         static_cast<long long>(result.framesWritten), r.output.c_str());
        } else {
            std::fprintf(stderr, "fieldfx: %s: interrupted after %lld of %lld fields, before a frame was "
                                 "complete; no file written\n",
                         op.name().c_str(), static_cast<long long>(result.fieldsRendered), fields);
        }
        return;
    }
    std::string chunk;
    if (!r.chunk.empty()) {
        int k = 1, n = 1;
        parseChunk(r.chunk, k, n);
        chunk = " (chunk " + std::to_string(k) + "/" + std::to_string(n) + ": frames " + std::to_string(job.chunkBegin) +
                " to " + std::to_string(job.chunkEnd - 1) + " of " + std::to_string(job.run.frames) + ")";
    }
    std::fprintf(stderr, "fieldfx: %s: %lld fields (%lld frames, %dx%d) in %.1f s, %.1f fields/s -> %s%s\n",
                 op.name().c_str(), static_cast<long long>(result.fieldsRendered),
                 static_cast<long long>(result.framesWritten), out.width, out.height, seconds,
                 seconds > 0 ? double(result.fieldsRendered) / seconds : 0.0, r.output.c_str(), chunk.c_str());
}

}  // namespace

RenderResult renderClip(OperatorLibrary& op, const RenderRequest& r, const FrameWatch& watch) {
    const auto started = r.started.value_or(std::chrono::steady_clock::now());
    checkOutputName(r.output);
    checkEncodingOptions(r);
    OpenInputs in = openInputs(op, r);
    RenderJob job;
    job.jobs = r.jobs;
    placeRun(job, r, in);
    VideoFormat out = describeRun(job, op, r, in.format);
    checkSink(r.output, job.chunkEnd - job.chunkBegin, r.inputs, job.chunkBegin,
              r.chunk.empty() ? std::vector<std::string>{} : std::vector<std::string>{noteFileFor(r.output)});
    const SinkOptions sinkOptions = sinkOptionsFor(op, r, in, job, out);
    for (auto& s : in.sources) job.inputs.push_back(s.get());

    std::unique_ptr<FrameSink> sink = openSink(r.output, out, sinkOptions);
    // What the encoder could not take, said once the output is under way.
    if (sinkOptions.encoding) {
        for (const std::string& note : sinkOptions.encoding->notes) {
            std::fprintf(stderr, "fieldfx: %s: %s\n", r.output.c_str(), note.c_str());
        }
    }
    Progress progress(op.name(), 2 * (job.chunkEnd - job.chunkBegin), !r.quiet && isatty(STDERR_FILENO));
    const ProgressFn shown = [&](int64_t done) { progress.update(done); };
    RenderResult result;
    if (watch) {
        WatchedSink watched(*sink, watch);
        result = runRender(job, watched, shown);
    } else {
        result = runRender(job, *sink, shown);
    }
    // An interrupted run keeps the frames it finished; with none, no file.
    // An interrupted chunk keeps nothing: joined, it would leave its
    // frames out of the run, and so does a chunk whose input ended early.
    if (result.endedShort && !r.chunk.empty()) {
        throw UserError(r.output, "not written: an input ended before the end of the chunk, and a chunk is kept only "
                                  "whole (render the run in one piece with --allow-short)");
    }
    if (result.endedShort && result.framesWritten == 0) throw UserError(r.output, "not written: it would hold no frames");
    if (!result.aborted || (result.framesWritten > 0 && r.chunk.empty())) sink->commit();
    sink.reset();
    progress.finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!r.quiet || result.aborted) printSummary(op, r, job, out, result, seconds);
    return result;
}

// The main process reads and writes the frames on threads of its own,
// which keep about half a core busy even with -j 1; on two cores a second
// worker only competes with them (bench/e2e shows -j 2 no faster than -j 1
// there).
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

int commandRender(const std::vector<std::string>& args) {
    const auto started = std::chrono::steady_clock::now();
    static const std::set<std::string> kValueOptions = {
        "-o", "--output", "--set", "--from", "--length", "--region", "--scale", "--field-order", "--pix-fmt",
        "--duration", "--rate", "--ops", "-j", "--jobs", "--chunk", "--codec", "--quality", "--audio-codec",
        "--encoder-args"};
    const Arguments a = parseArguments(args, kValueOptions,
                                       {"--quiet", "-q", "--verbose", "--allow-short", "--no-audio"}, "render");
    if (a.positional.size() < 2) throw UserError("render", "usage: fieldfx render OPERATOR INPUT [INPUT2] -o OUTPUT");
    if (a.positional.size() > 3) throw UserError("render", "too many inputs (at most two)");
    RenderRequest r;
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
    r.codec = a.value("--codec");
    r.quality = a.value("--quality");
    r.audioCodec = a.value("--audio-codec");
    r.encoderArgs = a.value("--encoder-args");
    r.allowShort = a.has("--allow-short");
    r.noAudio = a.has("--no-audio");
    setFfmpegVerbose(a.has("--verbose"));
    r.jobs = parseJobs(a);
    r.started = started;
    auto op = findOperator(a.positional[0], operatorSearchPath(a.value("--ops")));
    const RenderResult result = renderClip(*op, r);
    return result.aborted ? stopExitStatus() : 0;
}

}  // namespace fieldfx
