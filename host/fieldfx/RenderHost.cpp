#include "RenderHost.h"

#include <cstdio>
#include <cstring>


namespace fieldfx {

namespace {

FieldImage* copyImage(const FieldImage& source) {
    FieldImage* image = newFieldImage(source.width, source.height, false);
    if (image == nullptr) return nullptr;
    std::memcpy(image->pixels, source.pixels, size_t(source.width) * size_t(source.height) * PIXEL_BYTES);
    image->regionLeft = source.regionLeft;
    image->regionTop = source.regionTop;
    image->regionWidth = source.regionWidth;
    image->regionHeight = source.regionHeight;
    return image;
}

std::string describeLog(const std::string& file, int32_t line, uint32_t code, int32_t level) {
    char text[256];
    std::snprintf(text, sizeof text, "level %d, %s line %d, code 0x%08X", level, file.c_str(), line, code);
    return text;
}

}  // namespace

RenderHost::~RenderHost() {
    if (installed_) installHostBackend(previous_);
    for (auto& entry : held_) deleteFieldImage(entry.first);
}

void RenderHost::setFields(std::vector<FieldImage*> fields, int64_t position) {
    current_ = std::move(fields);
    position_ = position;
    output_.reset();
}

void RenderHost::setGeometry(const FieldImage& like) {
    width_ = like.width;
    height_ = like.height;
    regionLeft_ = like.regionLeft;
    regionTop_ = like.regionTop;
    regionWidth_ = like.regionWidth;
    regionHeight_ = like.regionHeight;
}

void RenderHost::reclaimCommand() {
    for (auto it = held_.begin(); it != held_.end();) {
        if (it->second == command_) {
            deleteFieldImage(it->first);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
}

void RenderHost::reclaimAll() {
    for (auto& entry : held_) deleteFieldImage(entry.first);
    held_.clear();
}

FieldImage* RenderHost::getField(int32_t input, int32_t position) {
    if (input < 0 || size_t(input) >= current_.size() || position != position_ || current_[input] == nullptr) {
        return nullptr;
    }
    return track(copyImage(*current_[input]));
}

int32_t RenderHost::putField(FieldImage* image) {
    auto it = held_.find(image);
    if (it == held_.end() || output_ != nullptr) return -1;
    held_.erase(it);
    output_.reset(image);
    return 0;
}

int32_t RenderHost::checkAbort() { return abortFlag_ != nullptr && *abortFlag_ ? 1 : 0; }

FieldImage* RenderHost::allocImage(int32_t, int32_t, int32_t, int32_t) {
    FieldImage* image = newFieldImage(width_, height_);
    if (image == nullptr) return nullptr;
    image->regionLeft = regionLeft_;
    image->regionTop = regionTop_;
    image->regionWidth = regionWidth_;
    image->regionHeight = regionHeight_;
    return track(image);
}

void RenderHost::freeImage(FieldImage* image) {
    auto it = held_.find(image);
    if (it == held_.end()) return;  // not ours, or already given back
    deleteFieldImage(image);
    held_.erase(it);
}

void RenderHost::logMessage(int32_t level, int32_t line, const char* file, uint32_t code, const char* text) {
    printLogRecord(level, line, file, code, text);
    lastLog_ = describeLog(file != nullptr ? file : "(no source)", line, code, level);
}

}  // namespace fieldfx
