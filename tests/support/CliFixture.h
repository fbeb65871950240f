// What the fieldfx program's tests share: running the program, temporary
// directories, and YUV4MPEG2 clips of known bytes.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fxtest {

inline const std::string kProgram = std::string(FIELDFX_BIN_DIR) + "/fieldfx";
inline const std::string kTestOps = FIELDFX_TEST_OPS_DIR;

inline std::string quote(const std::string& s) { return "'" + s + "'"; }

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

struct Outcome {
    int status = -1;
    std::string err;
};

// A temporary directory per test, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/fieldfx-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf " + quote(path_)).c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        DIR* d = opendir(path_.c_str());
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] != '.' || (std::string(e->d_name) != "." && std::string(e->d_name) != "..")) {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
        return names;
    }

private:
    std::string path_;
};

// Runs the program with `args` (shell words), `env` (NAME=VALUE words) in
// its environment.
inline Outcome runFieldfx(const std::string& args, const TempDir& dir, const std::string& env = "") {
    const std::string errFile = dir / "stderr.txt";
    const int raw = std::system((env + kProgram + " " + args + " 2>" + quote(errFile)).c_str());
    Outcome run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    run.err = readFile(errFile);
    std::remove(errFile.c_str());
    return run;
}

// ---------------------------------------------------------------------------
// Clips written by the tests: 4:4:4 with alpha, so that every byte the
// operator sees is stored as it is.

struct Clip {
    int width = 48, height = 16, frames = 3;
    const char* interlace = "t";
    std::string rate = "25:1", aspect = "1:1";
    std::string chroma = "444alpha";
    uint32_t seed = 1;

    size_t planeSize() const { return size_t(width) * height; }
    size_t frameSize() const;
    std::string header() const {
        return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" + rate + " I" +
               interlace + " A" + aspect + " C" + chroma + "\n";
    }
    uint8_t byte(int frame, size_t offset) const {
        uint32_t h = uint32_t(offset) * 2654435761u ^ uint32_t(frame) * 40503u ^ seed * 97u;
        h ^= h >> 15;
        h *= 0x2c1b3c6dU;
        h ^= h >> 12;
        return static_cast<uint8_t>(h);
    }
    std::string frameBytes(int frame) const {
        std::string data(frameSize(), '\0');
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(byte(frame, i));
        return data;
    }
    std::string bytes() const {
        std::string data = header();
        for (int f = 0; f < frames; ++f) data += "FRAME\n" + frameBytes(f);
        return data;
    }
    // Pixel (x, y) of field `field` of a frame, as an operator sees it.
    uint32_t fieldPixel(int frame, int field, int x, int y) const {
        const size_t i = size_t(2 * y + field) * width + x, n = planeSize();
        const uint32_t yy = byte(frame, i), cb = byte(frame, n + i), cr = byte(frame, 2 * n + i),
                       a = byte(frame, 3 * n + i);
        return a | cr << 8 | cb << 16 | yy << 24;
    }
};

inline size_t Clip::frameSize() const {
    const size_t n = planeSize();
    if (chroma == "444alpha") return 4 * n;
    if (chroma == "444") return 3 * n;
    if (chroma == "422") return n + 2 * (n / 2);
    return n + 2 * (n / 4);
}

struct Y4mFile {
    std::string header;
    std::vector<std::string> frames;
};

// Splits a YUV4MPEG2 file into its header line and frames of `frameSize`.
inline Y4mFile parseY4m(const std::string& data, size_t frameSize) {
    Y4mFile file;
    size_t at = data.find('\n');
    if (at == std::string::npos) return file;
    file.header = data.substr(0, at);
    ++at;
    while (at < data.size()) {
        const size_t eol = data.find('\n', at);
        EXPECT_EQ(data.compare(at, 5, "FRAME"), 0);
        if (eol == std::string::npos || eol + 1 + frameSize > data.size()) {
            ADD_FAILURE() << "frame " << file.frames.size() << " is cut short";
            break;
        }
        file.frames.push_back(data.substr(eol + 1, frameSize));
        at = eol + 1 + frameSize;
    }
    return file;
}

}  // namespace fxtest
