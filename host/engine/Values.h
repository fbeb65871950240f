// Parameter values from the command line: parsing and range checks against
// the descriptor, keyframes over the run, and writing a value into the
// descriptor before each field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Operator.h"
#include "Video.h"

namespace fieldfx {

struct ParamValue {
    int32_t number = 0;      // slider value, or choice index
    uint8_t color[4] = {0, 0, 0, 0};
    int16_t x = 0, y = 0;    // point
};

struct Keyframe {
    int64_t position = 0;  // in fields from the start of the run
    ParamValue value;
};

struct Setting {
    const Parameter* parameter = nullptr;
    std::vector<Keyframe> keys;  // one key for a constant value
};

// One value for `parameter`. Sliders take whole numbers within the
// descriptor's range; choices an index, an entry's text, or (for choices of
// numbers) an entry's number; colours #RRGGBB; points X,Y. Throws UserError
// naming the parameter and, for numbers, the range.
ParamValue parseValue(const Parameter& parameter, const std::string& text);

// "NAME=VALUE" or "NAME=V@POS,V@POS,..." with positions in fields or in
// seconds ("1.5s"). Throws UserError for unknown names and bad values.
Setting parseSetting(const OperatorLibrary& op, const std::string& text, const Rational& fieldRate);

// The value of a setting at a position: linear between keys for sliders,
// points and colours (rounded to nearest), stepped for choices.
ParamValue valueAt(const Setting& setting, int64_t position);

// Writes a value into the parameter's descriptor, and reads it back.
void writeValue(const Parameter& parameter, const ParamValue& value);
ParamValue readValue(const Parameter& parameter);

// The text of a choice's entry (its number, for choices of numbers), and
// the #RRGGBB colour that converts to a colour value's bytes (or lies
// nearest to them).
std::string entryText(const Parameter& parameter, size_t index);
void colorToRgb(const ParamValue& value, uint8_t rgb[3]);

// The value as a user writes it, e.g. "5", "Rows", "#00FFFF", "100,50".
std::string describeValue(const Parameter& parameter, const ParamValue& value);
std::string kindName(uint16_t kind);

}  // namespace fieldfx
