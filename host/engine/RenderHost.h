// The host side of a run: serves the operator's service calls (fields to
// fetch, scratch images, the one output per render, log records) through the
// host backend, and keeps track of every image it hands out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fieldfx/HostBackend.h"

namespace fieldfx {

struct ImageDeleter {
    void operator()(FieldImage* image) const { deleteFieldImage(image); }
};
using ImagePtr = std::unique_ptr<FieldImage, ImageDeleter>;

// Serves the operator: the current field of an input at each fetch (made
// by the run: the prepared field itself at the first fetch, a new one after),
// black scratch images of the run's geometry, and the one output per render.
// Every image it hands out is tracked, so that what a failed render keeps is
// reclaimed and nothing it did not hand out is ever freed.
class RenderHost : public HostBackend {
public:
    // Installs itself as the process's backend until destroyed, unless
    // `install` is false (then the caller installs it around each call with
    // InstalledHost, as the frei0r plug-ins do). opChkAbort reports
    // `abortFlag` when there is one.
    explicit RenderHost(const std::atomic<bool>* abortFlag = nullptr, bool install = true)
        : abortFlag_(abortFlag), installed_(install) {
        if (installed_) previous_ = installHostBackend(this);
    }
    ~RenderHost() override;
    RenderHost(const RenderHost&) = delete;
    RenderHost& operator=(const RenderHost&) = delete;

    // What fetches at `position` return: `take(input)` gives a field the
    // operator then owns, or nullptr; `inputs` is how many inputs there are.
    using FieldTaker = std::function<FieldImage*(int32_t input)>;
    void setFields(FieldTaker take, int32_t inputs, int64_t position);
    void setGeometry(const FieldImage& like);
    void beginCommand() {
        ++command_;
        lastLog_.clear();
    }
    // Images that this command obtained and did not give back.
    void reclaimCommand();
    void reclaimAll();
    ImagePtr takeOutput() { return std::move(output_); }
    const std::string& lastLog() const { return lastLog_; }

    FieldImage* getField(int32_t input, int32_t position) override;
    int32_t putField(FieldImage* image) override;
    int32_t checkAbort() override;
    FieldImage* allocImage(int32_t, int32_t, int32_t, int32_t) override;
    void freeImage(FieldImage* image) override;
    void logMessage(int32_t level, int32_t line, const char* file, uint32_t code, const char* text) override;

private:
    FieldImage* track(FieldImage* image) {
        if (image != nullptr) held_[image] = command_;
        return image;
    }
    const std::atomic<bool>* abortFlag_ = nullptr;
    bool installed_ = false;
    HostBackend* previous_ = nullptr;
    FieldTaker take_;
    int32_t inputs_ = 0;
    int64_t position_ = -1;
    ImagePtr output_;
    std::map<FieldImage*, uint64_t> held_;
    uint64_t command_ = 0;
    int16_t width_ = 0, height_ = 0, regionLeft_ = 0, regionTop_ = 0, regionWidth_ = 0, regionHeight_ = 0;
    std::string lastLog_;
};

// Installs a backend for one scope and puts the one before it back.
class InstalledHost {
public:
    explicit InstalledHost(HostBackend& backend) : previous_(installHostBackend(&backend)) {}
    ~InstalledHost() { installHostBackend(previous_); }
    InstalledHost(const InstalledHost&) = delete;
    InstalledHost& operator=(const InstalledHost&) = delete;

private:
    HostBackend* previous_;
};

}  // namespace fieldfx
