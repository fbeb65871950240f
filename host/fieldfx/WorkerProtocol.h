// What the parent process and its worker processes share: the reports a
// worker sends on its pipe, whole reads and writes of a pipe, and the frame
// slots in shared memory that carry each frame's pictures to a worker and
// the rendered frame back.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "Render.h"

namespace fieldfx {

enum ReportKind : int32_t { REPORT_FIELD = 1, REPORT_FRAME = 2, REPORT_FAILED = 3 };

// One message from a worker; small enough for one atomic pipe write.
struct Report {
    int32_t kind = 0;
    int32_t place = 0;
    int64_t frame = 0;  // -1: the start of the run
    char text[496] = {};
};
static_assert(sizeof(Report) <= PIPE_BUF);

// Writes all `size` bytes; false on an error.
bool writeAll(int fd, const void* data, size_t size);
// Reads exactly `size` bytes; false at the end of the stream or on an error.
bool readAll(int fd, void* data, size_t size);

// Closes every descriptor a worker inherited except standard error and its
// two pipes, so that it holds no end of another worker's pipes or of an
// ffmpeg pipe (which would keep that ffmpeg from seeing the end of its
// input). Standard input and output become /dev/null.
void keepOnlyWorkerDescriptors(int commands, int reports);

// The frame slots, shared by the parent and every worker.
class SharedSlots {
public:
    SharedSlots(const RenderJob& job, size_t count);
    ~SharedSlots();
    SharedSlots(const SharedSlots&) = delete;
    SharedSlots& operator=(const SharedSlots&) = delete;

    size_t count() const { return count_; }
    void storeInput(int64_t frame, size_t input, const Picture& picture) {
        store(picture, inputAt(frame, input), inputPlane_);
    }
    void loadInput(int64_t frame, size_t input, Picture& picture, int width, int height) const {
        load(picture, inputAt(frame, input), width, height);
    }
    void storeOutput(int64_t frame, const Picture& picture) { store(picture, outputAt(frame), outputPlane_); }
    void loadOutput(int64_t frame, Picture& picture, int width, int height) const {
        load(picture, outputAt(frame), width, height);
    }

    // Maps every slot's first `inputBytes` of each input and `outputBytes`
    // of the output into this process at once, instead of a page fault at a
    // time as they are first touched. Each process that uses the slots calls
    // it (a forked process does not inherit the mappings of shared pages).
    void populate(size_t inputBytes, size_t outputBytes);

    // Where a frame's stored input or output frame lies in its slot.
    const uint8_t* inputBytes(int64_t frame, size_t input) const { return inputAt(frame, input); }
    uint8_t* inputBytes(int64_t frame, size_t input) { return inputAt(frame, input); }
    uint8_t* outputBytes(int64_t frame) const { return outputAt(frame); }


private:
    uint8_t* slot(int64_t frame) const { return base_ + size_t(frame % int64_t(count_)) * slotBytes_; }
    uint8_t* inputAt(int64_t frame, size_t input) const { return slot(frame) + 4 * input * inputPlane_; }
    uint8_t* outputAt(int64_t frame) const { return slot(frame) + 4 * inputs_ * inputPlane_; }
    static void store(const Picture& picture, uint8_t* at, size_t plane);
    static void load(Picture& picture, const uint8_t* at, int width, int height);

    uint8_t* base_ = nullptr;
    size_t bytes_ = 0, slotBytes_ = 0, count_ = 0, inputs_ = 0, inputPlane_ = 0, outputPlane_ = 0;
};

}  // namespace fieldfx
