// The render of one frame of a service, through the run engine. What is
// the module's own is here: MLT's images to and from the stored frames the
// engine takes (4:2:2 as planar 4:2:2, exactly as fieldfx reads 4:2:2
// files; rgba as 4:4:4 with alpha, exactly as fieldfx reads PNG), and the
// run's shape from the service's length, the profile and the frame's scan.
//
// Each instance has its run. An operator whose fields depend on the ones
// before (Patina) gets a private copy of its library, so that every
// instance keeps a run of its own; asked for a frame that does not follow
// its last, the run seeks (Run::seek), rendering the few fields before the
// frame again from the input frames it kept, or from the frame in hand
// when it has not seen them.
#include <algorithm>
#include <cstring>
#include <deque>

#include "Error.h"
#include "FieldConvert.h"
#include "Rgba.h"
#include "Run.h"
#include "ServiceFrame.h"

namespace fieldfx::mlt {

namespace {

// Where a run of a service stands: it starts again when any of this
// changes.
struct RunShape {
    int64_t frames = 0;
    Rational rate{25, 1};
    Rational aspect{1, 1};
    Interlace scan = Interlace::Progressive;
    int width = 0, height = 0;  // of the images
    int fullWidth = 0;          // the profile's: a smaller image is a preview at reduced size
    mlt_image_format format = mlt_image_rgba;
    bool operator==(const RunShape& o) const {
        return frames == o.frames && rate.num == o.rate.num && rate.den == o.rate.den && aspect.num == o.aspect.num &&
               aspect.den == o.aspect.den && scan == o.scan && width == o.width && height == o.height &&
               fullWidth == o.fullWidth && format == o.format;
    }
};

RunShape shapeOf(const ServiceFrame& sf) {
    RunShape shape;
    shape.frames = sf.frames;
    if (sf.profile != nullptr && sf.profile->frame_rate_num > 0 && sf.profile->frame_rate_den > 0) {
        shape.rate = Rational{sf.profile->frame_rate_num, sf.profile->frame_rate_den};
    }
    if (sf.profile != nullptr && sf.profile->sample_aspect_num > 0 && sf.profile->sample_aspect_den > 0) {
        shape.aspect = Rational{sf.profile->sample_aspect_num, sf.profile->sample_aspect_den};
    }
    shape.scan = sf.scan;
    shape.width = sf.width;
    shape.height = sf.height;
    shape.fullWidth = sf.profile != nullptr && sf.profile->width > sf.width ? sf.profile->width : sf.width;
    shape.format = sf.format;
    return shape;
}

// The stored layout an image goes into: 4:2:2 or 4:4:4 with alpha, the
// height made even (an odd image's last line is repeated, so that both
// fields have it).
VideoFormat storedFormatOf(const RunShape& shape) {
    VideoFormat f;
    f.width = shape.width;
    f.height = shape.height + shape.height % 2;
    f.chroma = shape.format == mlt_image_yuv422 ? Chroma::C422 : Chroma::C444alpha;
    f.interlace = shape.scan;
    f.rate = shape.rate;
    f.aspect = shape.aspect;
    return f;
}

// An MLT image into a stored frame of `f` (frameBytes(f) bytes).
void storeImage(const uint8_t* image, mlt_image_format format, int height, const VideoFormat& f, uint8_t* out) {
    const size_t w = size_t(f.width), plane = w * size_t(f.height);
    for (int row = 0; row < f.height; ++row) {
        const int line = std::min(row, height - 1);
        if (format == mlt_image_yuv422) {
            uint8_t* cb = out + plane + size_t(row) * (w / 2);
            rows::unpackYuyv(image + size_t(line) * w * 2, out + size_t(row) * w, cb, cb + plane / 2, int(w / 2));
        } else {
            const size_t at = size_t(row) * w;
            rgbaToPlanes(image + size_t(line) * w * 4,
                         PlaneRow{out + at, out + plane + at, out + 2 * plane + at, out + 3 * plane + at}, f.width);
        }
    }
}

// A stored frame of `f` back into an MLT image of `height` lines (a
// repeated last line stays behind).
void loadImage(const uint8_t* stored, const VideoFormat& f, mlt_image_format format, int height, uint8_t* image) {
    const size_t w = size_t(f.width), plane = w * size_t(f.height);
    for (int row = 0; row < height; ++row) {
        if (format == mlt_image_yuv422) {
            const uint8_t* cb = stored + plane + size_t(row) * (w / 2);
            rows::packYuyv(stored + size_t(row) * w, cb, cb + plane / 2, image + size_t(row) * w * 2, int(w / 2));
        } else {
            const size_t at = size_t(row) * w;
            planesToRgba(ConstPlaneRow{stored + at, stored + plane + at, stored + 2 * plane + at, stored + 3 * plane + at},
                         image + size_t(row) * w * 4, f.width);
        }
    }
}

// The input frames of one frame of the run, kept for the renders that may
// lead in to a later one.
struct KeptFrame {
    int64_t position = -1;
    std::vector<Frame> inputs;
};

}  // namespace

class ServiceRun {
public:
    explicit ServiceRun(const LoadedService& service) {
        const RunSplit split = runSplitOf(*service.library);
        if (split != RunSplit::AnyField) {
            std::lock_guard<std::mutex> lock(operatorCallLock());
            privateCopy_ = OperatorLibrary::loadPrivateCopy(service.library->path());
        }
        op_ = privateCopy_ != nullptr ? privateCopy_.get() : service.library.get();
    }
    ~ServiceRun() { endRun(); }

    bool render(ServiceFrame& sf) {
        const RunShape shape = shapeOf(sf);
        if (run_ == nullptr || !(shape == shape_)) startAnew(shape);
        keep(sf);
        fetchLeadIn(sf);
        std::string why;
        {
            std::lock_guard<std::mutex> lock(operatorCallLock());
            InstalledHost installed(run_->host());
            run_->setSettings(settingsFor(sf.settings));
            for (InputFrame& input : current_) run_->prepareFields(input);
            why = run_->seek(sf.position, [&](int64_t frame) -> std::vector<InputFrame>& { return inputsOf(frame); });
            for (int place = 0; place < 2 && why.empty(); ++place) {
                why = run_->renderField(current_, sf.position, place, rendered_);
            }
            if (why.empty()) run_->packOutput(&stored_, rendered_);
        }
        if (!why.empty()) {
            endRun();  // the next frame starts a new run
            mlt_log_warning(sf.instance->mltService, "%s: %s; the frame passes through unchanged\n",
                            op_->name().c_str(), why.c_str());
            return false;
        }
        loadImage(rendered_.stored.data.data(), stored_, sf.format, sf.height, sf.image);
        return true;
    }

private:
    void startAnew(const RunShape& shape) {
        endRun();
        shape_ = shape;
        stored_ = storedFormatOf(shape);
        RunSetup setup;
        setup.op = op_;
        setup.frames = shape.frames;
        setup.scan = shape.scan;
        setup.rate = shape.rate;
        setup.aspect = shape.aspect;
        setup.sourceWidth = setup.outputWidth = stored_.width;
        setup.sourceHeight = setup.outputHeight = stored_.height;
        // A preview at reduced size: the operators scale their geometry.
        setup.scaled = shape.fullWidth > shape.width && shape.fullWidth <= 32767;
        setup.scaleNum = setup.scaled ? shape.width : 1;
        setup.scaleDen = setup.scaled ? shape.fullWidth : 1;
        run_ = std::make_unique<Run>(std::move(setup), nullptr, false);
        kept_.clear();
    }

    void endRun() {
        if (run_ == nullptr) return;
        std::lock_guard<std::mutex> lock(operatorCallLock());
        InstalledHost installed(run_->host());
        run_.reset();  // command 2, when it started
    }

    // The frame's images as stored frames, kept with the frames before it
    // (the few a seek may render again), and as the run's current inputs.
    void keep(const ServiceFrame& sf) {
        // Frames kept from at or after this one (a seek back) lead in to nothing.
        while (!kept_.empty() && kept_.back().position >= sf.position) kept_.pop_back();
        KeptFrame frame;
        if (kept_.size() > size_t(kLeadInFrames)) {  // the oldest one's buffers serve again
            frame = std::move(kept_.front());
            kept_.pop_front();
        }
        frame.position = sf.position;
        const uint8_t* images[2] = {sf.image, sf.incomingImage};
        frame.inputs.resize(sf.incomingImage != nullptr ? 2 : 1);
        for (size_t i = 0; i < frame.inputs.size(); ++i) {
            frame.inputs[i].data.resize(frameBytes(stored_));
            storeImage(images[i], sf.format, sf.height, stored_, frame.inputs[i].data.data());
        }
        kept_.push_back(std::move(frame));
        point(current_, kept_.back());
    }

    // A frame that does not follow the last one rendered: the frames before
    // it that a seek may render again, fetched from upstream when they are
    // not kept (before any operator is called: fetching runs other
    // services).
    void fetchLeadIn(const ServiceFrame& sf) {
        fetched_.clear();
        if (!sf.fetchEarlier || sf.position == run_->nextFrame() || runSplitOf(*op_) == RunSplit::AnyField) return;
        std::vector<uint8_t> image;
        for (int64_t p = std::max<int64_t>(0, sf.position - kLeadInFrames); p < sf.position; ++p) {
            bool kept = false;
            for (const KeptFrame& k : kept_) kept = kept || k.position == p;
            if (kept || !sf.fetchEarlier(p, image)) continue;
            KeptFrame frame;
            frame.position = p;
            frame.inputs.resize(1);
            frame.inputs[0].data.resize(frameBytes(stored_));
            storeImage(image.data(), sf.format, sf.height, stored_, frame.inputs[0].data.data());
            fetched_.push_back(std::move(frame));
        }
    }

    void point(std::vector<InputFrame>& inputs, const KeptFrame& frame) {
        inputs.resize(frame.inputs.size());
        for (size_t i = 0; i < inputs.size(); ++i) {
            inputs[i].fields[0].reset();
            inputs[i].fields[1].reset();
            inputs[i].storedFormat = &stored_;
            inputs[i].bytes = frame.inputs[i].data.data();
        }
    }

    // The inputs of frame `position` of the run: those kept or fetched for
    // it, or else (nothing upstream to fetch them from) the current frame's.
    std::vector<InputFrame>& inputsOf(int64_t position) {
        const KeptFrame* frame = &kept_.back();
        for (const std::deque<KeptFrame>* frames : {&kept_, &fetched_}) {
            for (const KeptFrame& k : *frames) {
                if (k.position == position) frame = &k;
            }
        }
        point(leadIn_, *frame);
        return leadIn_;
    }

    // The settings, for the library this instance renders with.
    std::vector<Setting> settingsFor(std::vector<Setting> settings) const {
        for (Setting& s : settings) {
            for (const Parameter& p : op_->parameters()) {
                if (p.number == s.parameter->number) s.parameter = &p;
            }
        }
        return settings;
    }

    std::unique_ptr<OperatorLibrary> privateCopy_;
    OperatorLibrary* op_ = nullptr;
    std::unique_ptr<Run> run_;
    RunShape shape_;
    VideoFormat stored_;
    std::deque<KeptFrame> kept_, fetched_;
    std::vector<InputFrame> current_, leadIn_;
    OutputFrame rendered_;
};

ServiceInstance::ServiceInstance() = default;
ServiceInstance::~ServiceInstance() = default;

bool renderServiceFrame(ServiceFrame& sf) {
    ServiceInstance& instance = *sf.instance;
    try {
        if (instance.run == nullptr) instance.run = std::make_unique<ServiceRun>(*instance.service);
        return instance.run->render(sf);
    } catch (const std::exception& e) {
        mlt_log_warning(instance.mltService, "%s; the frame passes through unchanged\n", e.what());
        return false;
    }
}

}  // namespace fieldfx::mlt
