// What the parent process and its worker processes share: the reports a
// worker sends on its pipe, whole reads and writes of a pipe, and the frame
// slots in shared memory that carry each frame's pictures to a worker and
// the rendered frame back.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>


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
// input). Standard input and output become /dev/null; a pipe that was on
// one of them is moved (`commands` and `reports` then name its new place).
void keepOnlyWorkerDescriptors(int& commands, int& reports);

// The frame slots, shared by the parent and every worker: each holds a
// frame's stored input frames and its stored output frame.
class SharedSlots {
public:
    // `inputBytes`: the stored frame of each input; `outputBytes`: the
    // output's. Throws UserError naming `subject`.
    SharedSlots(const std::vector<size_t>& inputBytes, size_t outputBytes, size_t count, const std::string& subject);
    ~SharedSlots();
    SharedSlots(const SharedSlots&) = delete;
    SharedSlots& operator=(const SharedSlots&) = delete;

    size_t count() const { return count_; }

    // Maps every slot into this process at once, instead of a page fault at
    // a time as they are first touched. Each process that uses the slots
    // calls it (a forked process does not inherit the mappings of shared
    // pages).
    void populate();

    // Where a frame's stored input or output frame lies in its slot.
    uint8_t* inputBytes(int64_t frame, size_t input) const { return slot(frame) + inputOffsets_[input]; }
    uint8_t* outputBytes(int64_t frame) const { return slot(frame) + outputOffset_; }

private:
    uint8_t* slot(int64_t frame) const { return base_ + size_t(frame % int64_t(count_)) * slotBytes_; }

    uint8_t* base_ = nullptr;
    size_t bytes_ = 0, slotBytes_ = 0, count_ = 0, outputOffset_ = 0;
    std::vector<size_t> inputOffsets_;
};

}  // namespace fieldfx
