// Fuzz target for the reader of a library's exports (ElfExports): the
// input bytes as a library file. Bad files must end in a problem text,
// never in a read out of bounds, a hang or a huge allocation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ElfExports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const std::vector<std::string> names = {"GetOperatorInfo", "OperatorAction", "OperatorReplay"};
    std::vector<bool> exported;
    (void)fieldfx::readElfExports(bytes, size, names, exported);
    return 0;
}
