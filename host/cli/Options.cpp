#include "Options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "Error.h"

namespace fieldfx {

namespace {

bool parseInt(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 12) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-');
}

}  // namespace

std::string Arguments::value(const std::string& option, const std::string& fallback) const {
    auto it = values.find(option);
    return it == values.end() || it->second.empty() ? fallback : it->second.back();
}

Arguments parseArguments(const std::vector<std::string>& args, const std::set<std::string>& valueOptions,
                         const std::set<std::string>& flagOptions, const std::string& command) {
    Arguments parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        if (flagOptions.count(name) && !inlineValue) {
            parsed.flags.insert(name);
        } else if (valueOptions.count(name)) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) throw UserError(command, "option " + name + " needs a value");
                value = args[++i];
            }
            parsed.values[name].push_back(value);
        } else {
            throw UserError(command, "unknown option " + name + " (see fieldfx " + command + " --help)");
        }
    }
    return parsed;
}

int64_t parseFrames(const std::string& option, const std::string& text, const Rational& rate) {
    if (!text.empty() && text.back() == 's') {
        const double seconds = parseSeconds(option, text);
        return std::llround(seconds * double(rate.num) / double(rate.den));
    }
    int64_t frames = 0;
    if (!parseInt(text, frames) || frames < 0) {
        throw UserError(option, "'" + text + "' is not a number of frames (or seconds, like 2s)");
    }
    return frames;
}

double parseSeconds(const std::string& option, const std::string& text) {
    std::string number = text;
    if (!number.empty() && number.back() == 's') number.pop_back();
    char* end = nullptr;
    const double seconds = number.empty() ? -1 : std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 1e6) {
        throw UserError(option, "'" + text + "' is not a time in seconds");
    }
    return seconds;
}

void parseScale(const std::string& text, int& num, int& den) {
    const size_t slash = text.find('/');
    int64_t n = 0, d = 0;
    if (slash == std::string::npos || !parseInt(text.substr(0, slash), n) || !parseInt(text.substr(slash + 1), d)) {
        throw UserError("--scale", "'" + text + "' is not a scale N/D (for example 1/2)");
    }
    if (n <= 0 || d <= 0 || n > d || d > 32767) {
        throw UserError("--scale", "'" + text + "' must reduce: 0 < N <= D <= 32767");
    }
    num = int(n);
    den = int(d);
}

void parseChunk(const std::string& text, int& k, int& n) {
    const size_t slash = text.find('/');
    int64_t a = 0, b = 0;
    if (slash == std::string::npos || !parseInt(text.substr(0, slash), a) || !parseInt(text.substr(slash + 1), b)) {
        throw UserError("--chunk", "'" + text + "' is not a chunk K/N (for example 2/8)");
    }
    if (b < 1 || b > 100000 || a < 1 || a > b) {
        throw UserError("--chunk", "'" + text + "' must have 1 <= K <= N <= 100000");
    }
    k = int(a);
    n = int(b);
}

Region parseRegion(const std::string& text, int fieldWidth, int fieldHeight) {
    int64_t v[4] = {0, 0, 0, 0};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = i < 3 ? text.find(',', start) : text.size();
        if (comma == std::string::npos || !parseInt(text.substr(start, comma - start), v[i])) {
            throw UserError("--region", "'" + text + "' is not X,Y,W,H");
        }
        start = comma + 1;
    }
    if (v[0] < 0 || v[1] < 0 || v[2] <= 0 || v[3] <= 0 || v[0] + v[2] > fieldWidth || v[1] + v[3] > fieldHeight) {
        throw UserError("--region", "'" + text + "' does not lie inside the " + std::to_string(fieldWidth) + "x" +
                                        std::to_string(fieldHeight) + " field");
    }
    return Region{int(v[0]), int(v[1]), int(v[2]), int(v[3]), true};
}

Rational parseRate(const std::string& text) {
    const size_t slash = text.find('/');
    if (slash != std::string::npos) {
        int64_t n = 0, d = 0;
        if (!parseInt(text.substr(0, slash), n) || !parseInt(text.substr(slash + 1), d) || n <= 0 || d <= 0 ||
            n > 1000000 || d > 1000000 || n > 1000 * d) {
            throw UserError("--rate", "'" + text + "' is not a frame rate (25, 29.97 or 30000/1001; at most 1000)");
        }
        return Rational{n, d};
    }
    char* end = nullptr;
    const double rate = text.empty() ? 0 : std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(rate > 0 && rate <= 1000)) {
        throw UserError("--rate", "'" + text + "' is not a frame rate (25, 29.97 or 30000/1001; at most 1000)");
    }
    return rateFromNumber(rate);
}

Interlace parseFieldOrder(const std::string& text) {
    if (text == "tff") return Interlace::TopFirst;
    if (text == "bff") return Interlace::BottomFirst;
    throw UserError("--field-order", "'" + text + "' is not tff or bff");
}

Chroma parsePixelFormat(const std::string& text) {
    Chroma chroma;
    if (parseChromaName(text, chroma)) return chroma;
    // ffmpeg's names, also with a depth for outputs written through ffmpeg
    // (yuv422p10le: 4:2:2 written at 10 bits).
    std::string name = text;
    for (const char* depth : {"9le", "10le", "12le", "14le", "16le"}) {
        const size_t at = name.size() >= std::strlen(depth) ? name.size() - std::strlen(depth) : 0;
        if (name.size() > std::strlen(depth) && name.compare(at, std::string::npos, depth) == 0) name.erase(at);
    }
    if (name == "yuv420p") return Chroma::C420jpeg;
    if (name == "yuv422p") return Chroma::C422;
    if (name == "yuv444p") return Chroma::C444;
    if (name == "yuva444p") return Chroma::C444alpha;
    throw UserError("--pix-fmt", "'" + text + "' is not one of 420jpeg, 420mpeg2, 420paldv, 422, 444, 444alpha, "
                                 "or yuv420p, yuv422p, yuv444p, yuva444p (with 10le, 12le or 16le for more bits)");
}

}  // namespace fieldfx
