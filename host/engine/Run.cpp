#include "Run.h"

#include <algorithm>
#include <cstring>

#include "Catalogue.h"
#include "Error.h"
#include "RunPositions.h"

namespace fieldfx {

void scaledFieldSize(const VideoFormat& format, int num, int den, int& width, int& height) {
    width = int(int64_t(format.width) * num / den);
    height = int(int64_t(format.height / 2) * num / den);
    if (chromaShiftX(format.chroma)) width &= ~1;
    if (chromaShiftY(format.chroma)) height &= ~1;
}

RunSplit runSplitOf(const OperatorLibrary& op) {
    const KnownOperator* known = knownOperator(op);
    if (known != nullptr && !known->stateful) return RunSplit::AnyField;
    if (op.replay() != nullptr) return RunSplit::Replay;
    return RunSplit::OneProcess;
}

std::string whyInOrderOnly(const OperatorLibrary& op) {
    if (knownOperator(op) == nullptr) {
        return "is not an operator this program knows, and its library exports no OperatorReplay, so its fields "
               "may depend on the ones before them and its run renders in order from the start";
    }
    return "keeps state from field to field, and its library exports no OperatorReplay to bring that state to a "
           "later field, so its run renders in order from the start";
}

namespace {

bool sameValue(const ParamValue& a, const ParamValue& b) {
    return a.number == b.number && a.x == b.x && a.y == b.y && std::equal(a.color, a.color + 4, b.color);
}

// The field as the operator sees it: the run's region applied, scaled to
// the run's field size.
ImagePtr regionAndScale(ImagePtr image, const RunSetup& setup) {
    if (image == nullptr) throw UserError(setup.op->name(), "out of memory for a field");
    if (setup.region.set) {
        image->regionLeft = static_cast<int16_t>(setup.region.left);
        image->regionTop = static_cast<int16_t>(setup.region.top);
        image->regionWidth = static_cast<int16_t>(setup.region.width);
        image->regionHeight = static_cast<int16_t>(setup.region.height);
    }
    // A host whose frames come at the reduced size already (an editor's
    // preview) tells the operator so, with no scaling to do here.
    if (setup.scaled && (image->width != setup.outputWidth || image->height != setup.outputHeight / 2)) {
        image.reset(scaleField(*image, setup.outputWidth, setup.outputHeight / 2));
        if (image == nullptr) throw UserError(setup.op->name(), "out of memory for a field");
    }
    return image;
}

// A copy of a field image, region and all.
FieldImage* copyField(const FieldImage& source) {
    FieldImage* copy = newFieldImage(source.width, source.height, false);  // every pixel is set below
    if (copy == nullptr) return nullptr;
    std::memcpy(copy->pixels, source.pixels, size_t(source.width) * size_t(source.height) * PIXEL_BYTES);
    copy->regionLeft = source.regionLeft;
    copy->regionTop = source.regionTop;
    copy->regionWidth = source.regionWidth;
    copy->regionHeight = source.regionHeight;
    return copy;
}

// Field `field` of an input's frame as the operator sees it.
ImagePtr makeField(const RunSetup& setup, InputFrame& frame, int field) {
    ImagePtr image;
    const VideoFormat* stored = frame.storedFormat;
    if (frame.given[field] != nullptr) {
        image.reset(copyField(*frame.given[field]));
    } else if (frame.bytes != nullptr && stored != nullptr) {
        image.reset(newFieldImage(stored->width, stored->height / 2, false));  // every pixel is set below
        if (image != nullptr) {
            FieldImage* only[2] = {nullptr, nullptr};
            only[field] = image.get();
            splitFrame(*stored, frame.bytes, only, frame.scratch);
        }
    } else {
        image.reset(fieldOf(frame.picture, field));
    }
    return regionAndScale(std::move(image), setup);
}

}  // namespace

bool startsAnywhere(const RunSetup& setup) {
    switch (runSplitOf(*setup.op)) {
    case RunSplit::AnyField: return true;
    case RunSplit::OneProcess: return false;
    case RunSplit::Replay: break;
    }
    for (const Setting& s : setup.settings) {
        for (const Keyframe& key : s.keys) {
            if (!sameValue(key.value, s.keys.front().value)) return false;
        }
    }
    return true;
}

Run::Run(RunSetup setup, const std::atomic<bool>* abortFlag, bool installHost)
    : setup_(std::move(setup)), host_(abortFlag, installHost) {
    request_.length = static_cast<uint32_t>(runLength(setup_.frames, setup_.scan));
    request_.flags = static_cast<uint8_t>((setup_.scaled ? FLAG_REDUCED_SIZE : 0) |
                                          (isSixtyFields(setup_.rate) ? FLAG_SIXTY_FIELDS : 0));
    request_.scaleNum = static_cast<int16_t>(setup_.scaled ? setup_.scaleNum : 1);
    request_.scaleDen = static_cast<int16_t>(setup_.scaled ? setup_.scaleDen : 1);
    request_.pixelAspect = pixelAspectOf(setup_.aspect);

    // Scratch images have the run's field geometry: that of a field as the
    // operator gets it.
    FieldImage like{};
    like.width = static_cast<int16_t>(setup_.outputWidth);
    like.height = static_cast<int16_t>(setup_.outputHeight / 2);
    like.regionWidth = like.width;
    like.regionHeight = like.height;
    if (setup_.region.set) {
        Picture blank;
        blank.resize(setup_.sourceWidth, setup_.sourceHeight);
        like = *regionAndScale(ImagePtr(fieldOf(blank, 0)), setup_);
    }
    host_.setGeometry(like);
}

Run::~Run() {
    if (started_) finish();
}

std::string Run::failure(const std::string& what) const {
    return what + (host_.lastLog().empty() ? std::string() : " (operator log: " + host_.lastLog() + ")");
}

void Run::writeSettings(int64_t position) {
    for (const Setting& s : setup_.settings) writeValue(*s.parameter, valueAt(s, position));
}

std::string Run::start() {
    // The settings at the first field, so that what the operator reads at
    // the start (Patina: the film condition) is the user's.
    writeSettings(0);
    host_.beginCommand();
    request_.command = CMD_START;
    nextCall_ = 0;
    if (setup_.op->action()(&request_) == -1) {
        host_.reclaimCommand();
        return failure("the start of the run failed");
    }
    started_ = true;
    return "";
}

void Run::prepareFields(InputFrame& frame) const {
    const VideoFormat* stored = frame.storedFormat;
    if (frame.given[0] == nullptr && frame.bytes != nullptr && stored != nullptr) {
        // Both fields in one pass over the frame's chroma.
        ImagePtr fields[2];
        for (ImagePtr& f : fields) {
            f.reset(newFieldImage(stored->width, stored->height / 2, false));  // every pixel is set below
            if (f == nullptr) throw UserError(setup_.op->name(), "out of memory for a field");
        }
        FieldImage* both[2] = {fields[0].get(), fields[1].get()};
        splitFrame(*stored, frame.bytes, both, frame.scratch);
        for (int field = 0; field < 2; ++field) frame.fields[field] = regionAndScale(std::move(fields[field]), setup_);
        return;
    }
    for (int field = 0; field < 2; ++field) frame.fields[field] = makeField(setup_, frame, field);
}

std::string Run::renderField(std::vector<InputFrame>& inputs, int64_t frame, int place, OutputFrame& output) {
    const FieldCall call = fieldCall(frame, place, setup_.scan);
    const int field = call.field;
    const int64_t position = call.position;
    // The first fetch of an input takes its prepared field; any later fetch
    // at the same position gets the field made again from the frame.
    host_.setFields(
        [&](int32_t input) -> FieldImage* {
            InputFrame& in = inputs[size_t(input)];
            if (in.fields[field] != nullptr) return in.fields[field].release();
            try {
                return makeField(setup_, in, field).release();
            } catch (const UserError&) {
                return nullptr;  // no memory: the fetch fails
            }
        },
        static_cast<int32_t>(inputs.size()), position);
    writeSettings(position);

    host_.beginCommand();
    request_.command = CMD_RENDER;
    request_.position = static_cast<uint32_t>(position);
    request_.flags = static_cast<uint8_t>((request_.flags & ~FLAG_LOWER_FIELD) | call.flags);
    const int32_t status = setup_.op->action()(&request_);
    ImagePtr rendered = host_.takeOutput();
    host_.reclaimCommand();
    host_.setFields(nullptr, 0, -1);
    if (status == -1 || rendered == nullptr) {
        const std::string what = "render failed at field " + std::to_string(position) + " of " +
                                 std::to_string(request_.length);
        return host_.lastLog().empty() && status != -1 ? what + " (no field handed back)" : failure(what);
    }
    output.fields[field] = std::move(rendered);
    nextCall_ = 2 * frame + place + 1;
    return "";
}

void Run::packOutput(const VideoFormat* stored, OutputFrame& output, uint8_t* into) const {
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
    output.picture.resize(setup_.outputWidth, setup_.outputHeight);
    for (int field = 0; field < 2; ++field) {
        if (output.fields[field] != nullptr) weaveField(output.picture, field, *output.fields[field]);
    }
    if (stored == nullptr) return;
    output.stored = packFrame(*stored, output.picture);
    if (into != nullptr) std::memcpy(into, output.stored.data.data(), output.stored.data.size());
}

// Replays the calls from `from` up to call `target`, in stretches of at
// most replayStretch_ calls: each stretch's replay leaves the run just
// before the last update it lists, and the next stretch lists the calls
// from that one on. On return `from` is the first call to render.
std::string Run::replayTo(int64_t target, int64_t& from) {
    std::vector<uint32_t> positions;
    for (;;) {
        const int64_t last = std::min(target, from + replayStretch_ - 1);
        positions.clear();
        for (int64_t call = from; call <= last; ++call) {
            positions.push_back(static_cast<uint32_t>(fieldCall(call / 2, int(call % 2), setup_.scan).position));
        }
        host_.beginCommand();
        OperatorRequest replay = request_;
        replay.command = CMD_RENDER;
        replay.position = 0;
        replay.flags = static_cast<uint8_t>(replay.flags & ~FLAG_LOWER_FIELD);
        const int32_t k = setup_.op->replay()(&replay, positions.data(), static_cast<uint32_t>(positions.size()));
        const std::string failed = "the replay of the run to field " +
                                   std::to_string(fieldCall(target / 2, int(target % 2), setup_.scan).position);
        if (k < 0 || k >= int32_t(positions.size())) return failure(failed + " failed");
        if (last == target) {
            from += k;
            return "";
        }
        if (k == 0) return failed + " made no progress";
        from += k;
    }
}

std::string Run::seek(int64_t frame, const InputsOf& inputsOf) {
    if (!started_) {
        if (std::string why = start(); !why.empty()) return why;
    }
    const int64_t target = 2 * frame;
    if (target == nextCall_) return "";
    const RunSplit split = runSplitOf(*setup_.op);
    if (split == RunSplit::AnyField) {
        nextCall_ = target;
        return "";
    }
    if (target < nextCall_) {
        finish();
        if (std::string why = start(); !why.empty()) return why;
        if (target == 0) return "";
    }
    int64_t from = nextCall_;
    if (split == RunSplit::Replay) {
        // The replay reads the settings once, those of the frame sought.
        writeSettings(fieldCall(frame, 0, setup_.scan).position);
        if (std::string why = replayTo(target, from); !why.empty()) return why;
        // Film pictures are made at least every fourth position, so the
        // last update lies in the two frames before; a host that holds only
        // those has nothing further back to give.
        if (from / 2 < frame - kLeadInFrames) {
            return "the replay of the run to field " +
                   std::to_string(fieldCall(frame, 0, setup_.scan).position) + " reached back too far";
        }
    }
    OutputFrame discarded;
    for (int64_t call = from; call < target; ++call) {
        const std::string why = renderField(inputsOf(call / 2), call / 2, int(call % 2), discarded);
        if (!why.empty()) return why;
    }
    nextCall_ = target;
    return "";
}

void Run::finish() {
    host_.beginCommand();
    request_.command = CMD_FINISH;
    setup_.op->action()(&request_);
    host_.reclaimAll();
    started_ = false;
}

}  // namespace fieldfx
