#include "Catalogue.h"

#include "Operator.h"

namespace fieldfx {

namespace {

std::vector<std::string> noDemoSettings(int64_t) { return {}; }

const std::vector<KnownOperator> kOperators = {
    {"Patina", false, true,
     "worn cinema film: low picture rate, grain, sepia tint, flicker, scratches, dirt and jumps",
     "confines its work to it: film, scratches and dirt inside, the rest of the field unchanged",
     {{PARAM_CHOICE, 810, "filmAge"}, {PARAM_SLIDER, 820, "tintAmount"}, {PARAM_SLIDER, 830, "contrastLevel"},
      {PARAM_SLIDER, 840, "filmCondition"}},
     {{810, "Film age"}, {811, "Very old"}, {812, "Old"}, {813, "Recent"},
      {820, "Tint"}, {821, "amount of sepia"},
      {830, "Contrast"}, {831, "contrast level"},
      {840, "Film condition"}, {841, "condition, 100 is pristine"}},
     noDemoSettings},
    {"Blur", false, false, "box blur along rows, columns or both, fading in or out over the run",
     "ignores it: the whole field is blurred",
     {{PARAM_SLIDER, 110, "blurSize"}, {PARAM_CHOICE, 120, "blurDirection"}, {PARAM_SLIDER, 130, "fadePercent"},
      {PARAM_CHOICE, 140, "fadeMode"}},
     {{110, "Blur size"}, {111, "size of the blur window"},
      {120, "Direction"}, {121, "Rows"}, {122, "Columns"}, {123, "Rows and columns"},
      {130, "Fade share"}, {131, "percent of the run"},
      {140, "Fade course"}, {141, "Fade in"}, {142, "Fade out"}, {143, "Fade in and out"}, {144, "Fade out and in"}},
     noDemoSettings},
    {"Rotate", true, false, "one picture spins about the centre while it shrinks away or grows in, with a fading trail",
     "samples the moving picture only inside it (its edges repeat outside); the motion fills the whole field",
     {{PARAM_SLIDER, 710, "turns"}, {PARAM_SLIDER, 720, "trailCount"}, {PARAM_CHOICE, 730, "rotateMode"}},
     {{710, "Turns"}, {711, "whole turns over the run"},
      {720, "Trail"}, {721, "fading copies"},
      {730, "Motion"}, {731, "Grow in"}, {732, "Shrink away"}},
     noDemoSettings},
    {"Rebound", true, false, "one picture swings about a corner like a hinged flap, rebounding as it swings in or out",
     "samples the moving picture only inside it (its edges repeat outside); the motion fills the whole field",
     {{PARAM_CHOICE, 210, "hingeCorner"}, {PARAM_CHOICE, 220, "reboundMode"}, {PARAM_SLIDER, 230, "reboundCount"}},
     // The hinge corner's entries are plain numbers.
     {{210, "Hinge corner"},
      {220, "Direction"}, {221, "Swing in"}, {222, "Swing out"},
      {230, "Rebounds"}, {231, "rebounds over the run"}},
     noDemoSettings},
    {"Glow", false, false, "brightens the picture by adding a blurred copy of its brightness",
     "ignores it: the whole field glows",
     {{PARAM_SLIDER, 410, "blurSize"}, {PARAM_CHOICE, 420, "glowGain"}, {PARAM_SLIDER, 430, "fadePercent"},
      {PARAM_CHOICE, 440, "fadeMode"}},
     {{410, "Glow size"}, {411, "size of the blur window"},
      {420, "Gain"}, {421, "Single"}, {422, "Double"},
      {430, "Fade share"}, {431, "percent of the run"},
      {440, "Fade course"}, {441, "Fade in"}, {442, "Fade out"}, {443, "Fade in and out"}, {444, "Fade out and in"}},
     noDemoSettings},
    {"Limelight", false, false, "a round spot of light; outside it the picture is darkened to half",
     "places the spot centre from its top-left corner; the whole field is lit or darkened",
     {{PARAM_SLIDER, 510, "spotSize"}, {PARAM_SLIDER, 520, "edgeSoftness"}, {PARAM_POINT, 530, "spotCenter"},
      {PARAM_SLIDER, 540, "fadePercent"}},
     {{510, "Spot size"}, {511, "percent of the field height"},
      {520, "Edge softness"}, {521, "percent of the spot radius"},
      {530, "Spot centre"},
      {540, "Fade share"}, {541, "percent of the run"}},
     // The spot travels across the demo clip's bright disc.
     [](int64_t fields) -> std::vector<std::string> {
         return {"spotCenter=140,144@0,580,144@" + std::to_string(fields - 1), "spotSize=35"};
     }},
    {"Underwater", false, false, "a travelling wave distortion along rows and columns",
     "confines its work to it: only the region waves, the rest of the field is unchanged",
     {{PARAM_SLIDER, 610, "waveCount"}, {PARAM_SLIDER, 620, "waveAmplitude"}, {PARAM_SLIDER, 630, "waveSpeed"},
      {PARAM_SLIDER, 640, "fadePercent"}},
     {{610, "Waves"}, {611, "waves across the picture"},
      {620, "Wave height"}, {621, "pixels of displacement"},
      {630, "Wave speed"}, {631, "quarter pixels per field"},
      {640, "Fade share"}, {641, "percent of the run"}},
     noDemoSettings},
    {"Dye", false, false, "pulls the colour of every pixel toward one colour while keeping its brightness",
     "ignores it: the whole field is tinted",
     {{PARAM_COLOR, 310, "tintColor"}, {PARAM_SLIDER, 320, "fadePercent"}},
     {{310, "Tint colour"},
      {320, "Fade share"}, {321, "percent of the run"}},
     [](int64_t) -> std::vector<std::string> { return {"tintColor=#FF8000"}; }},
};

bool matches(const KnownOperator& known, const OperatorLibrary& op) {
    const std::vector<Parameter>& parameters = op.parameters();
    if (known.transition != op.isTransition() || known.parameters.size() != parameters.size()) return false;
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].kind() != known.parameters[i].kind || parameters[i].label() != known.parameters[i].label) {
            return false;
        }
    }
    return true;
}

}  // namespace

const std::vector<KnownOperator>& knownOperators() { return kOperators; }

const KnownOperator* knownOperator(const OperatorLibrary& op) {
    for (const KnownOperator& known : kOperators) {
        if (matches(known, op)) return &known;
    }
    return nullptr;
}

bool catalogueHas(uint32_t id) {
    for (const KnownOperator& known : kOperators) {
        for (const CatalogueText& t : known.texts) {
            if (t.id == id) return true;
        }
    }
    return false;
}

std::string catalogueText(uint32_t id) {
    for (const KnownOperator& known : kOperators) {
        for (const CatalogueText& t : known.texts) {
            if (t.id == id) return t.text;
        }
    }
    return "text " + std::to_string(id);
}

std::string parameterName(uint32_t labelId) {
    for (const KnownOperator& known : kOperators) {
        for (const KnownParameter& p : known.parameters) {
            if (p.label == labelId) return p.name;
        }
    }
    return "";
}

std::string operatorDescription(const OperatorLibrary& op) {
    const KnownOperator* known = knownOperator(op);
    return known != nullptr ? known->description : "";
}

std::string operatorDescription(const std::string& name) {
    for (const KnownOperator& known : kOperators) {
        if (name == known.name) return known.description;
    }
    return "";
}

std::vector<std::string> demoSettings(const OperatorLibrary& op, int64_t fields) {
    const KnownOperator* known = knownOperator(op);
    return known != nullptr ? known->demoSettings(fields) : std::vector<std::string>{};
}

std::string operatorRegionUse(const std::string& name) {
    for (const KnownOperator& known : kOperators) {
        if (name == known.name) return known.region;
    }
    return "";
}

}  // namespace fieldfx
