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

}  // namespace fieldfx
