// Fuzz target for the YUV4MPEG2 reader: a stream header and frames from the
// input bytes, read to the end or to the first error. Bad streams must end
// in a UserError, never in a crash, a hang or a huge allocation.
#include <cstdio>

#include "Error.h"
#include "Video.h"
#include "Y4m.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    FILE* file = fmemopen(const_cast<uint8_t*>(bytes), size, "rb");
    if (file == nullptr) return 0;
    try {
        fieldfx::Y4mReader reader(file, "fuzz.y4m");
        const fieldfx::VideoFormat format = reader.format();
        (void)fieldfx::formatY4mHeader(format);
        fieldfx::Frame frame;
        for (int i = 0; i < 8 && reader.readFrame(frame); ++i) {
        }
        rewind(file);
        fieldfx::Y4mReader counter(file, "fuzz.y4m");
        (void)counter.countFrames();
    } catch (const fieldfx::UserError&) {
    }
    fclose(file);
    return 0;
}
