#include "PngSequence.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "Error.h"
#include "Png.h"
#include "Text.h"

namespace fieldfx {

namespace {

std::string numbered(const std::string& pattern, int64_t index) {
    char name[4096];
    std::snprintf(name, sizeof name, pattern.c_str(), static_cast<int>(index));
    return name;
}

bool isFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

class PngSequenceSource : public FrameSource {
public:
    PngSequenceSource(const std::string& pattern, const SourceOptions& options) : name_(pattern) {
        while (first_ <= 4 && !isFile(numbered(pattern, first_))) ++first_;
        if (first_ > 4) throw UserError(pattern, "no such PNG sequence (no frame numbered 0 to 4 exists)");
        count_ = 1;
        while (count_ < kMaxFrames && isFile(numbered(pattern, first_ + count_))) ++count_;
        const RgbaImage firstFrame = readPng(numbered(pattern, first_));
        format_ = pngSourceFormat(firstFrame.width, firstFrame.height, options, pattern);
    }
    const std::string& name() const override { return name_; }
    const VideoFormat& format() const override { return format_; }
    int64_t frameCount() const override { return count_; }
    SourceMedia media() const override { return {}; }
    bool read(uint8_t* frame) override {
        if (served_ >= count_) return false;
        const std::string path = numbered(name_, first_ + served_);
        const RgbaImage image = readPng(path);
        if (image.width != format_.width || image.height != format_.height) {
            throw UserError(path, "is " + std::to_string(image.width) + "x" + std::to_string(image.height) +
                                      ", the sequence's first frame " + std::to_string(format_.width) + "x" +
                                      std::to_string(format_.height));
        }
        const Frame packed = packFrame(format_, pictureFromRgba(image));
        std::memcpy(frame, packed.data.data(), packed.data.size());
        ++served_;
        return true;
    }
    bool skip() override {
        if (served_ >= count_) return false;
        ++served_;
        return true;
    }

private:
    static constexpr int64_t kMaxFrames = 100000000;
    std::string name_;
    VideoFormat format_;
    int64_t first_ = 0, count_ = 0, served_ = 0;
};

}  // namespace

bool isPngSequencePattern(const std::string& path) {
    if (path.size() < 4) return false;
    const std::string tail = lowerCase(path.substr(path.size() - 4));
    const size_t percent = path.find('%');
    if (tail != ".png" || percent == std::string::npos || path.find('%', percent + 1) != std::string::npos) return false;
    const size_t d = path.find_first_not_of("0123456789", percent + 1);
    return d != std::string::npos && path[d] == 'd';
}

std::unique_ptr<FrameSource> openPngSequence(const std::string& pattern, const SourceOptions& options) {
    return std::make_unique<PngSequenceSource>(pattern, options);
}

}  // namespace fieldfx
