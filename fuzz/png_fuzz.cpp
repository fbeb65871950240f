// Fuzz target for the PNG reader: the input bytes as a file, read and
// converted to a picture. Bad files must end in a UserError.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Error.h"
#include "Png.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const std::string path = "/tmp/fieldfx-png-fuzz-" + std::to_string(getpid()) + ".png";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(bytes, 1, size, file);
    std::fclose(file);
    try {
        const fieldfx::RgbaImage image = fieldfx::readPng(path);
        (void)fieldfx::pictureFromRgba(image);
    } catch (const fieldfx::UserError&) {
    }
    return 0;
}
