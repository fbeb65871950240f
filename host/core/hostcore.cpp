// libhostcore: the backend registry, opGetField, opPutField and opChkAbort.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "fieldfx/HostBackend.h"

namespace fieldfx {

namespace {
HostBackend* g_backend = nullptr;
}

HostBackend* installHostBackend(HostBackend* backend) {
    HostBackend* previous = g_backend;
    g_backend = backend;
    return previous;
}

HostBackend* installedHostBackend() { return g_backend; }

std::mutex& operatorCallLock() {
    static std::mutex lock;
    return lock;
}

// A run of 32-bit characters is set by the C library's wide-character fill,
// which stores whole registers without reading the memory first; this makes
// a black image about three times cheaper than copying one pixel after
// another, and so every render that takes a scratch image.
void fillBlack(uint8_t* pixels, size_t count) {
    const uint32_t black = BLACK_PIXEL;
    if constexpr (sizeof(wchar_t) == PIXEL_BYTES) {
        if (reinterpret_cast<uintptr_t>(pixels) % alignof(wchar_t) == 0) {
            wchar_t pattern;
            std::memcpy(&pattern, &black, sizeof pattern);
            std::wmemset(reinterpret_cast<wchar_t*>(pixels), pattern, count);
            return;
        }
    }
    for (size_t i = 0; i < count; ++i) std::memcpy(pixels + i * PIXEL_BYTES, &black, PIXEL_BYTES);
}

FieldImage* newFieldImage(int32_t width, int32_t height, bool black) {
    if (width < 0 || height < 0 || width > 32767 || height > 32767) return nullptr;
    const size_t header = (sizeof(FieldImage) + 15) & ~size_t{15};
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    void* block = std::malloc(header + count * PIXEL_BYTES + 1);
    if (block == nullptr) return nullptr;
    auto* image = static_cast<FieldImage*>(block);
    image->pixels = static_cast<uint8_t*>(block) + header;
    image->width = static_cast<int16_t>(width);
    image->height = static_cast<int16_t>(height);
    image->regionLeft = 0;
    image->regionTop = 0;
    image->regionWidth = static_cast<int16_t>(width);
    image->regionHeight = static_cast<int16_t>(height);
    if (black) fillBlack(image->pixels, count);
    return image;
}

void deleteFieldImage(FieldImage* image) { std::free(image); }

void printLogRecord(int32_t level, int32_t line, const char* file, uint32_t code, const char* text) {
    std::fprintf(stderr, "fieldfx: operator log: level %d, %s line %d, code 0x%08X: \"%s\"\n",
                 static_cast<int>(level), file != nullptr ? file : "(no source)",
                 static_cast<int>(line), static_cast<unsigned>(code),
                 text != nullptr ? text : "");
}

}  // namespace fieldfx

// The services never let an exception reach the operator.
extern "C" {

FieldImage* opGetField(int32_t input, int32_t position) {
    fieldfx::HostBackend* backend = fieldfx::installedHostBackend();
    if (backend == nullptr) return nullptr;
    try {
        return backend->getField(input, position);
    } catch (...) {
        return nullptr;
    }
}

int32_t opPutField(FieldImage* image) {
    fieldfx::HostBackend* backend = fieldfx::installedHostBackend();
    if (backend == nullptr) return -1;
    try {
        return backend->putField(image);
    } catch (...) {
        return -1;
    }
}

int32_t opChkAbort(void) {
    fieldfx::HostBackend* backend = fieldfx::installedHostBackend();
    if (backend == nullptr) return 0;
    try {
        return backend->checkAbort();
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
