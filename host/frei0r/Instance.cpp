#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Error.h"
#include "Text.h"
#include "Plugin.h"
#include "Rgba.h"
#include "RunPositions.h"

namespace fieldfx::frei0r {

namespace {

// At most this many frames in a run, so that every field position fits
// the request's 32 bits.
constexpr int64_t kMaxFrames = int64_t(1) << 30;
constexpr size_t kMaxText = 4096;

// A NUL-terminated text at `s` whose every byte can be read, or false.
bool readText(const char* s, std::string& text) {
    text.clear();
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096);
    for (size_t i = 0; i < kMaxText; ++i) {
        const char* at = s + i;
        if ((i == 0 || uintptr_t(at) % page == 0) && !readableMemory(at, 1)) return false;
        if (*at == '\0') return true;
        text += *at;
    }
    return false;
}

// A string parameter: frei0r passes the address of a char* (f0r_param_string
// *); GStreamer's frei0r elements pass the char* itself when a property of a
// running element changes. The text is taken from whichever of the two
// points at readable text.
std::string hostString(const void* param) {
    std::string text;
    if (readableMemory(param, sizeof(char*))) {
        // Text read as an address lies far above user space (its bytes are
        // not zero at the top) and is not even looked at.
        const char* pointed = *static_cast<const char* const*>(param);
        const uintptr_t address = reinterpret_cast<uintptr_t>(pointed);
        const bool plausible = address >= 4096 && uint64_t(address) >> 47 == 0;
        if (plausible && readText(pointed, text)) return text;
    }
    return readText(static_cast<const char*>(param), text) ? text : std::string("\x01");
}

bool parseOrder(const std::string& text, Interlace& order, std::string& canonical) {
    static const char* const kNames[] = {"progressive", "tff", "bff"};
    static const Interlace kOrders[] = {Interlace::Progressive, Interlace::TopFirst, Interlace::BottomFirst};
    for (int i = 0; i < 3; ++i) {
        if (lowerCase(text) == kNames[i] || text == std::to_string(i)) {
            order = kOrders[i];
            canonical = kNames[i];
            return true;
        }
    }
    return false;
}

// The same value through the host's parser; false when it refuses it.
bool parsed(const Parameter& p, const std::string& text, ParamValue& value) {
    try {
        value = parseValue(p, text);
        return true;
    } catch (const UserError&) {
        return false;
    }
}

}  // namespace

Instance::Instance(Plugin& plugin, int width, int height) : plugin_(plugin), width_(width), height_(height) {
    if (!plugin_.load()) throw UserError(plugin_.pluginName(), plugin_.problem());
    if (width <= 0 || height <= 0 || width > 32767 || height > 65534) {
        throw UserError(plugin_.pluginName(), "frames of " + std::to_string(width) + "x" + std::to_string(height) +
                                                  " are not supported (at most 32767x65534)");
    }
    {
        std::lock_guard<std::mutex> lock(operatorCallLock());
        if (plugin_.keepsState()) privateCopy_ = OperatorLibrary::loadPrivateCopy(plugin_.libraryPath());
    }
    op_ = privateCopy_ != nullptr ? privateCopy_.get() : &plugin_.library();
    const int fieldRows = (height_ + 1) / 2;
    for (size_t i = 0; i < plugin_.params().size(); ++i) {
        const PluginParam& pp = plugin_.params()[i];
        Slot slot;
        if (pp.parameter != nullptr) {
            const Parameter& p = *pp.parameter;
            slot.value = plugin_.initialValues()[i];
            if (p.kind() == PARAM_SLIDER) {
                const SliderParam& s = *p.slider();
                slot.number = s.maximum > s.minimum ? double(slot.value.number - s.minimum) / (double(s.maximum) - s.minimum) : 0;
            } else if (p.kind() == PARAM_CHOICE) {
                if (slot.value.number >= 0 && size_t(slot.value.number) < p.entries.size()) {
                    slot.text = entryText(p, size_t(slot.value.number));
                }
            } else if (p.kind() == PARAM_COLOR) {
                uint8_t rgb[3];
                colorToRgb(slot.value, rgb);
                slot.color = {rgb[0] / 255.0f, rgb[1] / 255.0f, rgb[2] / 255.0f};
            } else {
                slot.position = {double(slot.value.x) / width_, double(slot.value.y) / fieldRows};
            }
        }
        slots_.push_back(slot);
    }
}

Instance::~Instance() {
    std::lock_guard<std::mutex> lock(operatorCallLock());
    if (run_ == nullptr) return;
    InstalledHost installed(run_->host());
    run_.reset();  // command 2, when the run started
}

void Instance::setParam(int index, const void* value) {
    if (value == nullptr || index < 0 || size_t(index) >= slots_.size()) return;
    // The host's parser starts from the descriptor, which renders on other
    // threads write into.
    std::lock_guard<std::mutex> lock(operatorCallLock());
    const PluginParam& pp = plugin_.params()[size_t(index)];
    Slot& slot = slots_[size_t(index)];
    if (pp.run == RunParam::FieldOrder) {
        parseOrder(hostString(value), order_, orderText_);
        return;
    }
    if (pp.run != RunParam::None) {
        const double number = *static_cast<const double*>(value);
        if (pp.run == RunParam::Length && std::isfinite(number) && number > 0) length_ = std::min(number, 1e7);
        if (pp.run == RunParam::FrameRate && std::isfinite(number) && number > 0) frameRate_ = std::min(number, 1000.0);
        return;
    }
    const Parameter& p = *pp.parameter;
    switch (p.kind()) {
    case PARAM_SLIDER: {
        const double x = *static_cast<const double*>(value);
        if (std::isnan(x)) return;
        const SliderParam& s = *p.slider();
        const double held = std::clamp(x, 0.0, 1.0);
        const int64_t v = s.minimum + std::llround(held * (double(s.maximum) - s.minimum));
        if (parsed(p, std::to_string(v), slot.value)) {
            slot.number = s.maximum > s.minimum ? double(v - s.minimum) / (double(s.maximum) - s.minimum) : 0;
        }
        break;
    }
    case PARAM_CHOICE:
        if (parsed(p, hostString(value), slot.value)) slot.text = entryText(p, size_t(slot.value.number));
        break;
    case PARAM_COLOR: {
        const f0r_param_color_t c = *static_cast<const f0r_param_color_t*>(value);
        if (std::isnan(c.r) || std::isnan(c.g) || std::isnan(c.b)) return;
        const float channels[3] = {c.r, c.g, c.b};
        int rgb[3];
        for (int i = 0; i < 3; ++i) rgb[i] = int(std::lround(std::clamp(channels[i], 0.0f, 1.0f) * 255.0f));
        char text[8];
        std::snprintf(text, sizeof text, "#%02X%02X%02X", rgb[0], rgb[1], rgb[2]);
        if (parsed(p, text, slot.value)) slot.color = {rgb[0] / 255.0f, rgb[1] / 255.0f, rgb[2] / 255.0f};
        break;
    }
    default: {
        const f0r_param_position_t at = *static_cast<const f0r_param_position_t*>(value);
        if (std::isnan(at.x) || std::isnan(at.y)) return;
        const f0r_param_position_t held{std::clamp(at.x, 0.0, 1.0), std::clamp(at.y, 0.0, 1.0)};
        const std::string text = std::to_string(std::llround(held.x * width_)) + "," +
                                 std::to_string(std::llround(held.y * ((height_ + 1) / 2)));
        if (parsed(p, text, slot.value)) slot.position = held;
        break;
    }
    }
}

void Instance::getParam(int index, void* value) {
    if (value == nullptr || index < 0 || size_t(index) >= slots_.size()) return;
    std::lock_guard<std::mutex> lock(operatorCallLock());
    const PluginParam& pp = plugin_.params()[size_t(index)];
    const Slot& slot = slots_[size_t(index)];
    switch (pp.run) {
    case RunParam::Length: *static_cast<double*>(value) = length_; return;
    case RunParam::FrameRate: *static_cast<double*>(value) = frameRate_; return;
    case RunParam::FieldOrder: *static_cast<const char**>(value) = orderText_.c_str(); return;
    case RunParam::None: break;
    }
    switch (pp.type) {
    case F0R_PARAM_DOUBLE: *static_cast<double*>(value) = slot.number; break;
    case F0R_PARAM_STRING: *static_cast<const char**>(value) = slot.text.c_str(); break;
    case F0R_PARAM_COLOR: *static_cast<f0r_param_color_t*>(value) = slot.color; break;
    default: *static_cast<f0r_param_position_t*>(value) = slot.position; break;
    }
}

RunShape Instance::shapeNow() const {
    RunShape shape;
    shape.frames = std::clamp<int64_t>(std::llround(length_ * frameRate_), 1, kMaxFrames);
    shape.rate = rateFromNumber(frameRate_);
    shape.order = order_;
    shape.width = width_;
    shape.height = height_ + (height_ % 2);
    return shape;
}

std::vector<Setting> Instance::settingsNow() const {
    std::vector<Setting> settings;
    for (size_t i = 0; i < op_->parameters().size() && i < slots_.size(); ++i) {
        settings.push_back(Setting{&op_->parameters()[i], {Keyframe{0, slots_[i].value}}});
    }
    return settings;
}

// The frame at `seconds` through the run from the fields in inputs_, into
// `out`; false when the operator failed. The caller holds operatorCallLock().
bool Instance::render(double seconds, uint32_t* out) {
    const RunShape shape = shapeNow();
    const int64_t frame = std::isnan(seconds) ? std::clamp<int64_t>(nextFrame_, 0, shape.frames - 1)
                                              : frameAt(seconds, frameRate_, shape.frames);
    if (run_ == nullptr || !(shape == shape_)) {
        if (run_ != nullptr) {
            InstalledHost installed(run_->host());
            run_.reset();
        }
        RunSetup setup;
        setup.op = op_;
        setup.frames = shape.frames;
        setup.scan = shape.order;
        setup.rate = shape.rate;
        setup.aspect = Rational{1, 1};  // square pixels, as fieldfx gives RGB sources
        setup.sourceWidth = setup.outputWidth = shape.width;
        setup.sourceHeight = setup.outputHeight = shape.height;
        run_ = std::make_unique<Run>(std::move(setup), nullptr, false);
        shape_ = shape;
    }
    InstalledHost installed(run_->host());
    run_->setSettings(settingsNow());
    nextFrame_ = frame + 1;
    for (InputFrame& input : inputs_) run_->prepareFields(input);
    // Earlier frames of the run are not at hand: a seek that renders the
    // calls before the frame renders them from this frame.
    std::string why = run_->seek(frame, [&](int64_t) -> std::vector<InputFrame>& { return inputs_; });
    for (int place = 0; place < 2 && why.empty(); ++place) why = run_->renderField(inputs_, frame, place, rendered_);
    if (!why.empty()) {
        run_.reset();  // the next frame starts a new run
        return false;
    }
    const FieldImage* fields[2] = {rendered_.fields[0].get(), rendered_.fields[1].get()};
    auto fits = [&](const FieldImage* f) { return f->width == width_ && f->height == (height_ + 1) / 2; };
    if (fits(fields[0]) && fits(fields[1])) {
        fieldsToRgba(fields, width_, height_, reinterpret_cast<uint8_t*>(out));
    } else {
        // Fields of another size than the frame's: woven as far as they reach.
        run_->packOutput(nullptr, rendered_);
        rendered_.picture.height = height_;  // a repeated line stays behind
        rgbaFromPicture(rendered_.picture, reinterpret_cast<uint8_t*>(out));
    }
    rendered_.fields[0].reset();
    rendered_.fields[1].reset();
    return true;
}

void Instance::update(double seconds, const uint32_t* first, const uint32_t* second, uint32_t* out) {
    if (first == nullptr || out == nullptr) return;
    const uint32_t* frames[2] = {first, second != nullptr ? second : first};
    const size_t inputs = plugin_.transition() ? 2 : 1;
    std::lock_guard<std::mutex> lock(operatorCallLock());
    inputs_.resize(inputs);
    for (size_t i = 0; i < inputs; ++i) {
        for (ImagePtr& field : fields_[i]) {
            if (field == nullptr) field.reset(newFieldImage(width_, (height_ + 1) / 2, false));
            if (field == nullptr) throw std::bad_alloc();
        }
        FieldImage* const fields[2] = {fields_[i][0].get(), fields_[i][1].get()};
        rgbaToFields(reinterpret_cast<const uint8_t*>(frames[i]), width_, height_, fields);
        inputs_[i].given[0] = fields[0];
        inputs_[i].given[1] = fields[1];
    }
    if (!render(seconds, out)) std::memcpy(out, first, size_t(width_) * size_t(height_) * 4);
}

}  // namespace fieldfx::frei0r
