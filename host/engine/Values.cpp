#include "Values.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Catalogue.h"
#include "Error.h"
#include "Text.h"

namespace fieldfx {

namespace {

bool parseInteger(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 12) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    value = v;
    return true;
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

std::string entryList(const Parameter& p) {
    std::string list;
    for (size_t i = 0; i < p.entries.size(); ++i) {
        if (!list.empty()) list += ", ";
        if (p.style() == CHOICE_STYLE_NUMBERS) list += std::to_string(p.entries[i]);
        else list += std::to_string(i) + " '" + entryText(p, i) + "'";
    }
    return list;
}

int64_t parsePosition(const Parameter& p, const std::string& text, const Rational& fieldRate) {
    if (!text.empty() && (text.back() == 's' || text.back() == 'S')) {
        const std::string number = text.substr(0, text.size() - 1);
        char* end = nullptr;
        const double seconds = std::strtod(number.c_str(), &end);
        if (number.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 1e7) {
            throw UserError(p.name, "bad keyframe position '" + text + "' (fields, or seconds like 1.5s)");
        }
        return std::llround(seconds * double(fieldRate.num) / double(fieldRate.den));
    }
    int64_t fields = 0;
    if (!parseInteger(text, fields) || fields < 0) {
        throw UserError(p.name, "bad keyframe position '" + text + "' (fields, or seconds like 1.5s)");
    }
    return fields;
}

// The RGB colour that converts back to exactly these bytes, where one lies
// next to the rounded inverse; otherwise the rounded inverse itself.
void nearestRgb(uint8_t y, uint8_t cb, uint8_t cr, uint8_t rgb[3]) {
    yCbCrToRgb(y, cb, cr, rgb);
    for (int dr = -1; dr <= 1; ++dr) {
        for (int dg = -1; dg <= 1; ++dg) {
            for (int db = -1; db <= 1; ++db) {
                const int r = rgb[0] + dr, g = rgb[1] + dg, b = rgb[2] + db;
                if (r < 0 || g < 0 || b < 0 || r > 255 || g > 255 || b > 255) continue;
                const YCbCr c = rgbToYCbCr(r, g, b);
                if (c.y == y && c.cb == cb && c.cr == cr) {
                    rgb[0] = uint8_t(r);
                    rgb[1] = uint8_t(g);
                    rgb[2] = uint8_t(b);
                    return;
                }
            }
        }
    }
}

int32_t lerp(int64_t a, int64_t b, int64_t num, int64_t den) {
    return static_cast<int32_t>(std::llround(double(a) + double(b - a) * double(num) / double(den)));
}

}  // namespace

std::string entryText(const Parameter& p, size_t index) {
    return p.style() == CHOICE_STYLE_NUMBERS ? std::to_string(p.entries[index]) : catalogueText(p.entries[index]);
}

void colorToRgb(const ParamValue& v, uint8_t rgb[3]) {
    nearestRgb(v.color[PIXEL_LUMA], v.color[PIXEL_CHROMA2], v.color[PIXEL_CHROMA1], rgb);
}

std::string kindName(uint16_t kind) {
    switch (kind) {
    case PARAM_CHOICE: return "choice";
    case PARAM_COLOR:  return "colour";
    case PARAM_SLIDER: return "slider";
    case PARAM_POINT:  return "point";
    default:           return "unknown";
    }
}

ParamValue parseValue(const Parameter& p, const std::string& raw) {
    const std::string text = trim(raw);
    ParamValue v = readValue(p);
    switch (p.kind()) {
    case PARAM_SLIDER: {
        const int32_t lo = p.slider()->minimum, hi = p.slider()->maximum;
        int64_t n = 0;
        if (!parseInteger(text, n)) {
            throw UserError(p.name, "'" + text + "' is not a whole number (range " + std::to_string(lo) + ".." +
                                        std::to_string(hi) + ")");
        }
        if (n < lo || n > hi) {
            throw UserError(p.name, text + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
        }
        v.number = static_cast<int32_t>(n);
        return v;
    }
    case PARAM_CHOICE: {
        int64_t n = 0;
        const bool isNumber = parseInteger(text, n);
        for (size_t i = 0; i < p.entries.size(); ++i) {
            const bool match = p.style() == CHOICE_STYLE_NUMBERS ? isNumber && n == int64_t(p.entries[i])
                                                                 : lowerCase(entryText(p, i)) == lowerCase(text);
            if (match) {
                v.number = static_cast<int32_t>(i);
                return v;
            }
        }
        if (p.style() != CHOICE_STYLE_NUMBERS && isNumber) {
            if (n < 0 || n >= int64_t(p.entries.size())) {
                throw UserError(p.name, text + " is out of range 0.." + std::to_string(p.entries.size() - 1) +
                                            " (entries: " + entryList(p) + ")");
            }
            v.number = static_cast<int32_t>(n);
            return v;
        }
        throw UserError(p.name, "'" + text + "' is not one of its entries (" + entryList(p) + ")");
    }
    case PARAM_COLOR: {
        unsigned r = 0, g = 0, b = 0;
        int used = 0;
        if (text.size() != 7 || text[0] != '#' ||
            std::sscanf(text.c_str() + 1, "%2x%2x%2x%n", &r, &g, &b, &used) != 3 || used != 6) {
            throw UserError(p.name, "'" + text + "' is not a colour (write #RRGGBB, for example #00FFFF)");
        }
        const YCbCr c = rgbToYCbCr(int(r), int(g), int(b));
        v.color[PIXEL_KEY] = 255;
        v.color[PIXEL_CR] = c.cr;
        v.color[PIXEL_CB] = c.cb;
        v.color[PIXEL_LUMA] = c.y;
        return v;
    }
    case PARAM_POINT: {
        const size_t comma = text.find(',');
        int64_t x = 0, y = 0;
        if (comma == std::string::npos || !parseInteger(trim(text.substr(0, comma)), x) ||
            !parseInteger(trim(text.substr(comma + 1)), y)) {
            throw UserError(p.name, "'" + text + "' is not a point (write X,Y, for example 100,50)");
        }
        if (x < -32768 || x > 32767 || y < -32768 || y > 32767) {
            throw UserError(p.name, text + " is out of range -32768..32767 for each coordinate");
        }
        v.x = static_cast<int16_t>(x);
        v.y = static_cast<int16_t>(y);
        return v;
    }
    default:
        throw UserError(p.name, "parameter of unknown kind");
    }
}

Setting parseSetting(const OperatorLibrary& op, const std::string& text, const Rational& fieldRate) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) throw UserError(text, "a setting is NAME=VALUE");
    const std::string name = trim(text.substr(0, eq));
    const std::string value = text.substr(eq + 1);
    Setting s;
    s.parameter = op.find(name);
    if (s.parameter == nullptr) {
        std::string names;
        for (const Parameter& p : op.parameters()) names += (names.empty() ? "" : ", ") + p.name;
        throw UserError(name, op.name() + " has no such parameter (it has: " + names + ")");
    }
    if (value.find('@') == std::string::npos) {
        s.keys.push_back(Keyframe{0, parseValue(*s.parameter, value)});
        return s;
    }
    // Keys are separated by the comma that follows a key's "@POS"; a point's
    // own comma stays inside its value.
    std::string current;
    size_t start = 0;
    while (start <= value.size()) {
        const size_t comma = std::min(value.find(',', start), value.size());
        const std::string token = value.substr(start, comma - start);
        current += (current.empty() ? "" : ",") + token;
        const size_t at = current.find('@');
        if (at != std::string::npos) {
            Keyframe key{parsePosition(*s.parameter, trim(current.substr(at + 1)), fieldRate),
                         parseValue(*s.parameter, current.substr(0, at))};
            if (!s.keys.empty() && key.position <= s.keys.back().position) {
                throw UserError(s.parameter->name, "keyframe positions must rise (" +
                                                       std::to_string(key.position) + " after " +
                                                       std::to_string(s.keys.back().position) + ")");
            }
            s.keys.push_back(key);
            current.clear();
        }
        start = comma + 1;
    }
    if (!current.empty()) throw UserError(s.parameter->name, "keyframe '" + current + "' has no @POSITION");
    return s;
}

ParamValue valueAt(const Setting& s, int64_t position) {
    if (position <= s.keys.front().position) return s.keys.front().value;
    if (position >= s.keys.back().position) return s.keys.back().value;
    size_t i = 1;
    while (s.keys[i].position <= position) ++i;
    const Keyframe& a = s.keys[i - 1];
    const Keyframe& b = s.keys[i];
    if (s.parameter->kind() == PARAM_CHOICE) return a.value;
    const int64_t num = position - a.position, den = b.position - a.position;
    ParamValue v = a.value;
    v.number = lerp(a.value.number, b.value.number, num, den);
    v.x = static_cast<int16_t>(lerp(a.value.x, b.value.x, num, den));
    v.y = static_cast<int16_t>(lerp(a.value.y, b.value.y, num, den));
    for (int c = 0; c < 4; ++c) v.color[c] = static_cast<uint8_t>(lerp(a.value.color[c], b.value.color[c], num, den));
    return v;
}

void writeValue(const Parameter& p, const ParamValue& v) {
    switch (p.kind()) {
    case PARAM_SLIDER: p.slider()->value = v.number; break;
    case PARAM_CHOICE: p.choice()->value = v.number; break;
    case PARAM_COLOR:
        for (int c = 0; c < 4; ++c) p.color()->color[c] = v.color[c];
        break;
    case PARAM_POINT:
        p.point()->pairs[2].x = v.x;
        p.point()->pairs[2].y = v.y;
        break;
    default: break;
    }
}

ParamValue readValue(const Parameter& p) {
    ParamValue v;
    switch (p.kind()) {
    case PARAM_SLIDER: v.number = p.slider()->value; break;
    case PARAM_CHOICE: v.number = p.choice()->value; break;
    case PARAM_COLOR:
        for (int c = 0; c < 4; ++c) v.color[c] = p.color()->color[c];
        break;
    case PARAM_POINT:
        v.x = p.point()->pairs[2].x;
        v.y = p.point()->pairs[2].y;
        break;
    default: break;
    }
    return v;
}

std::string describeValue(const Parameter& p, const ParamValue& v) {
    switch (p.kind()) {
    case PARAM_SLIDER: return std::to_string(v.number);
    case PARAM_CHOICE:
        if (v.number >= 0 && size_t(v.number) < p.entries.size()) {
            return std::to_string(v.number) + " (" + entryText(p, size_t(v.number)) + ")";
        }
        return std::to_string(v.number);
    case PARAM_COLOR: {
        uint8_t rgb[3];
        colorToRgb(v, rgb);
        char text[64];
        std::snprintf(text, sizeof text, "#%02X%02X%02X (key %u, Cr %u, Cb %u, Y' %u)", rgb[0], rgb[1], rgb[2],
                      v.color[PIXEL_KEY], v.color[PIXEL_CR], v.color[PIXEL_CB], v.color[PIXEL_LUMA]);
        return text;
    }
    case PARAM_POINT: return std::to_string(v.x) + "," + std::to_string(v.y);
    default: return "?";
    }
}

}  // namespace fieldfx
