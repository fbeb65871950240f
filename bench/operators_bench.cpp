// Speed of every operator on 720 x 288 fields of natural-looking content, at
// its initial settings, against the copy floor: one memcpy of such a field.
//
//   build/bin/fieldfx_bench                      all operators found in build/lib
//   build/bin/fieldfx_bench --benchmark_filter=Dye
//   build/bin/fieldfx_bench --benchmark_filter=PatinaReplay   Patina's replay to 2,000,000
//
// Operator libraries named after the options are timed too, named by their
// paths, to compare two builds of an operator in one run:
//   build/bin/fieldfx_bench --benchmark_filter='so$' --benchmark_repetitions=20
//       --benchmark_enable_random_interleaving=true old/libBlur.so new/libBlur.so
//
// Each figure is reported as fields per second ("fields/s"); the closing
// table gives each operator's time per field as a multiple of the copy floor.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "OperatorApi.h"
#include "fieldfx/HostBackend.h"

namespace {

constexpr int kWidth = 720;
constexpr int kHeight = 288;
constexpr size_t kFieldBytes = size_t(kWidth) * kHeight * PIXEL_BYTES;

uint8_t clampByte(double v, double lo, double hi) {
    return static_cast<uint8_t>(v < lo ? lo : v > hi ? hi : v);
}

// A picture with smooth gradients, a bright disc, edges and fine texture, so
// that no operator meets an unusually easy or hard case. `input` shifts it.
std::vector<uint8_t> naturalField(int input) {
    std::vector<uint8_t> pixels(kFieldBytes);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* p = &pixels[(size_t(y) * kWidth + x) * 4];
            const double dx = x - 260.0 - 120.0 * input, dy = (y - 140.0) * 2.0;
            const double disc = std::sqrt(dx * dx + dy * dy) < 90.0 ? 70.0 : 0.0;
            const double texture = 12.0 * std::sin(x * 0.9) * std::cos(y * 1.3);
            const double luma = 40.0 + 150.0 * x / kWidth + 20.0 * std::sin(y * 0.05) + disc + texture;
            p[0] = 255;
            p[1] = clampByte(128.0 + 60.0 * std::sin((x + 200.0 * input) * 0.01), 16, 240);
            p[2] = clampByte(128.0 + 60.0 * std::cos(y * 0.02 + input), 16, 240);
            p[3] = clampByte(luma, 16, 235);
        }
    }
    return pixels;
}

// Serves the two generated fields from a small pool of images, so the host's
// own cost per field is one copy for each fetched field.
class BenchHost : public fieldfx::HostBackend {
public:
    BenchHost() : content_{naturalField(0), naturalField(1)} {}
    ~BenchHost() override {
        for (FieldImage* image : pool_) fieldfx::deleteFieldImage(image);
    }
    FieldImage* getField(int32_t input, int32_t) override {
        FieldImage* image = take();
        if (image != nullptr) std::memcpy(image->pixels, content_[input == 1].data(), kFieldBytes);
        return image;
    }
    int32_t putField(FieldImage* image) override {
        benchmark::DoNotOptimize(image->pixels[0]);
        give(image);
        return 0;
    }
    int32_t checkAbort() override { return 0; }
    FieldImage* allocImage(int32_t, int32_t, int32_t, int32_t) override {
        FieldImage* image = take();
        if (image != nullptr) fieldfx::fillBlack(image->pixels, size_t(kWidth) * kHeight);  // as the real host
        return image;
    }
    void freeImage(FieldImage* image) override { give(image); }
    void logMessage(int32_t level, int32_t line, const char* file, uint32_t code, const char* text) override {
        fieldfx::printLogRecord(level, line, file, code, text);
    }

private:
    FieldImage* take() {
        if (pool_.empty()) return fieldfx::newFieldImage(kWidth, kHeight);
        FieldImage* image = pool_.back();
        pool_.pop_back();
        image->regionLeft = image->regionTop = 0;
        image->regionWidth = kWidth;
        image->regionHeight = kHeight;
        return image;
    }
    void give(FieldImage* image) { pool_.push_back(image); }

    std::vector<uint8_t> content_[2];
    std::vector<FieldImage*> pool_;
};


void BM_CopyFloor(benchmark::State& state) {
    std::vector<uint8_t> source = naturalField(0), destination(kFieldBytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), kFieldBytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.counters["fields/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Renders mid-run positions of a 100-field run; Patina renders whole runs
// from position 0 (start, 100 fields, finish) so held fields and updates count.
void BM_Operator(benchmark::State& state, OperatorActionFn action, bool wholeRuns) {
    constexpr uint32_t kLength = 100;
    OperatorRequest request{};
    request.length = kLength;
    request.scaleNum = 1;
    request.scaleDen = 1;
    request.pixelAspect = 1000;
    uint32_t position = wholeRuns ? 0 : 20;
    int64_t fields = 0;
    for (auto _ : state) {
        if (wholeRuns && position == 0) {
            request.command = CMD_START;
            action(&request);
        }
        request.command = CMD_RENDER;
        request.position = position;
        if (action(&request) != 0) {
            state.SkipWithError("render failed");
            break;
        }
        ++fields;
        if (wholeRuns) {
            if (++position == kLength) {
                request.command = CMD_FINISH;
                action(&request);
                position = 0;
            }
        } else {
            position = position == 79 ? 20 : position + 1;
        }
    }
    if (wholeRuns && position != 0) {
        request.command = CMD_FINISH;
        action(&request);
    }
    state.counters["fields/s"] = benchmark::Counter(double(fields), benchmark::Counter::kIsRate);
}

// Patina's replay to position 2,000,000 (more than 11 hours of 50i) at its
// costliest settings: filmAge 1 (24 pictures a second), filmCondition 1 (49
// scratch lines, 196 specks and the blot draw at every update), 720 x 288.
// One iteration: start, the replay of 2,000,001 calls, finish.
void BM_PatinaReplay(benchmark::State& state, void* library) {
    auto info = reinterpret_cast<GetOperatorInfoFn>(dlsym(library, "GetOperatorInfo"));
    auto action = reinterpret_cast<OperatorActionFn>(dlsym(library, "OperatorAction"));
    auto replay = reinterpret_cast<OperatorReplayFn>(dlsym(library, "OperatorReplay"));
    ChoiceParam* age = nullptr;
    SliderParam* condition = nullptr;
    for (const uintptr_t* tag = info(); tag[0] != 0; tag += 2) {
        if (tag[0] == OPE_TAG_PARAM1) age = reinterpret_cast<ChoiceParam*>(tag[1]);
        if (tag[0] == OPE_TAG_PARAM4) condition = reinterpret_cast<SliderParam*>(tag[1]);
    }
    if (replay == nullptr || age == nullptr || condition == nullptr) {
        state.SkipWithError("libPatina has no OperatorReplay");
        return;
    }
    const int32_t savedAge = age->value, savedCondition = condition->value;
    age->value = 1;
    condition->value = 1;

    const uint32_t calls = static_cast<uint32_t>(state.range(0)) + 1;
    std::vector<uint32_t> positions(calls);
    for (uint32_t i = 0; i < calls; ++i) positions[i] = i;
    OperatorRequest request{};
    request.length = calls;
    request.scaleNum = 1;
    request.scaleDen = 1;
    request.pixelAspect = 1000;
    for (auto _ : state) {
        request.command = CMD_START;
        action(&request);
        request.command = CMD_RENDER;
        benchmark::DoNotOptimize(replay(&request, positions.data(), calls));
        request.command = CMD_FINISH;
        action(&request);
    }
    age->value = savedAge;
    condition->value = savedCondition;
}

// Prints each benchmark's time per field as a multiple of the copy floor.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto floor = times_.find("CopyFloor");
        if (floor == times_.end() || floor->second <= 0) return;
        std::printf("\n%-14s %14s\n", "operator", "x copy floor");
        for (const auto& [name, time] : times_) {
            if (name != "CopyFloor") std::printf("%-14s %14.2f\n", name.c_str(), time / floor->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

// The box kernels and Blur's render at two window sizes (blur_bench.cpp).
void registerBlurBenchmarks(void* blurLibrary);

int main(int argc, char** argv) {
    BenchHost host;
    fieldfx::installHostBackend(&host);

    benchmark::RegisterBenchmark("CopyFloor", BM_CopyFloor);
    std::vector<void*> handles;
    void* blurLibrary = nullptr;
    for (const char* name : {"Dye", "Blur", "Glow", "Limelight", "Underwater", "Rotate", "Rebound", "Patina"}) {
        const std::string path = std::string(FIELDFX_LIB_DIR) + "/lib" + name + ".so";
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) continue;  // not built yet
        auto action = reinterpret_cast<OperatorActionFn>(dlsym(handle, "OperatorAction"));
        if (action == nullptr) continue;
        handles.push_back(handle);
        benchmark::RegisterBenchmark(name, BM_Operator, action, std::string(name) == "Patina");
        if (std::string(name) == "Blur") blurLibrary = handle;
        if (std::string(name) == "Patina") {
            benchmark::RegisterBenchmark("PatinaReplay", BM_PatinaReplay, handle)
                ->Arg(2000000)
                ->Unit(benchmark::kMillisecond);
        }
    }
    registerBlurBenchmarks(blurLibrary);

    benchmark::Initialize(&argc, argv);
    // Operator libraries named on the command line, for comparing builds in
    // one run; a library whose file name holds "Patina" renders whole runs.
    for (int i = 1; i < argc; ++i) {
        void* handle = dlopen(argv[i], RTLD_NOW | RTLD_LOCAL);
        auto action = handle != nullptr ? reinterpret_cast<OperatorActionFn>(dlsym(handle, "OperatorAction")) : nullptr;
        if (action == nullptr) {
            std::fprintf(stderr, "fieldfx_bench: %s: not an operator library\n", argv[i]);
            if (handle != nullptr) dlclose(handle);
            return 1;
        }
        handles.push_back(handle);
        const std::string path = argv[i];
        const bool patina = path.substr(path.find_last_of('/') + 1).find("Patina") != std::string::npos;
        benchmark::RegisterBenchmark(path.c_str(), BM_Operator, action, patina);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fieldfx::installHostBackend(nullptr);
    for (void* handle : handles) dlclose(handle);
    return 0;
}
