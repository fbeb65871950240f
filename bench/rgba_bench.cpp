// Speed of the host's RGBA <-> Y'CbCr conversions on a 720 x 576 frame:
// the per-pixel loop over rgbToYCbCr / yCbCrToRgb that the picture
// functions ran before, against the row conversions at each instruction-set
// level (0 scalar, 1 SSE2, 2 SSSE3, 3 AVX2), to and from picture planes and
// operator pixels.
//
//   build/bin/rgba_bench
//   build/bin/rgba_bench --benchmark_filter=ToRgb
//
// Levels the processor (or FIELDFX_ISA) does not allow are skipped.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "Rgba.h"

namespace {

using namespace fieldfx;

constexpr int kWidth = 720;
constexpr int kHeight = 576;
constexpr int kPixels = kWidth * kHeight;

uint8_t clampByte(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Gradients, a disc, fine texture and some noise, opaque.
const std::vector<uint8_t>& naturalRgba() {
    static const std::vector<uint8_t> rgba = [] {
        std::vector<uint8_t> out(size_t(kPixels) * 4);
        uint32_t seed = 1;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                seed = seed * 1103515245u + 12345u;
                const double noise = double(seed >> 24) / 32.0 - 4.0;
                const double dx = x - 300.0, dy = y - 260.0;
                const double disc = std::sqrt(dx * dx + dy * dy) < 120.0 ? 60.0 : 0.0;
                const double texture = 15.0 * std::sin(x * 0.7) * std::cos(y * 1.1);
                uint8_t* p = &out[(size_t(y) * kWidth + x) * 4];
                p[0] = clampByte(40.0 + 180.0 * x / kWidth + disc + texture + noise);
                p[1] = clampByte(60.0 + 150.0 * y / kHeight + 30.0 * std::sin(x * 0.02) + noise);
                p[2] = clampByte(200.0 - 150.0 * x / kWidth + disc - texture + noise);
                p[3] = 255;
            }
        }
        return out;
    }();
    return rgba;
}

struct Frame {
    std::vector<uint8_t> rgba = naturalRgba();
    std::vector<uint8_t> pixels = std::vector<uint8_t>(size_t(kPixels) * 4);
    Picture picture;
    Frame() {
        picture.resize(kWidth, kHeight);
        rgbaToPixels(rgba.data(), pixels.data(), kPixels, IsaLevel::Scalar);
        rgbaToPlanes(rgba.data(), pictureRow(picture, 0), kPixels, IsaLevel::Scalar);
    }
};

void report(benchmark::State& state) {
    state.SetItemsProcessed(int64_t(state.iterations()) * kPixels);
}

// The level of the benchmark's argument, or false (and the benchmark
// skipped) where it is not allowed.
bool levelOf(benchmark::State& state, IsaLevel& level) {
    level = static_cast<IsaLevel>(state.range(0));
    static const char* const kNames[] = {"scalar", "sse2", "ssse3", "avx2"};
    state.SetLabel(kNames[state.range(0)]);
    if (!isaAllows(level)) {
        state.SkipWithError("level not allowed here");
        return false;
    }
    return true;
}

void BM_ToYCbCr_PerPixelReference(benchmark::State& state) {
    Frame f;
    for (auto _ : state) {
        for (size_t i = 0; i < size_t(kPixels); ++i) {
            const uint8_t* px = &f.rgba[4 * i];
            const YCbCr c = rgbToYCbCr(px[0], px[1], px[2]);
            f.picture.y[i] = c.y;
            f.picture.cb[i] = c.cb;
            f.picture.cr[i] = c.cr;
            f.picture.a[i] = px[3];
        }
        benchmark::DoNotOptimize(f.picture.y.data());
        benchmark::ClobberMemory();
    }
    report(state);
}

void BM_ToYCbCr_Planes(benchmark::State& state) {
    IsaLevel level;
    if (!levelOf(state, level)) return;
    Frame f;
    for (auto _ : state) {
        for (int row = 0; row < kHeight; ++row) {
            rgbaToPlanes(&f.rgba[size_t(row) * kWidth * 4], pictureRow(f.picture, row), kWidth, level);
        }
        benchmark::DoNotOptimize(f.picture.y.data());
        benchmark::ClobberMemory();
    }
    report(state);
}

void BM_ToYCbCr_Pixels(benchmark::State& state) {
    IsaLevel level;
    if (!levelOf(state, level)) return;
    Frame f;
    for (auto _ : state) {
        rgbaToPixels(f.rgba.data(), f.pixels.data(), kPixels, level);
        benchmark::DoNotOptimize(f.pixels.data());
        benchmark::ClobberMemory();
    }
    report(state);
}

void BM_ToRgb_PerPixelReference(benchmark::State& state) {
    Frame f;
    for (auto _ : state) {
        for (size_t i = 0; i < size_t(kPixels); ++i) {
            yCbCrToRgb(f.picture.y[i], f.picture.cb[i], f.picture.cr[i], &f.rgba[4 * i]);
            f.rgba[4 * i + 3] = f.picture.a[i];
        }
        benchmark::DoNotOptimize(f.rgba.data());
        benchmark::ClobberMemory();
    }
    report(state);
}

void BM_ToRgb_Planes(benchmark::State& state) {
    IsaLevel level;
    if (!levelOf(state, level)) return;
    Frame f;
    for (auto _ : state) {
        for (int row = 0; row < kHeight; ++row) {
            planesToRgba(pictureRow(std::as_const(f.picture), row), &f.rgba[size_t(row) * kWidth * 4], kWidth, level);
        }
        benchmark::DoNotOptimize(f.rgba.data());
        benchmark::ClobberMemory();
    }
    report(state);
}

void BM_ToRgb_Pixels(benchmark::State& state) {
    IsaLevel level;
    if (!levelOf(state, level)) return;
    Frame f;
    for (auto _ : state) {
        pixelsToRgba(f.pixels.data(), f.rgba.data(), kPixels, level);
        benchmark::DoNotOptimize(f.rgba.data());
        benchmark::ClobberMemory();
    }
    report(state);
}

// The picture functions as the frei0r plug-ins and PNG files use them,
// allocation included.
void BM_PictureFromRgba(benchmark::State& state) {
    const std::vector<uint8_t>& rgba = naturalRgba();
    for (auto _ : state) {
        Picture p = pictureFromRgba(rgba.data(), kWidth, kHeight);
        benchmark::DoNotOptimize(p.y.data());
    }
    report(state);
}

void BM_RgbaFromPicture(benchmark::State& state) {
    Frame f;
    for (auto _ : state) {
        rgbaFromPicture(f.picture, f.rgba.data());
        benchmark::DoNotOptimize(f.rgba.data());
        benchmark::ClobberMemory();
    }
    report(state);
}

BENCHMARK(BM_ToYCbCr_PerPixelReference)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ToYCbCr_Planes)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ToYCbCr_Pixels)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ToRgb_PerPixelReference)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ToRgb_Planes)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ToRgb_Pixels)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PictureFromRgba)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RgbaFromPicture)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
