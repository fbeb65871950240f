// libhostcore: the backend registry, opGetField, opPutField and opChkAbort.
#include <sys/mman.h>

#include <cstdint>
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

namespace {

// Every block starts with this prefix: the block's size in bytes and how it
// was obtained. The buffer (an image: its header, then its pixels) follows
// at kPrefixBytes, so it stays 16-byte aligned as the heap aligns it.
struct BlockPrefix {
    size_t bytes;
    bool mapped;
};
constexpr size_t kPrefixBytes = 16;
static_assert(sizeof(BlockPrefix) <= kPrefixBytes);

// Field memory kept for reuse (keepFieldMemory): blocks of kLargeBlock bytes
// and more are mapped on their own at a huge-page boundary and marked for
// huge pages, so the kernel fills them in 2 MB steps instead of 4 KB ones;
// a freed block of any size from kKeptFrom up is kept, at most kKeptBlocks
// of them, for the next image of its size. A run that frees and takes
// fields of one size every frame then touches their memory once.
constexpr size_t kLargeBlock = size_t(2) << 20;
constexpr size_t kKeptFrom = size_t(64) << 10;
constexpr size_t kKeptBlocks = 24;

std::mutex g_keptLock;
bool g_keep = false;
size_t g_keptCount = 0;
void* g_kept[kKeptBlocks];

// A large block's mapping: whole huge pages (the last one partly unused).
size_t mappedBytes(size_t bytes) { return (bytes + kLargeBlock - 1) & ~(kLargeBlock - 1); }

void* mapLargeBlock(size_t bytes) {
    // Mapped with a huge page's worth to spare, then cut to start at a
    // huge-page boundary.
    const size_t used = mappedBytes(bytes);
    const size_t span = used + kLargeBlock;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const uintptr_t base = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t start = (base + kLargeBlock - 1) & ~uintptr_t(kLargeBlock - 1);
    if (start > base) munmap(mapped, start - base);
    if (base + span > start + used) munmap(reinterpret_cast<void*>(start + used), base + span - (start + used));
#if defined(MADV_HUGEPAGE)
    madvise(reinterpret_cast<void*>(start), used, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
#endif
    return reinterpret_cast<void*>(start);
}

void releaseBlock(void* block) {
    const BlockPrefix* prefix = static_cast<const BlockPrefix*>(block);
    if (prefix->mapped) {
        munmap(block, mappedBytes(prefix->bytes));
    } else {
        std::free(block);
    }
}

// A block of `bytes`: a kept one of that size, or a new one.
void* takeBlock(size_t bytes) {
    bool large = false;
    {
        const std::lock_guard<std::mutex> hold(g_keptLock);
        for (size_t i = g_keptCount; i-- > 0;) {
            if (static_cast<const BlockPrefix*>(g_kept[i])->bytes == bytes) {
                void* block = g_kept[i];
                g_kept[i] = g_kept[--g_keptCount];
                return block;
            }
        }
        large = g_keep && bytes >= kLargeBlock;
    }
    void* block = large ? mapLargeBlock(bytes) : std::malloc(bytes);
    if (block == nullptr) return nullptr;
    *static_cast<BlockPrefix*>(block) = BlockPrefix{bytes, large};
    return block;
}

// Keeps a freed block when there is room; the oldest kept block of another
// size makes room when there is none.
void giveBlock(void* block) {
    void* drop = block;
    {
        const std::lock_guard<std::mutex> hold(g_keptLock);
        if (g_keep && static_cast<const BlockPrefix*>(block)->bytes >= kKeptFrom) {
            if (g_keptCount == kKeptBlocks) {
                drop = g_kept[0];
                std::memmove(g_kept, g_kept + 1, (kKeptBlocks - 1) * sizeof g_kept[0]);
                --g_keptCount;
            } else {
                drop = nullptr;
            }
            g_kept[g_keptCount++] = block;
        }
    }
    if (drop != nullptr) releaseBlock(drop);
}

}  // namespace

void keepFieldMemory(bool keep) {
    size_t count = 0;
    void* drop[kKeptBlocks];
    {
        const std::lock_guard<std::mutex> hold(g_keptLock);
        g_keep = keep;
        if (!keep) {
            count = g_keptCount;
            std::memcpy(drop, g_kept, count * sizeof g_kept[0]);
            g_keptCount = 0;
        }
    }
    for (size_t i = 0; i < count; ++i) releaseBlock(drop[i]);
}

void keepFieldMemoryForRuns() {
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool kChecked = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    constexpr bool kChecked = true;
#else
    constexpr bool kChecked = false;
#endif
#else
    constexpr bool kChecked = false;
#endif
    if (!kChecked) keepFieldMemory(true);
}

void* newFieldBuffer(size_t bytes) {
    if (bytes > SIZE_MAX - kPrefixBytes) return nullptr;
    void* block = takeBlock(kPrefixBytes + bytes);
    return block == nullptr ? nullptr : static_cast<uint8_t*>(block) + kPrefixBytes;
}

void deleteFieldBuffer(void* buffer) {
    if (buffer != nullptr) giveBlock(static_cast<uint8_t*>(buffer) - kPrefixBytes);
}

FieldImage* newFieldImage(int32_t width, int32_t height, bool black) {
    if (width < 0 || height < 0 || width > 32767 || height > 32767) return nullptr;
    const size_t header = (sizeof(FieldImage) + 15) & ~size_t{15};
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    auto* image = static_cast<FieldImage*>(newFieldBuffer(header + count * PIXEL_BYTES + 1));
    if (image == nullptr) return nullptr;
    image->pixels = reinterpret_cast<uint8_t*>(image) + header;
    image->width = static_cast<int16_t>(width);
    image->height = static_cast<int16_t>(height);
    image->regionLeft = 0;
    image->regionTop = 0;
    image->regionWidth = static_cast<int16_t>(width);
    image->regionHeight = static_cast<int16_t>(height);
    if (black) fillBlack(image->pixels, count);
    return image;
}

void deleteFieldImage(FieldImage* image) { deleteFieldBuffer(image); }

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
