// The host side behind the three libraries that operators import
// (libhostcore, libhostimage, liblogger). An application installs one
// HostBackend at start-up; every service call an operator makes is forwarded
// to it. With none installed the services fail safely: no field, no image,
// puts refused, log records on stderr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "OperatorApi.h"

namespace fieldfx {

class HostBackend {
public:
    virtual ~HostBackend() = default;
    virtual FieldImage* getField(int32_t input, int32_t position) = 0;
    virtual int32_t putField(FieldImage* image) = 0;
    virtual int32_t checkAbort() = 0;
    virtual FieldImage* allocImage(int32_t width, int32_t height, int32_t count, int32_t flags) = 0;
    virtual void freeImage(FieldImage* image) = 0;
    virtual void logMessage(int32_t level, int32_t line, const char* file, uint32_t code,
                            const char* text) = 0;
};

// Installs the backend that serves every operator call; nullptr uninstalls.
// Returns the backend that was installed before.
HostBackend* installHostBackend(HostBackend* backend);
HostBackend* installedHostBackend();

// One lock for the whole process. Operators keep their settings and state
// in library statics and the backend is process-wide, so hosts that drive
// operators from several threads (the frei0r plug-ins) hold it around
// everything from writing the settings to taking the output.
std::mutex& operatorCallLock();

// A field image and its pixels in one heap block, every pixel opaque black
// (or, with black false, left as the allocation found them, for an image
// about to be overwritten whole). Width and height must be 0..32767; returns
// nullptr otherwise or when no memory can be had. The region is the whole
// image.
FieldImage* newFieldImage(int32_t width, int32_t height, bool black = true);
void deleteFieldImage(FieldImage* image);

// With keep true, field memory is kept for reuse: large images and buffers
// are mapped for huge pages, and freed ones are kept (a bounded number) for
// the next of the same size, which then holds whatever the last one left.
// For hosts that take and free fields and frames of one size for every
// frame. Off by default, so that a freed image is freed at once (which is
// what memory checkers look at); false releases every kept block.
void keepFieldMemory(bool keep);
// keepFieldMemory(true) for the hosts that render runs (the fieldfx
// program, the MLT module, the frei0r plug-ins), except in an
// address-checked build, which frees every field at once so that a field
// used after it was handed back is caught.
void keepFieldMemoryForRuns();

// A buffer of `bytes` from field memory (see keepFieldMemory), 16-byte
// aligned and uninitialised, or nullptr when no memory can be had; for the
// frames a host reads and writes. deleteFieldBuffer takes null.
void* newFieldBuffer(size_t bytes);
void deleteFieldBuffer(void* buffer);

// Sets `count` pixels from `pixels` on to opaque black, BLACK_PIXEL.
void fillBlack(uint8_t* pixels, size_t count);

// Writes one log record to stderr in the host's format.
void printLogRecord(int32_t level, int32_t line, const char* file, uint32_t code, const char* text);

}  // namespace fieldfx
