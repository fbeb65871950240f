#include "Render.h"

#include <signal.h>

#include <cstring>
#include <map>
#include <memory>

#include "Error.h"
#include "fieldfx/HostBackend.h"

namespace fieldfx {

std::atomic<bool> g_abortRequested{false};

namespace {

void onInterrupt(int) { g_abortRequested = true; }

struct ImageDeleter {
    void operator()(FieldImage* image) const { deleteFieldImage(image); }
};
using ImagePtr = std::unique_ptr<FieldImage, ImageDeleter>;

FieldImage* copyImage(const FieldImage& source) {
    FieldImage* image = newFieldImage(source.width, source.height);
    if (image == nullptr) return nullptr;
    std::memcpy(image->pixels, source.pixels, size_t(source.width) * size_t(source.height) * PIXEL_BYTES);
    image->regionLeft = source.regionLeft;
    image->regionTop = source.regionTop;
    image->regionWidth = source.regionWidth;
    image->regionHeight = source.regionHeight;
    return image;
}

std::string describeLog(const std::string& file, int32_t line, uint32_t code, int32_t level) {
    char text[256];
    std::snprintf(text, sizeof text, "level %d, %s line %d, code 0x%08X", level, file.c_str(), line, code);
    return text;
}

// Serves the operator: a fresh copy of the current field for each fetch,
// black scratch images of the run's geometry, and the one output per render.
// Every image it hands out is tracked, so that what a failed render keeps is
// reclaimed and nothing it did not hand out is ever freed.
class RenderHost : public HostBackend {
public:
    RenderHost() { previous_ = installHostBackend(this); }
    ~RenderHost() override {
        installHostBackend(previous_);
        for (auto& entry : held_) deleteFieldImage(entry.first);
    }

    void setFields(std::vector<FieldImage*> fields, int64_t position) {
        current_ = std::move(fields);
        position_ = position;
        output_.reset();
    }
    void setGeometry(const FieldImage& like) {
        width_ = like.width;
        height_ = like.height;
        regionLeft_ = like.regionLeft;
        regionTop_ = like.regionTop;
        regionWidth_ = like.regionWidth;
        regionHeight_ = like.regionHeight;
    }
    void beginCommand() {
        ++command_;
        lastLog_.clear();
    }
    // Images that this command obtained and did not give back.
    void reclaimCommand() {
        for (auto it = held_.begin(); it != held_.end();) {
            if (it->second == command_) {
                deleteFieldImage(it->first);
                it = held_.erase(it);
            } else {
                ++it;
            }
        }
    }
    void reclaimAll() {
        for (auto& entry : held_) deleteFieldImage(entry.first);
        held_.clear();
    }
    ImagePtr takeOutput() { return std::move(output_); }
    const std::string& lastLog() const { return lastLog_; }

    FieldImage* getField(int32_t input, int32_t position) override {
        if (input < 0 || size_t(input) >= current_.size() || position != position_ || current_[input] == nullptr) {
            return nullptr;
        }
        return track(copyImage(*current_[input]));
    }
    int32_t putField(FieldImage* image) override {
        auto it = held_.find(image);
        if (it == held_.end() || output_ != nullptr) return -1;
        held_.erase(it);
        output_.reset(image);
        return 0;
    }
    int32_t checkAbort() override { return g_abortRequested ? 1 : 0; }
    FieldImage* allocImage(int32_t, int32_t, int32_t, int32_t) override {
        FieldImage* image = newFieldImage(width_, height_);
        if (image == nullptr) return nullptr;
        image->regionLeft = regionLeft_;
        image->regionTop = regionTop_;
        image->regionWidth = regionWidth_;
        image->regionHeight = regionHeight_;
        return track(image);
    }
    void freeImage(FieldImage* image) override {
        auto it = held_.find(image);
        if (it == held_.end()) return;  // not ours, or already given back
        deleteFieldImage(image);
        held_.erase(it);
    }
    void logMessage(int32_t level, int32_t line, const char* file, uint32_t code, const char* text) override {
        printLogRecord(level, line, file, code, text);
        lastLog_ = describeLog(file != nullptr ? file : "(no source)", line, code, level);
    }

private:
    FieldImage* track(FieldImage* image) {
        if (image != nullptr) held_[image] = command_;
        return image;
    }
    HostBackend* previous_ = nullptr;
    std::vector<FieldImage*> current_;
    int64_t position_ = -1;
    ImagePtr output_;
    std::map<FieldImage*, uint64_t> held_;
    uint64_t command_ = 0;
    int16_t width_ = 0, height_ = 0, regionLeft_ = 0, regionTop_ = 0, regionWidth_ = 0, regionHeight_ = 0;
    std::string lastLog_;
};

// The field of a frame as the operator sees it: region applied, scaled.
ImagePtr prepareField(const Picture& picture, int field, const RenderJob& job, int width, int height) {
    ImagePtr image(fieldOf(picture, field));
    if (image == nullptr) throw UserError(job.op->name(), "out of memory for a field");
    if (job.region.set) {
        image->regionLeft = static_cast<int16_t>(job.region.left);
        image->regionTop = static_cast<int16_t>(job.region.top);
        image->regionWidth = static_cast<int16_t>(job.region.width);
        image->regionHeight = static_cast<int16_t>(job.region.height);
    }
    if (job.scaled) {
        image.reset(scaleField(*image, width, height));
        if (image == nullptr) throw UserError(job.op->name(), "out of memory for a field");
    }
    return image;
}

}  // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a blocked read returns and the run stops
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void scaledFieldSize(const VideoFormat& format, int num, int den, int& width, int& height) {
    width = int(int64_t(format.width) * num / den);
    height = int(int64_t(format.height / 2) * num / den);
    if (chromaShiftX(format.chroma)) width &= ~1;
    if (chromaShiftY(format.chroma)) height &= ~1;
}

RenderResult runRender(const RenderJob& job, FrameSink& sink, const ProgressFn& progress) {
    OperatorLibrary& op = *job.op;
    const VideoFormat& in = job.fieldFormat;
    const int outWidth = job.outputFormat.width, outFieldHeight = job.outputFormat.height / 2;

    RenderHost host;
    OperatorRequest request{};
    request.length = static_cast<uint32_t>(2 * job.frames);
    request.flags = static_cast<uint8_t>((job.scaled ? FLAG_REDUCED_SIZE : 0) |
                                         (isSixtyFields(in.rate) ? FLAG_SIXTY_FIELDS : 0));
    request.scaleNum = static_cast<int16_t>(job.scaled ? job.scaleNum : 1);
    request.scaleDen = static_cast<int16_t>(job.scaled ? job.scaleDen : 1);
    request.pixelAspect = pixelAspectOf(in.aspect);

    // Skip to the first frame of the run.
    Picture picture;
    for (FrameSource* source : job.inputs) {
        for (int64_t i = 0; i < job.firstFrame; ++i) {
            if (!source->read(picture)) throw UserError(source->name(), "ends before the start of the run");
        }
    }

    // Scratch images have the run's field geometry; set it from the first field.
    {
        FieldImage like{};
        like.width = static_cast<int16_t>(outWidth);
        like.height = static_cast<int16_t>(outFieldHeight);
        like.regionWidth = like.width;
        like.regionHeight = like.height;
        if (job.region.set) {
            Picture blank;
            blank.resize(in.width, in.height);
            ImagePtr sample = prepareField(blank, 0, job, outWidth, outFieldHeight);
            like = *sample;
        }
        host.setGeometry(like);
    }

    auto fail = [&](const std::string& why) {
        host.beginCommand();
        request.command = CMD_FINISH;
        op.action()(&request);
        host.reclaimAll();
        throw UserError(op.name(), why);
    };

    host.beginCommand();
    request.command = CMD_START;
    if (op.action()(&request) == -1) {
        host.reclaimCommand();
        throw UserError(op.name(), "the start of the run failed" +
                                       (host.lastLog().empty() ? std::string() : " (operator log: " + host.lastLog() + ")"));
    }

    RenderResult result;
    Picture output;
    std::vector<Picture> pictures(job.inputs.size());
    for (int64_t frame = 0; frame < job.frames && !g_abortRequested; ++frame) {
        std::string readProblem;
        try {
            for (size_t i = 0; i < job.inputs.size() && readProblem.empty(); ++i) {
                if (!job.inputs[i]->read(pictures[i])) {
                    readProblem = job.inputs[i]->name() + ": ended after " +
                                  std::to_string(job.firstFrame + frame) + " frames, before the end of the run";
                }
            }
        } catch (const UserError& e) {
            readProblem = e.what();
        }
        if (g_abortRequested) break;  // an interrupted read is the stop, not a fault
        if (!readProblem.empty()) fail(readProblem);
        output.resize(outWidth, 2 * outFieldHeight);
        for (int place = 0; place < 2; ++place) {
            const int field = fieldAt(in.interlace, place);
            const int64_t position = 2 * frame + place;
            std::vector<ImagePtr> fields;
            std::vector<FieldImage*> raw;
            for (const Picture& p : pictures) {
                fields.push_back(prepareField(p, field, job, outWidth, outFieldHeight));
                raw.push_back(fields.back().get());
            }
            host.setFields(raw, position);
            for (const Setting& s : job.settings) writeValue(*s.parameter, valueAt(s, position));

            host.beginCommand();
            request.command = CMD_RENDER;
            request.position = static_cast<uint32_t>(position);
            request.flags = static_cast<uint8_t>((request.flags & ~FLAG_LOWER_FIELD) | (field == 1 ? FLAG_LOWER_FIELD : 0));
            const int32_t status = op.action()(&request);
            ImagePtr rendered = host.takeOutput();
            host.reclaimCommand();
            host.setFields({}, -1);
            if (status == -1 || rendered == nullptr) {
                fail("render failed at field " + std::to_string(position) + " of " + std::to_string(request.length) +
                     (host.lastLog().empty() ? std::string(status == -1 ? "" : " (no field handed back)")
                                             : " (operator log: " + host.lastLog() + ")"));
            }
            weaveField(output, field, *rendered);
            ++result.fieldsRendered;
            if (progress) progress(result.fieldsRendered);
            if (g_abortRequested) break;  // stop after the current field
        }
        if (g_abortRequested && result.fieldsRendered % 2 != 0) break;  // drop the half frame
        try {
            sink.write(output);
        } catch (const UserError& e) {
            fail(e.what());
        }
        ++result.framesWritten;
    }
    result.aborted = g_abortRequested;

    host.beginCommand();
    request.command = CMD_FINISH;
    op.action()(&request);
    host.reclaimAll();
    return result;
}

}  // namespace fieldfx
