// A frei0r plug-in around one operator library: the library found beside
// the plug-in and loaded on first use, the plug-in's parameters (the
// operator's own, then length, frameRate and fieldOrder) and its instances.
// What is the plug-in's own is here: converting the host's RGBA frames and
// its parameters; each instance renders through the run engine (Run.h).
//
// The operator keeps its settings and run state in library statics and the
// host services reach one process-wide backend, so every call into an
// operator happens under operatorCallLock(), with the instance's settings
// written into the descriptors and the instance's backend installed. An
// operator whose fields depend on the ones before (Patina) gets a private
// copy of its library per instance, so that each instance has a run of its
// own.
#pragma once

// The header declares the entry points without C linkage.
extern "C" {
#include <frei0r.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Operator.h"
#include "Run.h"
#include "Values.h"
#include "Video.h"

namespace fieldfx::frei0r {

enum class RunParam { None, Length, FrameRate, FieldOrder };

struct PluginParam {
    std::string name;
    int type = F0R_PARAM_DOUBLE;
    std::string explanation;
    const Parameter* parameter = nullptr;  // the operator's; nullptr for a run parameter
    RunParam run = RunParam::None;
};

class Plugin {
public:
    // `operatorName` as in its library's file name ("Blur" for libBlur.so).
    Plugin(std::string operatorName, bool transition);

    // Finds and loads the operator library once; false (and why in
    // problem()) when it cannot. Safe to call from any thread.
    bool load();
    const std::string& problem() const { return problem_; }

    const std::string& pluginName() const { return pluginName_; }  // "fieldfx_blur"
    const std::string& explanation() const { return explanation_; }
    bool transition() const { return transition_; }
    const std::vector<PluginParam>& params() const { return params_; }
    // The operator parameters' initial values, read before any instance
    // wrote into the descriptors.
    const std::vector<ParamValue>& initialValues() const { return initial_; }
    OperatorLibrary& library() { return *library_; }
    const std::string& libraryPath() const { return libraryPath_; }
    // True when a field depends on the fields rendered before it.
    bool keepsState() const { return keepsState_; }

private:
    std::string operatorName_, pluginName_, explanation_, problem_, libraryPath_;
    bool transition_ = false, tried_ = false, keepsState_ = false;
    std::unique_ptr<OperatorLibrary> library_;
    std::vector<PluginParam> params_;
    std::vector<ParamValue> initial_;
};

// Where the run parameters and the frame at a time put a field.
struct RunShape {
    int64_t frames = 1;     // round(length * frameRate), at least 1
    Rational rate{25, 1};
    Interlace order = Interlace::Progressive;
    int width = 0, height = 0;  // of the pictures the fields come from
    bool operator==(const RunShape& o) const {
        return frames == o.frames && rate.num == o.rate.num && rate.den == o.rate.den && order == o.order &&
               width == o.width && height == o.height;
    }
};

// The frame at `seconds`: round(seconds * rate) within 0..frames-1.
int64_t frameAt(double seconds, double frameRate, int64_t frames);

// One instance a host makes of the plug-in: its parameters as the host set
// them, and its run. Every field a host can set or read, and every call
// into the operator, is taken under operatorCallLock(), so hosts may call
// from any thread.
class Instance {
public:
    // Throws UserError when the instance cannot be made (no operator, no
    // private library copy).
    Instance(Plugin& plugin, int width, int height);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // Values out of range are held to the range; values that mean nothing
    // (NaN, an unknown entry, a bad index) are ignored.
    void setParam(int index, const void* value);
    void getParam(int index, void* value);

    // One frame: `second` is the incoming picture of a transition (nullptr
    // for an effect); `seconds` NaN for the frame after the last one (a host
    // that gave no time). Frames the operator fails on come out unchanged.
    void update(double seconds, const uint32_t* first, const uint32_t* second, uint32_t* out);

private:
    struct Slot {
        double number = 0;  // a slider normalised, length, frameRate
        f0r_param_color_t color{0, 0, 0};
        f0r_param_position_t position{0, 0};
        std::string text;          // a choice's entry, fieldOrder
        ParamValue value;          // what is written into the descriptor
    };
    RunShape shapeNow() const;
    std::vector<Setting> settingsNow() const;
    bool render(double seconds, uint32_t* out);

    Plugin& plugin_;
    int width_, height_;
    OperatorLibrary* op_ = nullptr;
    std::unique_ptr<OperatorLibrary> privateCopy_;
    std::vector<Slot> slots_;
    double length_ = 10, frameRate_ = 25;
    Interlace order_ = Interlace::Progressive;
    std::string orderText_ = "progressive";
    std::unique_ptr<Run> run_;  // the run of the shape below, once a frame asked for one
    RunShape shape_;
    int64_t nextFrame_ = 0;
    // The fields of the host's frames, by input, made anew in the same
    // images every frame; and what the run renders from them.
    ImagePtr fields_[2][2];
    std::vector<InputFrame> inputs_;
    OutputFrame rendered_;
};

}  // namespace fieldfx::frei0r
