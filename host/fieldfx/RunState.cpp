#include "RunState.h"

#include "Error.h"
#include "RunPositions.h"

namespace fieldfx {

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

RunState::RunState(const RenderJob& j) : job(j) {
    const VideoFormat& in = job.fieldFormat;
    request.length = static_cast<uint32_t>(runLength(job.frames, in.interlace));
    request.flags = static_cast<uint8_t>((job.scaled ? FLAG_REDUCED_SIZE : 0) |
                                         (isSixtyFields(in.rate) ? FLAG_SIXTY_FIELDS : 0));
    request.scaleNum = static_cast<int16_t>(job.scaled ? job.scaleNum : 1);
    request.scaleDen = static_cast<int16_t>(job.scaled ? job.scaleDen : 1);
    request.pixelAspect = pixelAspectOf(in.aspect);

    // Scratch images have the run's field geometry; set it from the first field.
    FieldImage like{};
    like.width = static_cast<int16_t>(job.outputFormat.width);
    like.height = static_cast<int16_t>(job.outputFormat.height / 2);
    like.regionWidth = like.width;
    like.regionHeight = like.height;
    if (job.region.set) {
        Picture blank;
        blank.resize(in.width, in.height);
        ImagePtr sample = prepareField(blank, 0, job, like.width, like.height);
        like = *sample;
    }
    host.setGeometry(like);
}

std::string RunState::start() {
    // The settings at the first field, so that what the operator reads at
    // the start (Patina: the film condition) is the user's.
    for (const Setting& s : job.settings) writeValue(*s.parameter, valueAt(s, 0));
    host.beginCommand();
    request.command = CMD_START;
    if (job.op->action()(&request) != -1) return "";
    host.reclaimCommand();
    return "the start of the run failed" +
           (host.lastLog().empty() ? std::string() : " (operator log: " + host.lastLog() + ")");
}

std::string RunState::renderField(const std::vector<Picture>& pictures, int64_t frame, int place, Picture& output) {
    const int outWidth = job.outputFormat.width, outFieldHeight = job.outputFormat.height / 2;
    const FieldCall call = fieldCall(frame, place, job.fieldFormat.interlace);
    const int field = call.field;
    const int64_t position = call.position;
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
    request.flags = static_cast<uint8_t>((request.flags & ~FLAG_LOWER_FIELD) | call.flags);
    const int32_t status = job.op->action()(&request);
    ImagePtr rendered = host.takeOutput();
    host.reclaimCommand();
    host.setFields({}, -1);
    if (status == -1 || rendered == nullptr) {
        return "render failed at field " + std::to_string(position) + " of " + std::to_string(request.length) +
               (host.lastLog().empty() ? std::string(status == -1 ? "" : " (no field handed back)")
                                       : " (operator log: " + host.lastLog() + ")");
    }
    weaveField(output, field, *rendered);
    return "";
}

void RunState::finish() {
    host.beginCommand();
    request.command = CMD_FINISH;
    job.op->action()(&request);
    host.reclaimAll();
}

void skipToFirstFrame(const RenderJob& job) {
    Picture picture;
    for (FrameSource* source : job.inputs) {
        for (int64_t i = 0; i < job.firstFrame; ++i) {
            if (!source->read(picture)) throw UserError(source->name(), "ends before the start of the run");
        }
    }
}

std::string readFrame(const RenderJob& job, int64_t frame, const std::function<bool(size_t input)>& readInput) {
    try {
        for (size_t i = 0; i < job.inputs.size(); ++i) {
            if (!readInput(i)) {
                return job.inputs[i]->name() + ": ended after " + std::to_string(job.firstFrame + frame) +
                       " frames, before the end of the run";
            }
        }
    } catch (const UserError& e) {
        return e.what();
    }
    return "";
}

}  // namespace fieldfx
