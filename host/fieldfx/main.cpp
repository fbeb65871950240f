// fieldfx: loads an operator library and renders fields through it.
// This first version has one subcommand, `demo`, which runs Dye over a few
// generated fields and prints what it did.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "OperatorApi.h"
#include "fieldfx/HostBackend.h"

namespace {

class DemoHost : public fieldfx::HostBackend {
public:
    FieldImage* getField(int32_t, int32_t position) override {
        FieldImage* image = fieldfx::newFieldImage(720, 288);
        if (image == nullptr) return nullptr;
        for (int y = 0; y < 288; ++y) {
            for (int x = 0; x < 720; ++x) {
                uint8_t* p = image->pixels + 4 * (y * 720 + x);
                p[0] = 255;
                p[1] = static_cast<uint8_t>(16 + (x * 224) / 720);
                p[2] = static_cast<uint8_t>(16 + ((y + position) * 224 / 288) % 225);
                p[3] = static_cast<uint8_t>(16 + ((x + y) * 219) / 1007);
            }
        }
        return image;
    }
    int32_t putField(FieldImage* image) override {
        uint64_t sum = 0;
        for (int i = 0; i < 720 * 288 * 4; ++i) sum = sum * 31 + image->pixels[i];
        std::printf("field rendered, checksum %016llx\n", static_cast<unsigned long long>(sum));
        fieldfx::deleteFieldImage(image);
        return 0;
    }
    int32_t checkAbort() override { return 0; }
    FieldImage* allocImage(int32_t, int32_t, int32_t, int32_t) override {
        return fieldfx::newFieldImage(720, 288);
    }
    void freeImage(FieldImage* image) override { fieldfx::deleteFieldImage(image); }
    void logMessage(int32_t level, int32_t line, const char* file, uint32_t code,
                    const char* text) override {
        fieldfx::printLogRecord(level, line, file, code, text);
    }
};

std::string libraryDir(const char* argv0) {
    std::string self = argv0;
    const size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/../lib";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "demo") != 0) {
        std::fprintf(stderr, "usage: fieldfx demo\n");
        return 2;
    }
    const std::string path = libraryDir(argv[0]) + "/libDye.so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "fieldfx: %s: %s\n", path.c_str(), dlerror());
        return 1;
    }
    auto action = reinterpret_cast<OperatorActionFn>(dlsym(handle, "OperatorAction"));
    if (action == nullptr) {
        std::fprintf(stderr, "fieldfx: %s: not an operator library\n", path.c_str());
        return 1;
    }
    DemoHost host;
    fieldfx::installHostBackend(&host);
    OperatorRequest request{};
    request.length = 8;
    request.command = CMD_START;
    action(&request);
    for (uint32_t position = 0; position < request.length; ++position) {
        request.command = CMD_RENDER;
        request.position = position;
        std::printf("Dye position %u: ", position);
        if (action(&request) != 0) return 1;
    }
    request.command = CMD_FINISH;
    action(&request);
    std::fprintf(stderr, "fieldfx: Dye rendered %u fields of 720x288\n", request.length);
    fieldfx::installHostBackend(nullptr);
    dlclose(handle);
    return 0;
}
