// Finding a line of the project's sources, for tests that check the line
// number in a failure record.
#pragma once

#include <fstream>
#include <string>

namespace fxtest {

// Number of the first line of `file` (relative to the source tree) that
// contains `text`; -1 when there is none.
inline int lineOf(const std::string& file, const std::string& text) {
    std::ifstream in(std::string(FIELDFX_SOURCE_DIR) + "/" + file);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        if (line.find(text) != std::string::npos) return n;
    }
    return -1;
}

}  // namespace fxtest
