// Command-line arguments: a small parser for subcommand options, and the
// parsers of the option values that need more than a number.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Run.h"
#include "Video.h"

namespace fieldfx {

struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> values;  // option -> every value given
    std::set<std::string> flags;

    bool has(const std::string& option) const { return values.count(option) || flags.count(option); }
    std::string value(const std::string& option, const std::string& fallback = "") const;
};

// Options that take a value ("-o", "--set", ...) and options that are flags
// ("--quiet"); anything else starting with '-' (but not "-" itself) is an
// error. "--name=value" is accepted too, and "--" ends the options.
Arguments parseArguments(const std::vector<std::string>& args, const std::set<std::string>& valueOptions,
                         const std::set<std::string>& flagOptions, const std::string& command);

// A count of frames ("50") or a time in seconds ("2s", "1.5s") at `rate`.
int64_t parseFrames(const std::string& option, const std::string& text, const Rational& rate);
// A time in seconds ("2", "2s", "1.5").
double parseSeconds(const std::string& option, const std::string& text);
// "N/D" with 0 < N <= D <= 32767.
void parseScale(const std::string& text, int& num, int& den);
// "K/N" with 1 <= K <= N <= 100000: the K-th of N chunks of a run.
void parseChunk(const std::string& text, int& k, int& n);
// "X,Y,W,H" inside a field of the given size.
Region parseRegion(const std::string& text, int fieldWidth, int fieldHeight);
// Frames a second: "25", "29.97" (read as 30000/1001) or "30000/1001".
Rational parseRate(const std::string& text);
// "tff" or "bff".
Interlace parseFieldOrder(const std::string& text);
// A YUV4MPEG2 chroma name, or one of yuv420p, yuv422p, yuv444p, yuva444p.
Chroma parsePixelFormat(const std::string& text);

}  // namespace fieldfx
