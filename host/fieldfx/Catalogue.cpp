#include "Catalogue.h"

#include <cstring>

namespace fieldfx {

namespace {

struct Text {
    uint32_t id;
    const char* text;
};

// Labels end in "0"; a slider's second text (label + 1) says what its number
// counts; choice entries follow their label in list order.
const Text kTexts[] = {
    // Blur
    {110, "Blur size"}, {111, "size of the blur window"},
    {120, "Direction"}, {121, "Rows"}, {122, "Columns"}, {123, "Rows and columns"},
    {130, "Fade share"}, {131, "percent of the run"},
    {140, "Fade course"}, {141, "Fade in"}, {142, "Fade out"}, {143, "Fade in and out"}, {144, "Fade out and in"},
    // Rebound (its corner entries are plain numbers)
    {210, "Hinge corner"},
    {220, "Direction"}, {221, "Swing in"}, {222, "Swing out"},
    {230, "Rebounds"}, {231, "rebounds over the run"},
    // Dye
    {310, "Tint colour"},
    {320, "Fade share"}, {321, "percent of the run"},
    // Glow
    {410, "Glow size"}, {411, "size of the blur window"},
    {420, "Gain"}, {421, "Single"}, {422, "Double"},
    {430, "Fade share"}, {431, "percent of the run"},
    {440, "Fade course"}, {441, "Fade in"}, {442, "Fade out"}, {443, "Fade in and out"}, {444, "Fade out and in"},
    // Limelight
    {510, "Spot size"}, {511, "percent of the field height"},
    {520, "Edge softness"}, {521, "percent of the spot radius"},
    {530, "Spot centre"},
    {540, "Fade share"}, {541, "percent of the run"},
    // Underwater
    {610, "Waves"}, {611, "waves across the picture"},
    {620, "Wave height"}, {621, "pixels of displacement"},
    {630, "Wave speed"}, {631, "quarter pixels per field"},
    {640, "Fade share"}, {641, "percent of the run"},
    // Rotate
    {710, "Turns"}, {711, "whole turns over the run"},
    {720, "Trail"}, {721, "fading copies"},
    {730, "Motion"}, {731, "Grow in"}, {732, "Shrink away"},
    // Patina
    {810, "Film age"}, {811, "Very old"}, {812, "Old"}, {813, "Recent"},
    {820, "Tint"}, {821, "amount of sepia"},
    {830, "Contrast"}, {831, "contrast level"},
    {840, "Film condition"}, {841, "condition, 100 is pristine"},
};

struct Name {
    uint32_t labelId;
    const char* name;
};

const Name kParameterNames[] = {
    {110, "blurSize"}, {120, "blurDirection"}, {130, "fadePercent"}, {140, "fadeMode"},
    {210, "hingeCorner"}, {220, "reboundMode"}, {230, "reboundCount"},
    {310, "tintColor"}, {320, "fadePercent"},
    {410, "blurSize"}, {420, "glowGain"}, {430, "fadePercent"}, {440, "fadeMode"},
    {510, "spotSize"}, {520, "edgeSoftness"}, {530, "spotCenter"}, {540, "fadePercent"},
    {610, "waveCount"}, {620, "waveAmplitude"}, {630, "waveSpeed"}, {640, "fadePercent"},
    {710, "turns"}, {720, "trailCount"}, {730, "rotateMode"},
    {810, "filmAge"}, {820, "tintAmount"}, {830, "contrastLevel"}, {840, "filmCondition"},
};

struct Description {
    const char* name;
    const char* text;
};

const Description kDescriptions[] = {
    {"Patina", "worn cinema film: low picture rate, grain, sepia tint, flicker, scratches, dirt and jumps"},
    {"Blur", "box blur along rows, columns or both, fading in or out over the run"},
    {"Rotate", "one picture spins about the centre while it shrinks away or grows in, with a fading trail"},
    {"Rebound", "one picture swings about a corner like a hinged flap, rebounding as it swings in or out"},
    {"Glow", "brightens the picture by adding a blurred copy of its brightness"},
    {"Limelight", "a round spot of light; outside it the picture is darkened to half"},
    {"Underwater", "a travelling wave distortion along rows and columns"},
    {"Dye", "pulls the colour of every pixel toward one colour while keeping its brightness"},
};

}  // namespace

std::string catalogueText(uint32_t id) {
    for (const Text& t : kTexts) {
        if (t.id == id) return t.text;
    }
    return "text " + std::to_string(id);
}

std::string parameterName(uint32_t labelId) {
    for (const Name& n : kParameterNames) {
        if (n.labelId == labelId) return n.name;
    }
    return "";
}

std::string operatorDescription(const std::string& name) {
    for (const Description& d : kDescriptions) {
        if (name == d.name) return d.text;
    }
    return "";
}

}  // namespace fieldfx
