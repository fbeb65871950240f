// Speed of Patina on 720 x 288 fields at its initial settings: a 50-field run
// (updates and held fields together) in fields per second and as a multiple
// of the copy floor, and the cost of one update alone.
//
// The copy floor is what every render costs at the least: the host's copy of
// the field into the image it hands out, and one copy of the region from the
// work image into the field. The host here serves every field from one
// prepared picture into one reused image, so that host overhead stays out
// of the figures.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "OperatorApi.h"
#include "fieldfx/HostBackend.h"

namespace {

constexpr int32_t kWidth = 720;
constexpr int32_t kHeight = 288;
constexpr size_t kBytes = size_t(kWidth) * kHeight * 4;

class BenchHost : public fieldfx::HostBackend {
public:
    BenchHost() {
        picture_.resize(kBytes);
        uint32_t h = 12345;
        for (size_t i = 0; i < kBytes; i += 4) {
            h = h * 1103515245u + 12345u;
            picture_[i] = 0xFF;
            picture_[i + 1] = uint8_t(96 + (h >> 24) % 64);
            picture_[i + 2] = uint8_t(96 + (h >> 16) % 64);
            picture_[i + 3] = uint8_t(16 + (i / 4 % kWidth) * 200 / kWidth + (h >> 8) % 20);
        }
        field_ = fieldfx::newFieldImage(kWidth, kHeight);
        work_ = fieldfx::newFieldImage(kWidth, kHeight);
    }
    ~BenchHost() override {
        fieldfx::deleteFieldImage(field_);
        fieldfx::deleteFieldImage(work_);
    }
    FieldImage* getField(int32_t, int32_t) override {
        std::memcpy(field_->pixels, picture_.data(), kBytes);
        return field_;
    }
    int32_t putField(FieldImage*) override { return 0; }
    int32_t checkAbort() override { return 0; }
    FieldImage* allocImage(int32_t, int32_t, int32_t, int32_t) override { return work_; }
    void freeImage(FieldImage*) override {}
    void logMessage(int32_t, int32_t, const char*, uint32_t, const char*) override {}

    FieldImage* field_;
    FieldImage* work_;
    std::vector<uint8_t> picture_;
};

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

OperatorRequest request(uint16_t command, uint32_t position) {
    OperatorRequest r{};
    r.command = command;
    r.length = 50;
    r.position = position;
    r.scaleNum = 1;
    r.scaleDen = 1;
    r.pixelAspect = 1000;
    return r;
}

}  // namespace

int main() {
    const std::string path = std::string(FIELDFX_LIB_DIR) + "/libPatina.so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
        return 1;
    }
    auto action = reinterpret_cast<OperatorActionFn>(dlsym(handle, "OperatorAction"));
    BenchHost host;
    fieldfx::installHostBackend(&host);

    constexpr int kRepeats = 15;
    constexpr uint32_t kFields = 50;
    double runBest = 1e9, floorBest = 1e9, updateBest = 1e9;
    std::vector<uint8_t> work(kBytes);
    for (int rep = 0; rep < kRepeats; ++rep) {
        // copy floor: the host's copy in, one region copy out
        auto t0 = Clock::now();
        for (uint32_t p = 0; p < kFields; ++p) {
            FieldImage* f = host.getField(0, int32_t(p));
            std::memcpy(f->pixels, work.data(), kBytes);
            host.putField(f);
        }
        auto t1 = Clock::now();
        floorBest = std::min(floorBest, seconds(t0, t1) / kFields);

        // the run
        OperatorRequest start = request(CMD_START, 0), finish = request(CMD_FINISH, 0);
        action(&start);
        t0 = Clock::now();
        for (uint32_t p = 0; p < kFields; ++p) {
            OperatorRequest r = request(CMD_RENDER, p);
            action(&r);
        }
        t1 = Clock::now();
        action(&finish);
        runBest = std::min(runBest, seconds(t0, t1) / kFields);

        // updates alone: after a start every render at position 100 is an
        // update until the count reaches 100 * 0.32 = 32
        action(&start);
        t0 = Clock::now();
        for (int i = 0; i < 30; ++i) {
            OperatorRequest r = request(CMD_RENDER, 100);
            action(&r);
        }
        t1 = Clock::now();
        action(&finish);
        updateBest = std::min(updateBest, seconds(t0, t1) / 30);
    }
    fieldfx::installHostBackend(nullptr);

    std::printf("Patina, 720 x 288, initial settings, best of %d\n", kRepeats);
    std::printf("  50-field run:   %8.1f fields/s  (%.3f ms a field)\n", 1.0 / runBest, runBest * 1e3);
    std::printf("  copy floor:     %8.1f fields/s  (%.3f ms a field)\n", 1.0 / floorBest, floorBest * 1e3);
    std::printf("  run / floor:    %8.1f x\n", runBest / floorBest);
    std::printf("  one update:     %8.3f ms\n", updateBest * 1e3);
    dlclose(handle);
    return 0;
}
