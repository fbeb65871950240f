// Speed of the box kernels on one channel of a 720 x 288 field, and of the
// Blur render at its smallest and largest unscaled windows: both must cost
// the same whatever the window.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdint>
#include <string>
#include <vector>

#include "BoxBlur.h"
#include "OperatorApi.h"

namespace {

constexpr int kWidth = 720;
constexpr int kHeight = 288;

std::vector<uint8_t> texturedField() {
    std::vector<uint8_t> pixels(size_t(kWidth) * kHeight * PIXEL_BYTES);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t* p = &pixels[(size_t(y) * kWidth + x) * 4];
            p[0] = 255;
            p[1] = uint8_t(96 + (x * 3 + y) % 64);
            p[2] = uint8_t(96 + (x + y * 5) % 64);
            p[3] = uint8_t(16 + (x * 7 ^ y * 13) % 220);
        }
    }
    return pixels;
}

using Kernel = void (*)(const uint8_t*, uint8_t*, int32_t, int32_t, int32_t, int32_t);

void BM_Kernel(benchmark::State& state, Kernel kernel, int32_t window) {
    const std::vector<uint8_t> source = texturedField();
    std::vector<uint8_t> destination(source.size());
    for (auto _ : state) {
        kernel(source.data(), destination.data(), kWidth, kHeight, window, PIXEL_LUMA);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.counters["fields/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// Blur's render with blurSize set to `size` (restored afterwards), over
// positions 20..79 of a run of 100 as the other operator benchmarks.
void BM_BlurWindow(benchmark::State& state, void* library, int32_t size) {
    auto info = reinterpret_cast<uintptr_t* (*)()>(dlsym(library, "GetOperatorInfo"));
    auto action = reinterpret_cast<OperatorActionFn>(dlsym(library, "OperatorAction"));
    SliderParam* blurSize = nullptr;
    for (uintptr_t* tag = info(); *tag != 0; tag += 2) {
        if (tag[0] == OPE_TAG_PARAM1) blurSize = reinterpret_cast<SliderParam*>(tag[1]);
    }
    const int32_t saved = blurSize->value;
    blurSize->value = size;
    OperatorRequest request{};
    request.command = CMD_RENDER;
    request.length = 100;
    request.scaleNum = 1;
    request.scaleDen = 1;
    request.pixelAspect = 1000;
    uint32_t position = 20;
    for (auto _ : state) {
        request.position = position;
        if (action(&request) != 0) {
            state.SkipWithError("render failed");
            break;
        }
        position = position == 79 ? 20 : position + 1;
    }
    blurSize->value = saved;
    state.counters["fields/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

void registerBlurBenchmarks(void* blurLibrary) {
    for (int32_t r : {4, 20, 100}) {
        Kernel both = [](const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                         int32_t window, int32_t channel) {
            BlurBoth(source, destination, width, height, window, channel);
        };
        benchmark::RegisterBenchmark(("BlurBoth/r" + std::to_string(r)).c_str(), BM_Kernel, both, r);
    }
    for (int32_t r : {4, 20, 100}) {
        benchmark::RegisterBenchmark(("BlurVertical/r" + std::to_string(r)).c_str(), BM_Kernel, BlurVertical, r);
        benchmark::RegisterBenchmark(("BlurHorizontal/r" + std::to_string(r)).c_str(), BM_Kernel, BlurHorizontal, r);
    }
    if (blurLibrary != nullptr) {
        benchmark::RegisterBenchmark("Blur/r4", BM_BlurWindow, blurLibrary, 1);
        benchmark::RegisterBenchmark("Blur/r100", BM_BlurWindow, blurLibrary, 25);
    }
}
