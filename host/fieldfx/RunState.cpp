#include "RunState.h"

#include <algorithm>
#include <cstring>

#include "Catalogue.h"
#include "Error.h"
#include "RunPositions.h"

namespace fieldfx {

namespace {

// The field as the operator sees it: the run's region applied, scaled to
// the run's field size.
ImagePtr regionAndScale(ImagePtr image, const RenderJob& job, int width, int height) {
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

// Field `field` of an input's frame as the operator sees it.
ImagePtr makeField(const RenderJob& job, size_t input, InputFrame& frame, int field) {
    ImagePtr image;
    const VideoFormat* stored = job.inputs[input]->storedFormat();
    if (frame.bytes != nullptr && stored != nullptr) {
        image.reset(newFieldImage(stored->width, stored->height / 2, false));  // every pixel is set below
        if (image != nullptr) {
            FieldImage* only[2] = {nullptr, nullptr};
            only[field] = image.get();
            splitFrame(*stored, frame.bytes, only, frame.scratch);
        }
    } else {
        image.reset(fieldOf(frame.picture, field));
    }
    return regionAndScale(std::move(image), job, job.outputFormat.width, job.outputFormat.height / 2);
}

}  // namespace

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
        ImagePtr sample = regionAndScale(ImagePtr(fieldOf(blank, 0)), job, like.width, like.height);
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

void RunState::prepareFields(size_t input, InputFrame& frame) const {
    const VideoFormat* stored = job.inputs[input]->storedFormat();
    if (frame.bytes != nullptr && stored != nullptr) {
        // Both fields in one pass over the frame's chroma.
        ImagePtr fields[2];
        for (ImagePtr& f : fields) {
            f.reset(newFieldImage(stored->width, stored->height / 2, false));  // every pixel is set below
            if (f == nullptr) throw UserError(job.op->name(), "out of memory for a field");
        }
        FieldImage* both[2] = {fields[0].get(), fields[1].get()};
        splitFrame(*stored, frame.bytes, both, frame.scratch);
        for (int field = 0; field < 2; ++field) {
            frame.fields[field] =
                regionAndScale(std::move(fields[field]), job, job.outputFormat.width, job.outputFormat.height / 2);
        }
        return;
    }
    for (int field = 0; field < 2; ++field) frame.fields[field] = makeField(job, input, frame, field);
}

std::string RunState::renderField(std::vector<InputFrame>& inputs, int64_t frame, int place, OutputFrame& output) {
    const FieldCall call = fieldCall(frame, place, job.fieldFormat.interlace);
    const int field = call.field;
    const int64_t position = call.position;
    // The first fetch of an input takes its prepared field; any later fetch
    // at the same position gets the field made again from the frame.
    host.setFields(
        [&](int32_t input) -> FieldImage* {
            InputFrame& in = inputs[size_t(input)];
            if (in.fields[field] != nullptr) return in.fields[field].release();
            try {
                return makeField(job, size_t(input), in, field).release();
            } catch (const UserError&) {
                return nullptr;  // no memory: the fetch fails
            }
        },
        static_cast<int32_t>(inputs.size()), position);
    for (const Setting& s : job.settings) writeValue(*s.parameter, valueAt(s, position));

    host.beginCommand();
    request.command = CMD_RENDER;
    request.position = static_cast<uint32_t>(position);
    request.flags = static_cast<uint8_t>((request.flags & ~FLAG_LOWER_FIELD) | call.flags);
    const int32_t status = job.op->action()(&request);
    ImagePtr rendered = host.takeOutput();
    host.reclaimCommand();
    host.setFields(nullptr, 0, -1);
    if (status == -1 || rendered == nullptr) {
        return "render failed at field " + std::to_string(position) + " of " + std::to_string(request.length) +
               (host.lastLog().empty() ? std::string(status == -1 ? "" : " (no field handed back)")
                                       : " (operator log: " + host.lastLog() + ")");
    }
    output.fields[field] = std::move(rendered);
    nextCall = 2 * frame + place + 1;
    return "";
}

void RunState::packOutput(const VideoFormat* stored, OutputFrame& output, uint8_t* into) const {
    const FieldImage* even = output.fields[0].get();
    const FieldImage* odd = output.fields[1].get();
    auto fits = [&](const FieldImage* f) {
        return f != nullptr && f->width == stored->width && f->height == stored->height / 2;
    };
    if (stored != nullptr && fits(even) && fits(odd)) {
        if (into == nullptr) {
            output.stored.data.resize(frameBytes(*stored));
            into = output.stored.data.data();
        }
        packFields(*stored, *even, *odd, into, output.scratch);
        return;
    }
    // Fields of another size than the frame's: woven as far as they reach.
    output.picture.resize(job.outputFormat.width, job.outputFormat.height);
    for (int field = 0; field < 2; ++field) {
        if (output.fields[field] != nullptr) weaveField(output.picture, field, *output.fields[field]);
    }
    if (stored == nullptr) return;
    output.stored = packFrame(*stored, output.picture);
    if (into != nullptr) std::memcpy(into, output.stored.data.data(), output.stored.data.size());
}

std::string RunState::advanceTo(int64_t frame, const InputsOf& inputsOf) {
    const int64_t target = 2 * frame;
    if (job.op->replay() == nullptr || target <= nextCall) {
        nextCall = target;
        return "";
    }
    const Interlace scan = job.fieldFormat.interlace;
    std::vector<uint32_t> positions;
    positions.reserve(size_t(target - nextCall + 1));
    for (int64_t call = nextCall; call <= target; ++call) {
        positions.push_back(static_cast<uint32_t>(fieldCall(call / 2, int(call % 2), scan).position));
    }
    for (const Setting& s : job.settings) writeValue(*s.parameter, valueAt(s, positions.back()));

    host.beginCommand();
    OperatorRequest replay = request;
    replay.command = CMD_RENDER;
    replay.position = 0;
    replay.flags = static_cast<uint8_t>(replay.flags & ~FLAG_LOWER_FIELD);
    const int32_t k = job.op->replay()(&replay, positions.data(), static_cast<uint32_t>(positions.size()));
    if (k < 0 || k >= int32_t(positions.size())) {
        return "the replay of the run to field " + std::to_string(positions.back()) + " failed" +
               (host.lastLog().empty() ? std::string() : " (operator log: " + host.lastLog() + ")");
    }
    // Film pictures are made at least every fourth position, so the last
    // update lies in the two frames before; a host that holds only those
    // has nothing further back to give.
    if ((nextCall + k) / 2 < frame - kLeadInFrames) {
        return "the replay of the run to field " + std::to_string(positions.back()) + " reached back too far";
    }
    OutputFrame discarded;
    for (int64_t call = nextCall + k; call < target; ++call) {
        const std::string why = renderField(inputsOf(call / 2), call / 2, int(call % 2), discarded);
        if (!why.empty()) return why;
    }
    nextCall = target;
    return "";
}

std::string RunState::startAt(int64_t frame, const InputsOf& inputsOf) {
    if (std::string why = start(); !why.empty()) return why;
    return advanceTo(frame, inputsOf);
}

namespace {

bool sameValue(const ParamValue& a, const ParamValue& b) {
    return a.number == b.number && a.x == b.x && a.y == b.y && std::equal(a.color, a.color + 4, b.color);
}

}  // namespace

bool startsAnywhere(const RenderJob& job) {
    if (!rendersInWorkers(*job.op)) return false;
    if (job.op->replay() == nullptr) return true;
    for (const Setting& s : job.settings) {
        for (const Keyframe& key : s.keys) {
            if (!sameValue(key.value, s.keys.front().value)) return false;
        }
    }
    return true;
}

void RunState::finish() {
    host.beginCommand();
    request.command = CMD_FINISH;
    job.op->action()(&request);
    host.reclaimAll();
}

void skipToFrame(const RenderJob& job, int64_t frame) {
    for (FrameSource* source : job.inputs) {
        for (int64_t i = 0; i < job.firstFrame + frame; ++i) {
            if (!source->skip()) {
                throw UserError(source->name(), frame == 0 ? "ends before the start of the run"
                                                           : "ends before frame " + std::to_string(frame) + " of the run");
            }
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

bool readInputFrame(const RenderJob& job, size_t input, InputFrame& frame) {
    FrameSource& source = *job.inputs[input];
    if (source.storedFormat() != nullptr) {
        if (!source.readStored(frame.stored)) return false;
        frame.bytes = frame.stored.data.data();
        return true;
    }
    frame.bytes = nullptr;
    return source.read(frame.picture);
}

}  // namespace fieldfx
