#include "RenderHost.h"

#include <cstdio>


namespace fieldfx {

namespace {

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

void RenderHost::setFields(FieldTaker take, int32_t inputs, int64_t position) {
    take_ = std::move(take);
    inputs_ = inputs;
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
    if (input < 0 || input >= inputs_ || position != position_ || !take_) return nullptr;
    return track(take_(input));
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
