#include "Settings.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "Error.h"

namespace fieldfx::mlt {

namespace {

// One key as MLT holds it: its frame, how it goes on to the next key, its
// text and (for colours) the colour MLT reads from it.
struct MltKey {
    int frame = 0;
    mlt_keyframe_type type = mlt_keyframe_linear;
    std::string text;
    mlt_color color{0, 0, 0, 0};
};

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// A number written the C way ("12", "-3.5", "1e1"), whatever the locale.
std::optional<double> parseNumber(const std::string& raw) {
    std::string text = trim(raw);
    if (!text.empty() && text[0] == '+') text.erase(0, 1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// The property's keys: those of its animation, or its plain value as one
// key at frame 0; none when it is not set.
std::vector<MltKey> mltKeys(mlt_properties properties, const char* name, int frames) {
    const char* plain = mlt_properties_get(properties, name);
    if (plain == nullptr || trim(plain).empty()) return {};
    // Parses a keyframe string into the property's animation; a plain
    // value stays as it is. (Not mlt_properties_anim_get: in MLT 7.12 it
    // replaces the property's keyframe string by the value it returns, and
    // the next reader parses that as the whole animation.)
    mlt_properties_anim_get_double(properties, name, 0, frames);
    mlt_animation animation = mlt_properties_get_animation(properties, name);
    std::vector<MltKey> keys;
    if (animation == nullptr || mlt_animation_key_count(animation) <= 0) {
        MltKey key;
        key.text = plain;
        key.color = mlt_properties_get_color(properties, name);
        keys.push_back(key);
        return keys;
    }
    const int count = mlt_animation_key_count(animation);
    for (int i = 0; i < count; ++i) {
        mlt_animation_item_s item{};
        item.property = mlt_property_init();
        if (mlt_animation_key_get(animation, &item, i) == 0) {
            MltKey key;
            key.frame = item.frame;
            key.type = item.keyframe_type;
            const char* text = mlt_property_get_string(item.property);
            key.text = text != nullptr ? text : "";
            key.color = mlt_property_get_color(item.property, 0, nullptr);
            keys.push_back(key);
        }
        mlt_property_close(item.property);
    }
    return keys;
}

bool isHex(const std::string& s, size_t from, size_t count) {
    if (s.size() != from + count) return false;
    for (size_t i = from; i < s.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

// The colour texts MLT reads as colours; anything else it would read as 0,
// a transparent black nobody meant.
bool isMltColour(const std::string& s) {
    if (s == "red" || s == "green" || s == "blue" || s == "black" || s == "white") return true;
    if (!s.empty() && s[0] == '#') return isHex(s, 1, 6) || isHex(s, 1, 8);
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return s.size() <= 10 && isHex(s, 2, s.size() - 2);
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos && s.size() <= 10;
}

std::string hexColour(const mlt_color& c) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", c.r, c.g, c.b);
    return text;
}

// Rounds half away from zero and holds the result to lo..hi, saying so in
// `held` when it had to.
int32_t roundHeld(double v, int32_t lo, int32_t hi, bool& held) {
    const double r = std::round(v);
    held = r < lo || r > hi;
    if (r < lo) return lo;
    if (r > hi) return hi;
    return static_cast<int32_t>(r);
}

// What one key's text means for the parameter. Returns the value, or
// nothing with `why` saying what is wrong; `note` says what was adjusted.
std::optional<ParamValue> keyValue(const Parameter& p, const MltKey& key, std::string& why, std::string& note) {
    const std::string text = trim(key.text);
    try {
        switch (p.kind()) {
        case PARAM_SLIDER: {
            const std::optional<double> v = parseNumber(text);
            if (!v) {
                why = "'" + text + "' is not a number";
                return std::nullopt;
            }
            const int32_t lo = p.slider()->minimum, hi = p.slider()->maximum;
            bool held = false;
            const int32_t n = roundHeld(*v, lo, hi, held);
            if (held) {
                note = text + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi) + "; held to " +
                       std::to_string(n);
            }
            return parseValue(p, std::to_string(n));
        }
        case PARAM_CHOICE: {
            // An index written as a number with a fraction ("1.0") is still an index.
            std::string entry = text;
            if (const std::optional<double> v = parseNumber(text); v && *v == std::floor(*v) && std::fabs(*v) < 1e6) {
                entry = std::to_string(static_cast<int64_t>(*v));
            }
            return parseValue(p, entry);
        }
        case PARAM_COLOR:
            if (!isMltColour(text)) {
                why = "'" + text + "' is not a colour (#rrggbb, #aarrggbb, 0xrrggbbaa or a colour name)";
                return std::nullopt;
            }
            return parseValue(p, hexColour(key.color));
        case PARAM_POINT: {
            if (text.find('%') != std::string::npos) {
                why = "'" + text + "' is given in percent; a point takes field pixels and rows";
                return std::nullopt;
            }
            std::vector<double> numbers;
            size_t at = 0;
            while (at < text.size()) {
                const size_t start = text.find_first_not_of(" \t,/:x", at);
                if (start == std::string::npos) break;
                const size_t end = std::min(text.find_first_of(" \t,/:x", start), text.size());
                const std::optional<double> v = parseNumber(text.substr(start, end - start));
                if (!v) {
                    numbers.clear();
                    break;
                }
                numbers.push_back(*v);
                at = end;
            }
            double x = 0, y = 0;
            if (numbers.size() == 2) {
                x = numbers[0];
                y = numbers[1];
            } else if (numbers.size() == 4 || numbers.size() == 5) {
                // A rectangle in frame pixels: its centre, in field rows.
                x = numbers[0] + numbers[2] / 2;
                y = (numbers[1] + numbers[3] / 2) / 2;
            } else {
                why = "'" + text + "' is not a point (X Y in field pixels and rows, or a rectangle X Y W H)";
                return std::nullopt;
            }
            bool heldX = false, heldY = false;
            const int32_t px = roundHeld(x, -32768, 32767, heldX), py = roundHeld(y, -32768, 32767, heldY);
            if (heldX || heldY) {
                note = text + " is out of range -32768..32767 for each coordinate; held to " + std::to_string(px) +
                       "," + std::to_string(py);
            }
            return parseValue(p, std::to_string(px) + "," + std::to_string(py));
        }
        default:
            why = "parameter of unknown kind";
            return std::nullopt;
        }
    } catch (const UserError& e) {
        why = e.reason();
        return std::nullopt;
    }
}

// MLT's smooth curve (Catmull-Rom through the keys before and after, the
// end keys doubled), the same operations in the same order as MLT's.
double catmullRom(double y0, double y1, double y2, double y3, double t) {
    const double t2 = t * t;
    const double a0 = -0.5 * y0 + 1.5 * y1 - 1.5 * y2 + 0.5 * y3;
    const double a1 = y0 - 2.5 * y1 + 2 * y2 - 0.5 * y3;
    const double a2 = -0.5 * y0 + 0.5 * y2;
    const double a3 = y1;
    return a0 * t * t2 + a1 * t2 + a2 * t + a3;
}

// The value at `frame` between key k and key k + 1 of a smooth key k, as
// MLT computes it for that frame, rounded to a whole number and held to
// the parameter's range (a curve can overshoot its keys).
ParamValue smoothValue(const Parameter& p, const std::vector<Keyframe>& keys, const std::vector<int>& frames, size_t k,
                       int frame) {
    const ParamValue& v0 = keys[k > 0 ? k - 1 : k].value;
    const ParamValue& v1 = keys[k].value;
    const ParamValue& v2 = keys[k + 1].value;
    const ParamValue& v3 = keys[k + 2 < keys.size() ? k + 2 : k + 1].value;
    double t = frame - frames[k];
    t /= frames[k + 1] - frames[k];
    bool held = false;
    ParamValue v = v1;
    if (p.kind() == PARAM_SLIDER) {
        v.number = roundHeld(catmullRom(v0.number, v1.number, v2.number, v3.number, t), p.slider()->minimum,
                             p.slider()->maximum, held);
    } else {
        v.x = static_cast<int16_t>(roundHeld(catmullRom(v0.x, v1.x, v2.x, v3.x, t), -32768, 32767, held));
        v.y = static_cast<int16_t>(roundHeld(catmullRom(v0.y, v1.y, v2.y, v3.y, t), -32768, 32767, held));
    }
    return v;
}

}  // namespace

int64_t fieldOfFrame(int64_t frame) { return 2 * frame; }

ServiceSettings settingsFromProperties(mlt_properties properties, const OperatorLibrary& op,
                                       const std::vector<ParamValue>& initial, int frames) {
    ServiceSettings out;
    const std::vector<Parameter>& parameters = op.parameters();
    for (size_t i = 0; i < parameters.size(); ++i) {
        const Parameter& p = parameters[i];
        Setting setting;
        setting.parameter = &p;
        const std::vector<MltKey> keys = mltKeys(properties, p.name.c_str(), frames);
        const bool animated = keys.size() > 1 || (keys.size() == 1 && keys[0].frame != 0);

        // The usable keys, each with how it goes on to the next.
        std::vector<mlt_keyframe_type> types;
        std::vector<int> keyFrames;
        for (const MltKey& key : keys) {
            std::string why, note;
            const std::string where = animated ? " at frame " + std::to_string(key.frame) : "";
            const std::optional<ParamValue> value = keyValue(p, key, why, note);
            if (!note.empty()) out.problems.push_back(p.name + where + ": " + note);
            if (!value) {
                out.problems.push_back(p.name + where + ": " + why + (animated ? "; this key is left out" : ""));
                continue;
            }
            const int64_t position = fieldOfFrame(key.frame);
            if (!setting.keys.empty() && position <= setting.keys.back().position) {
                out.problems.push_back(p.name + where + ": keys out of order; this key is left out");
                continue;
            }
            setting.keys.push_back(Keyframe{position, *value});
            types.push_back(key.type);
            keyFrames.push_back(key.frame);
        }
        if (setting.keys.empty()) {
            if (!keys.empty()) {
                out.problems.push_back(p.name + ": keeps its initial value " + describeValue(p, initial[i]));
            }
            setting.keys.push_back(Keyframe{0, initial[i]});
            out.settings.push_back(std::move(setting));
            continue;
        }

        // Choices step at every key whatever the key's type. Otherwise a
        // discrete key holds its value up to the field before the next key,
        // and a smooth one gets a key on every frame up to the next key, on
        // MLT's curve (colours excepted: taken as linear).
        if (p.kind() != PARAM_CHOICE) {
            std::vector<Keyframe> expanded;
            bool smoothColour = false;
            for (size_t k = 0; k < setting.keys.size(); ++k) {
                expanded.push_back(setting.keys[k]);
                if (k + 1 == setting.keys.size()) break;
                const int64_t hold = setting.keys[k + 1].position - 1;
                if (types[k] == mlt_keyframe_discrete && hold > setting.keys[k].position) {
                    expanded.push_back(Keyframe{hold, setting.keys[k].value});
                } else if (types[k] == mlt_keyframe_smooth && p.kind() == PARAM_COLOR) {
                    smoothColour = true;
                } else if (types[k] == mlt_keyframe_smooth) {
                    for (int frame = keyFrames[k] + 1; frame < keyFrames[k + 1]; ++frame) {
                        const ParamValue v = smoothValue(p, setting.keys, keyFrames, k, frame);
                        expanded.push_back(Keyframe{fieldOfFrame(frame), v});
                    }
                }
            }
            setting.keys = std::move(expanded);
            if (smoothColour) {
                out.problems.push_back(p.name + ": smooth keyframes of a colour are rendered as linear ones (the same "
                                                "values at the keys, straight lines between them)");
            }
        }
        out.settings.push_back(std::move(setting));
    }
    return out;
}

}  // namespace fieldfx::mlt
