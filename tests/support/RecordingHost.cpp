#include "RecordingHost.h"

#include <cstring>
#include <stdexcept>

namespace fxtest {

uint32_t noiseContent(int32_t input, int32_t position, int32_t x, int32_t y) {
    uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^
                 static_cast<uint32_t>(position) * 83492791u ^ static_cast<uint32_t>(input) * 2654435761u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

uint32_t ImageCopy::pixel(int32_t x, int32_t y) const {
    uint32_t word;
    std::memcpy(&word, &pixels[(size_t(y) * width + x) * 4], 4);
    return word;
}

const char* callName(CallKind kind) {
    switch (kind) {
    case CallKind::GetField:   return "opGetField";
    case CallKind::PutField:   return "opPutField";
    case CallKind::ChkAbort:   return "opChkAbort";
    case CallKind::AllocImage: return "opAllocImage";
    case CallKind::FreeImage:  return "opFreeImage";
    case CallKind::Log:        return "loggerMessage";
    }
    return "?";
}

OperatorRequest makeRequest(uint16_t command, uint32_t length, uint32_t position, uint8_t flags) {
    OperatorRequest request{};
    request.command = command;
    request.flags = flags;
    request.length = length;
    request.position = position;
    request.scaleNum = 1;
    request.scaleDen = 1;
    request.pixelAspect = 1000;
    return request;
}

RecordingHost::RecordingHost() { previous_ = fieldfx::installHostBackend(this); }

RecordingHost::~RecordingHost() {
    fieldfx::installHostBackend(previous_);
    for (auto& entry : held_) fieldfx::deleteFieldImage(entry.first);
}

void RecordingHost::violation(const std::string& what) { violations_.push_back(what); }

static int32_t usable(int32_t v) { return v > 0 ? v : 0; }

FieldImage* RecordingHost::makeImage(const FieldShape& shape, bool black, int32_t input,
                                     int32_t position) {
    const int32_t w = usable(shape.width), h = usable(shape.height);
    FieldImage* image = fieldfx::newFieldImage(w, h);
    if (image == nullptr) throw std::runtime_error("test field too large");
    image->width = static_cast<int16_t>(shape.width);
    image->height = static_cast<int16_t>(shape.height);
    image->regionLeft = static_cast<int16_t>(shape.regionLeft);
    image->regionTop = static_cast<int16_t>(shape.regionTop);
    image->regionWidth = static_cast<int16_t>(shape.regionWidth == -1 ? shape.width - shape.regionLeft
                                                                      : shape.regionWidth);
    image->regionHeight = static_cast<int16_t>(shape.regionHeight == -1 ? shape.height - shape.regionTop
                                                                        : shape.regionHeight);
    if (!black) {
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const uint32_t word = shape.content(input, position, x, y);
                std::memcpy(image->pixels + (size_t(y) * w + x) * 4, &word, 4);
            }
        }
    }
    return image;
}

ImageCopy copyOf(const FieldImage& image) {
    ImageCopy copy;
    copy.width = image.width;
    copy.height = image.height;
    copy.regionLeft = image.regionLeft;
    copy.regionTop = image.regionTop;
    copy.regionWidth = image.regionWidth;
    copy.regionHeight = image.regionHeight;
    const size_t bytes = size_t(usable(image.width)) * size_t(usable(image.height)) * 4;
    copy.pixels.assign(image.pixels, image.pixels + bytes);
    return copy;
}

ImageCopy RecordingHost::servedField(int32_t input, int32_t position) const {
    FieldImage* image = const_cast<RecordingHost*>(this)->makeImage(inputs_[input == 1 ? 1 : 0],
                                                                    false, input, position);
    ImageCopy copy = copyOf(*image);
    fieldfx::deleteFieldImage(image);
    return copy;
}

FieldImage* RecordingHost::getField(int32_t input, int32_t position) {
    HostCall call{CallKind::GetField, {input, position, 0, 0}};
    ++getCount_;
    FieldImage* image = nullptr;
    if (inCommand_ && position != commandPosition_) {
        violation("opGetField asked for position " + std::to_string(position) +
                  " during a request for position " + std::to_string(commandPosition_));
    }
    if (input != 0 && input != 1) {
        violation("opGetField asked for input " + std::to_string(input));
    } else if (getCount_ != failGetAt_) {
        image = makeImage(inputs_[input], false, input, position);
    }
    if (putSeen_) violation("opGetField after opPutField");
    if (image != nullptr) held_[image] = Held{commandSeq_, commandCode_};
    call.image = image;
    calls_.push_back(call);
    return image;
}

FieldImage* RecordingHost::allocImage(int32_t width, int32_t height, int32_t count, int32_t flags) {
    HostCall call{CallKind::AllocImage, {width, height, count, flags}};
    ++allocCount_;
    if (width != -1 || height != -1 || count != 1 || flags != 0) violation("opAllocImage with arguments other than -1, -1, 1, 0");
    if (putSeen_) violation("opAllocImage after opPutField");
    FieldImage* image = nullptr;
    if (allocCount_ != failAllocAt_) {
        image = makeImage(inputs_[0], true, 0, 0);
        held_[image] = Held{commandSeq_, commandCode_};
    }
    call.image = image;
    calls_.push_back(call);
    return image;
}

bool RecordingHost::takeBack(FieldImage* image, const char* how) {
    auto it = held_.find(image);
    if (it == held_.end()) {
        violation(std::string(how) + " of an image the operator does not hold (double release, or never obtained)");
        return false;
    }
    held_.erase(it);
    return true;
}

int32_t RecordingHost::putField(FieldImage* image) {
    HostCall call{CallKind::PutField, {0, 0, 0, 0}, image, putResult_};
    calls_.push_back(call);
    if (putSeen_) violation("second opPutField in one command");
    putSeen_ = true;
    if (inCommand_ && commandCode_ != CMD_RENDER) violation("opPutField outside a render");
    if (takeBack(image, "opPutField")) {
        outputs_.push_back(copyOf(*image));
        fieldfx::deleteFieldImage(image);
    }
    return putResult_;
}

void RecordingHost::freeImage(FieldImage* image) {
    calls_.push_back(HostCall{CallKind::FreeImage, {0, 0, 0, 0}, image});
    if (putSeen_) violation("opFreeImage after opPutField");
    if (takeBack(image, "opFreeImage")) fieldfx::deleteFieldImage(image);
}

int32_t RecordingHost::checkAbort() {
    calls_.push_back(HostCall{CallKind::ChkAbort, {0, 0, 0, 0}, nullptr, abortResult_});
    return abortResult_;
}

void RecordingHost::logMessage(int32_t level, int32_t line, const char* file, uint32_t code,
                               const char* text) {
    calls_.push_back(HostCall{CallKind::Log, {level, line, 0, 0}});
    logs_.push_back(LogRecord{level, line, file != nullptr ? file : "", code, text != nullptr ? text : ""});
}

// A failed command keeps what it holds; the host takes those images back.
void RecordingHost::reclaim(uint64_t command) {
    for (auto it = held_.begin(); it != held_.end();) {
        if (it->second.command == command) {
            fieldfx::deleteFieldImage(it->first);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
}

int32_t RecordingHost::call(OperatorActionFn action, const OperatorRequest& request) {
    ++commandSeq_;
    commandCode_ = request.command;
    commandPosition_ = static_cast<int32_t>(request.position);
    inCommand_ = true;
    putSeen_ = false;
    OperatorRequest copy = request;
    const int32_t result = action(&copy);
    inCommand_ = false;

    const std::string where = "command " + std::to_string(request.command) + " at position " +
                              std::to_string(request.position) + ": ";
    bool keptByThisCommand = false;
    for (const auto& entry : held_) keptByThisCommand |= entry.second.command == commandSeq_;

    switch (request.command) {
    case CMD_RENDER:
        if (putSeen_ && keptByThisCommand) {
            violation(where + "an image obtained by the render did not leave it");
        }
        reclaim(commandSeq_);  // what a failed render kept, or what a faulty one forgot
        break;
    case CMD_START:
        if (result == -1) reclaim(commandSeq_);
        break;
    case CMD_FINISH:
        if (!held_.empty()) violation(where + "images still held after the finish command");
        break;
    default:
        if (keptByThisCommand) violation(where + "a command without work obtained an image");
        reclaim(commandSeq_);
        break;
    }
    std::memset(&copy, 0xA5, sizeof copy);  // the request is valid for one call only
    return result;
}

int32_t RecordingHost::render(OperatorActionFn action, uint32_t length, uint32_t position,
                              uint8_t flags) {
    return call(action, makeRequest(CMD_RENDER, length, position, flags));
}

std::vector<CallKind> RecordingHost::callKinds() const {
    std::vector<CallKind> kinds;
    for (const HostCall& c : calls_) kinds.push_back(c.kind);
    return kinds;
}

size_t RecordingHost::countCalls(CallKind kind) const {
    size_t n = 0;
    for (const HostCall& c : calls_) n += c.kind == kind;
    return n;
}

const ImageCopy& RecordingHost::lastOutput() const {
    if (outputs_.empty()) throw std::logic_error("no image was handed back");
    return outputs_.back();
}

size_t RecordingHost::heldImages() const { return held_.size(); }

void RecordingHost::clearRecords() {
    calls_.clear();
    logs_.clear();
    outputs_.clear();
    violations_.clear();
}

}  // namespace fxtest
