// fieldfx-mlt-describe: writes the MLT metadata and the Kdenlive and
// Shotcut files of every service (see Describe.h), from the operator
// libraries in OPS_DIR; or merges the effects into Kdenlive's category file.
//
//   fieldfx-mlt-describe OPS_DIR SHARE_DIR
//   fieldfx-mlt-describe --kdenlive-categories KDENLIVE_FILE OUT_FILE
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Describe.h"
#include "Error.h"

namespace {

using fieldfx::UserError;

void makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) throw UserError(dir, std::strerror(errno));
    }
}

void writeFile(const std::string& path, const std::string& text) {
    makeDirectories(path);
    // Written whole to a temporary file and renamed, so that a reader never
    // sees half a file.
    const std::string temporary = path + ".tmp";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw UserError(path, std::string("cannot write it: ") + std::strerror(errno));
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UserError(path, std::string("cannot read it: ") + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int describeAll(const std::string& opsDir, const std::string& shareDir) {
    using namespace fieldfx::mlt;
    for (const ServiceInfo& info : services()) {
        const std::unique_ptr<LoadedService> service = loadService(info, {opsDir});
        for (const DescribedFile& file : describeService(*service, FIELDFX_VERSION)) {
            writeFile(shareDir + "/" + file.path, file.text);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::string(argv[1]) == "--kdenlive-categories") {
            writeFile(argv[3], fieldfx::mlt::mergeKdenliveCategories(readFile(argv[2]), fieldfx::mlt::services()));
            return 0;
        }
        if (argc == 3 && argv[1][0] != '-') return describeAll(argv[1], argv[2]);
        std::cerr << "usage: fieldfx-mlt-describe OPS_DIR SHARE_DIR\n"
                     "       fieldfx-mlt-describe --kdenlive-categories KDENLIVE_FILE OUT_FILE\n";
        return 2;
    } catch (const UserError& e) {
        std::cerr << "fieldfx-mlt-describe: " << e.what() << "\n";
        return 1;
    }
}
