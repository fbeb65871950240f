// Running the fieldfx program as a user does, in a scratch directory per
// test: shared by the program's end-to-end tests.
#pragma once

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fxtest {

inline const std::string kProgram = std::string(FIELDFX_BIN_DIR) + "/fieldfx";

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

inline Outcome runFieldfx(const std::string& args, const TempDir& dir) {
    const std::string errFile = dir / "stderr.txt";
    const int raw = std::system((kProgram + " " + args + " 2>" + quote(errFile)).c_str());
    Outcome run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    run.err = readFile(errFile);
    std::remove(errFile.c_str());
    return run;
}

}  // namespace fxtest
