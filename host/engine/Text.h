// Small text helpers of the program.
#pragma once

#include <cctype>
#include <string>

namespace fieldfx {

// `s` with its ASCII letters in lower case, for names compared without
// regard to case (operators, choice entries, file suffixes).
inline std::string lowerCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Whether `s` ends with `tail` (given in lower case), whatever the case of `s`.
inline bool endsWithNoCase(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && lowerCase(s.substr(s.size() - tail.size())) == tail;
}

// The directory part of a path ("." for a bare name), and the rest.
inline std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
inline std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace fieldfx
