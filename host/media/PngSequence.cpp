#include "PngSequence.h"

#include <sys/stat.h>

#include <cstring>

#include "Error.h"
#include "Png.h"
#include "Text.h"

namespace fieldfx {

namespace {

constexpr int64_t kMaxFrames = 100000000;

bool isFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

class PngSequenceSource : public FrameSource {
public:
    PngSequenceSource(const std::string& pattern, const SourceOptions& options)
        : name_(pattern), files_(findPngSequence(pattern)) {
        if (files_.count == 0) throw UserError(pattern, "no such PNG sequence (no frame numbered 0 to 4 exists)");
        const RgbaImage firstFrame = readPng(files_.file(0));
        format_ = pngSourceFormat(firstFrame.width, firstFrame.height, options, pattern);
    }
    const std::string& name() const override { return name_; }
    const VideoFormat& format() const override { return format_; }
    int64_t frameCount() const override { return files_.count; }
    SourceMedia media() const override {
        SourceMedia media;
        media.alpha = pngHasAlpha(files_.file(0));
        return media;
    }
    bool read(uint8_t* frame) override {
        if (served_ >= files_.count) return false;
        const std::string path = files_.file(served_);
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
        if (served_ >= files_.count) return false;
        ++served_;
        return true;
    }

private:
    std::string name_;
    PngSequenceFiles files_;
    VideoFormat format_;
    int64_t served_ = 0;
};

}  // namespace

bool isPngSequencePattern(const std::string& path) {
    struct stat info {};
    return endsWithNoCase(path, ".png") && hasPercent(path) && stat(path.c_str(), &info) != 0;
}

PngSequenceFiles findPngSequence(const std::string& pattern) {
    PngSequenceFiles files;
    if (const std::string why = files.name.parse(pattern); !why.empty()) throw UserError(pattern, why);
    while (files.first <= 4 && !isFile(files.name.name(files.first))) ++files.first;
    if (files.first > 4) return files;
    files.count = 1;
    while (files.count < kMaxFrames && isFile(files.file(files.count))) ++files.count;
    return files;
}

std::unique_ptr<FrameSource> openPngSequence(const std::string& pattern, const SourceOptions& options) {
    return std::make_unique<PngSequenceSource>(pattern, options);
}

}  // namespace fieldfx
