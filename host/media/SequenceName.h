// Numbered file names (out%04d.png): the one place where such a name is read
// and a numbered name made. A name is data, never a printf format: it holds
// exactly one frame number, %d or %0Nd (N from 1 to 10), and %% for each
// literal percent sign; anything else after a % is refused. The number
// belongs in the file's name, not in its directory.
#pragma once

#include <cstdint>
#include <string>

namespace fieldfx {

class SequenceName {
public:
    // Reads `pattern`; returns an empty text, or why it is not a sequence
    // name (in words for a message after the name).
    std::string parse(const std::string& pattern);

    // The name of frame `number` (>= 0), as printf would make it from a
    // valid pattern.
    std::string name(int64_t number) const;
    // The number of a name this sequence makes; false for any other name
    // (another prefix or suffix, other digits, other zero padding).
    bool numberOf(const std::string& name, int64_t& number) const;

    const std::string& pattern() const { return pattern_; }
    // The directory the names are in (".", or with no trailing slash), and
    // the parts of a file's name around its number.
    std::string directory() const;
    // The pattern's directory part as written, with its slash ("" for none):
    // a file `f` listed in directory() is named directoryPrefix() + f.
    std::string directoryPrefix() const;

private:
    std::string pattern_;
    std::string prefix_, suffix_;  // %% already made %
    int width_ = 0;                // digits at least, zero-padded; 0 for %d
};

// Whether `name` is meant as a numbered name: it holds a percent sign.
inline bool hasPercent(const std::string& name) { return name.find('%') != std::string::npos; }

}  // namespace fieldfx
