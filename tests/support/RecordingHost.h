// A host for tests: serves fields for inputs 0 and 1 with any geometry and
// content, records every service call in order, injects failures, keeps a
// copy of every image handed back, collects log records and checks after each
// command that every image obtained left the operator exactly once.
//
// Images really are freed when they leave, so a use after free or after the
// put shows up under the address sanitizer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "OperatorApi.h"
#include "fieldfx/HostBackend.h"

namespace fxtest {

// Content of a field: the four bytes of the pixel at (x, y) of the field of
// `input` at `position`, as a little-endian word (byte 0 lowest).
using FieldContent = std::function<uint32_t(int32_t input, int32_t position, int32_t x, int32_t y)>;

// Scrambled bytes: every byte of every pixel differs between inputs,
// positions and neighbours.
uint32_t noiseContent(int32_t input, int32_t position, int32_t x, int32_t y);

struct FieldShape {
    int32_t width = 16;  // written to the image as given (may be 0 or negative)
    int32_t height = 8;
    // Valid region; a negative regionWidth or regionHeight of -1 means "to the edge".
    int32_t regionLeft = 0;
    int32_t regionTop = 0;
    int32_t regionWidth = -1;
    int32_t regionHeight = -1;
    FieldContent content = noiseContent;

    void setSize(int32_t w, int32_t h) { width = w; height = h; }
    void setRegion(int32_t l, int32_t t, int32_t w, int32_t h) {
        regionLeft = l; regionTop = t; regionWidth = w; regionHeight = h;
    }
};

// A copy of an image as it was when it left the operator.
struct ImageCopy {
    int32_t width = 0, height = 0;
    int32_t regionLeft = 0, regionTop = 0, regionWidth = 0, regionHeight = 0;
    std::vector<uint8_t> pixels;

    uint32_t pixel(int32_t x, int32_t y) const;
    uint8_t byte(int32_t x, int32_t y, int c) const { return pixels[(size_t(y) * width + x) * 4 + c]; }
};

// A copy of `image`: its geometry and the bytes of its pixels.
ImageCopy copyOf(const FieldImage& image);

enum class CallKind { GetField, PutField, ChkAbort, AllocImage, FreeImage, Log };
const char* callName(CallKind kind);

struct HostCall {
    CallKind kind;
    int32_t args[4] = {0, 0, 0, 0};
    const FieldImage* image = nullptr;  // the image passed or returned
    int32_t result = 0;
};

struct LogRecord {
    int32_t level;
    int32_t line;
    std::string file;
    uint32_t code;
    std::string text;
};

class RecordingHost : public fieldfx::HostBackend {
public:
    RecordingHost();   // installs itself
    ~RecordingHost() override;  // reinstalls what was there, reclaims what is held

    FieldShape& input(int32_t i) { return inputs_[i == 1 ? 1 : 0]; }

    // Failure injection: the nth call from now (1 = the next one) returns null.
    void failGetField(int32_t nth = 1) { failGetAt_ = getCount_ + nth; }
    void failAllocImage(int32_t nth = 1) { failAllocAt_ = allocCount_ + nth; }
    void setPutResult(int32_t result) { putResult_ = result; }
    void setAbortResult(int32_t result) { abortResult_ = result; }

    // Calls the operator and checks the ownership rule for that command.
    int32_t call(OperatorActionFn action, const OperatorRequest& request);
    int32_t render(OperatorActionFn action, uint32_t length, uint32_t position, uint8_t flags = 0);

    // The field this host serves for `input` at `position`, as a copy.
    ImageCopy servedField(int32_t input, int32_t position) const;

    const std::vector<HostCall>& calls() const { return calls_; }
    std::vector<CallKind> callKinds() const;
    size_t countCalls(CallKind kind) const;
    const std::vector<LogRecord>& logs() const { return logs_; }
    const std::vector<ImageCopy>& outputs() const { return outputs_; }
    const ImageCopy& lastOutput() const;
    const std::vector<std::string>& violations() const { return violations_; }
    size_t heldImages() const;
    void clearRecords();  // calls, logs, outputs and violations

    // HostBackend
    FieldImage* getField(int32_t input, int32_t position) override;
    int32_t putField(FieldImage* image) override;
    int32_t checkAbort() override;
    FieldImage* allocImage(int32_t width, int32_t height, int32_t count, int32_t flags) override;
    void freeImage(FieldImage* image) override;
    void logMessage(int32_t level, int32_t line, const char* file, uint32_t code,
                    const char* text) override;

private:
    struct Held {
        uint64_t command;   // sequence number of the command that obtained it
        uint16_t commandCode;
    };

    FieldImage* makeImage(const FieldShape& shape, bool black, int32_t input, int32_t position);
    bool takeBack(FieldImage* image, const char* how);
    void violation(const std::string& what);
    void reclaim(uint64_t command);

    fieldfx::HostBackend* previous_ = nullptr;
    FieldShape inputs_[2];
    int64_t getCount_ = 0, allocCount_ = 0, failGetAt_ = -1, failAllocAt_ = -1;
    int32_t putResult_ = 0, abortResult_ = 0;

    uint64_t commandSeq_ = 0;
    uint16_t commandCode_ = 0;
    int32_t commandPosition_ = 0;
    bool inCommand_ = false;
    bool putSeen_ = false;

    std::map<FieldImage*, Held> held_;
    std::vector<HostCall> calls_;
    std::vector<LogRecord> logs_;
    std::vector<ImageCopy> outputs_;
    std::vector<std::string> violations_;
};

OperatorRequest makeRequest(uint16_t command, uint32_t length = 0, uint32_t position = 0,
                            uint8_t flags = 0);

}  // namespace fxtest
