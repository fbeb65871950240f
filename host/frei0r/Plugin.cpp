#include "Plugin.h"

#include <unistd.h>

#include <cmath>
#include <mutex>

#include "Catalogue.h"
#include "Error.h"
#include "Operator.h"
#include "Text.h"

namespace fieldfx::frei0r {

namespace {

// The operator library of the plug-in: in ../fieldfx (an install keeps
// operators in lib/fieldfx/ and the plug-ins in lib/frei0r-1/), or in the
// directory above it or its own (the build tree's lib/ and lib/frei0r-1/).
std::string findLibrary(const std::string& operatorName, std::string& tried) {
    const std::string dir = directoryOfThisLibrary(), file = "lib" + operatorName + ".so";
    for (const std::string& candidate : {dir + "/../fieldfx/" + file, dir + "/../" + file, dir + "/" + file}) {
        if (access(candidate.c_str(), R_OK) == 0) return candidate;
        tried += (tried.empty() ? "" : ", ") + candidate;
    }
    return "";
}

std::string sliderExplanation(const Parameter& p) {
    const SliderParam& s = *p.slider();
    const std::string lo = std::to_string(s.minimum), span = std::to_string(int64_t(s.maximum) - s.minimum);
    std::string text = catalogueText(p.label()) + ": whole numbers " + lo + ".." + std::to_string(s.maximum);
    if (catalogueHas(s.text2)) text += " (" + catalogueText(s.text2) + ")";
    return text + ", given as x = (v - " + lo + ") / " + span;
}

std::string choiceExplanation(const Parameter& p) {
    std::string text = catalogueText(p.label()) + ": ";
    for (size_t i = 0; i < p.entries.size(); ++i) text += (i ? ", '" : "'") + entryText(p, i) + "'";
    return text + " (or the entry's index)";
}

}  // namespace

Plugin::Plugin(std::string operatorName, bool transition)
    : operatorName_(std::move(operatorName)), pluginName_("fieldfx_" + lowerCase(operatorName_)),
      transition_(transition) {
    explanation_ = operatorDescription(operatorName_);
    if (explanation_.empty()) explanation_ = "the fieldfx operator " + operatorName_;
}

bool Plugin::load() {
    std::lock_guard<std::mutex> lock(operatorCallLock());
    if (tried_) return library_ != nullptr;
    tried_ = true;
    std::string tried;
    libraryPath_ = findLibrary(operatorName_, tried);
    if (libraryPath_.empty()) {
        problem_ = "cannot find lib" + operatorName_ + ".so (looked for " + tried + ")";
        return false;
    }
    try {
        library_ = OperatorLibrary::load(libraryPath_);
    } catch (const UserError& e) {
        problem_ = e.what();
        return false;
    }
    if (library_->isTransition() != transition_) {
        problem_ = libraryPath_ + " is not the " + (transition_ ? "transition" : "effect") +
                   " this plug-in wraps";
        library_.reset();
        return false;
    }
    // Whether a field depends on the ones before (Patina), from the host's
    // table; an operator it does not know counts as such.
    keepsState_ = runSplitOf(*library_) != RunSplit::AnyField;
    for (const Parameter& p : library_->parameters()) {
        PluginParam pp;
        pp.name = p.name;
        pp.parameter = &p;
        switch (p.kind()) {
        case PARAM_SLIDER:
            pp.type = F0R_PARAM_DOUBLE;
            pp.explanation = sliderExplanation(p);
            break;
        case PARAM_CHOICE:
            pp.type = F0R_PARAM_STRING;
            pp.explanation = choiceExplanation(p);
            break;
        case PARAM_COLOR:
            pp.type = F0R_PARAM_COLOR;
            pp.explanation = catalogueText(p.label());
            break;
        default:
            pp.type = F0R_PARAM_POSITION;
            pp.explanation = catalogueText(p.label()) + ": x and y as fractions of the frame's width and height";
            break;
        }
        params_.push_back(pp);
        initial_.push_back(readValue(p));
    }
    params_.push_back({"length", F0R_PARAM_DOUBLE, "the run's length in seconds (default 10)", nullptr,
                       RunParam::Length});
    params_.push_back({"frameRate", F0R_PARAM_DOUBLE, "frames a second (default 25)", nullptr, RunParam::FrameRate});
    params_.push_back({"fieldOrder", F0R_PARAM_STRING, "progressive, tff or bff (default progressive)", nullptr,
                       RunParam::FieldOrder});
    return true;
}

int64_t frameAt(double seconds, double frameRate, int64_t frames) {
    if (!std::isfinite(seconds) || seconds <= 0) return 0;
    const double frame = std::round(seconds * frameRate);
    return frame >= double(frames - 1) ? frames - 1 : int64_t(frame);
}

}  // namespace fieldfx::frei0r
