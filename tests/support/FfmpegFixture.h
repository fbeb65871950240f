// What the tests of real video share: whether ffmpeg is there, clips that
// ffmpeg makes from its lavfi sources, and the output of a command.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CliFixture.h"

namespace fxtest {

inline bool haveFfmpeg() {
    return std::system("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1") == 0;
}

#define REQUIRE_FFMPEG() \
    if (!fxtest::haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed"

// Makes a clip with ffmpeg from lavfi sources: `video` is the filter graph
// of the picture, `extra` further options (audio, pixel format, codec).
inline void makeClip(const std::string& path, const std::string& video, const std::string& extra = "") {
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i " + quote(video) + " " + extra + " " + quote(path);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// What a shell command writes on its standard output.
inline std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

}  // namespace fxtest
