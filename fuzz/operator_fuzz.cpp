// Fuzz target for one operator library (FUZZ_OPERATOR names it). The input
// bytes drive the recording test host: field geometry and regions of both
// inputs, every parameter value, a sequence of commands with arbitrary
// request fields, injected host failures and put results. After every
// command the host's ownership check runs; a breach aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "LoadedOperator.h"
#include "RecordingHost.h"

using namespace fxtest;

namespace {

LoadedOperator& loadedOperator() {
    static LoadedOperator op(FUZZ_OPERATOR);
    return op;
}

// Mostly small sizes (1..24) so that many inputs run per second. One size in
// 32 is zero, one or negative, one in 16 is medium (25..64) and one in 1024
// is large (200..800): under the sanitizers a large field costs as much as
// hundreds of small ones, and it exercises little beyond long running sums
// and wide index arithmetic. (The fuzzer keeps inputs whose loops run longer
// than any before, so large fields soon fill the corpus if they are common.)
int32_t fieldSize(FuzzedDataProvider& data) {
    const int pick = data.ConsumeIntegralInRange<int>(0, 1023);
    if (pick < 32) return data.ConsumeIntegralInRange<int32_t>(-3, 1);
    if (pick < 96) return data.ConsumeIntegralInRange<int32_t>(25, 64);
    if (pick == 1023) return data.ConsumeIntegralInRange<int32_t>(200, 800);
    return data.ConsumeIntegralInRange<int32_t>(1, 24);
}

int32_t regionValue(FuzzedDataProvider& data, int32_t size) {
    if (data.ConsumeBool()) return data.ConsumeIntegral<int16_t>();
    return data.ConsumeIntegralInRange<int32_t>(-4, size + 4);
}

void shapeInput(FuzzedDataProvider& data, FieldShape& shape) {
    const int32_t width = fieldSize(data);
    int32_t height = fieldSize(data);
    // Large by large (up to 800 x 800) only in one of 16 inputs that draw
    // both large: otherwise these few fields would take most of the time.
    if (width > 64 && height > 64 && data.ConsumeIntegralInRange<int>(0, 15) != 0) height = 1 + height % 8;
    shape.setSize(width, height);
    if (data.ConsumeBool()) {
        shape.setRegion(regionValue(data, shape.width), regionValue(data, shape.height),
                       regionValue(data, shape.width), regionValue(data, shape.height));
    }
    const uint32_t salt = data.ConsumeIntegral<uint32_t>();
    const int style = data.ConsumeIntegralInRange<int>(0, 2);
    shape.content = [salt, style](int32_t input, int32_t position, int32_t x, int32_t y) {
        switch (style) {
        case 0:  return noiseContent(input, int32_t(uint32_t(position) ^ salt), x, y);
        case 1:  return salt;  // flat
        default: return (x + y) % 2 ? 0xFFFFFFFFu : 0u;  // extremes side by side
        }
    };
}

void writeParameters(FuzzedDataProvider& data, LoadedOperator& op) {
    for (int n = 1; n <= 4; ++n) {
        ParamDescriptor* head = op.param(n);
        if (head == nullptr || !data.ConsumeBool()) continue;
        switch (head->kind) {
        case PARAM_CHOICE: op.choice(n)->value = data.ConsumeIntegral<int32_t>(); break;
        case PARAM_SLIDER: op.slider(n)->value = data.ConsumeIntegral<int32_t>(); break;
        case PARAM_COLOR:
            for (uint8_t& b : op.color(n)->color) b = data.ConsumeIntegral<uint8_t>();
            break;
        case PARAM_POINT:
            op.point(n)->pairs[2].x = data.ConsumeIntegral<int16_t>();
            op.point(n)->pairs[2].y = data.ConsumeIntegral<int16_t>();
            break;
        default: break;
        }
    }
}

uint16_t command(FuzzedDataProvider& data) {
    switch (data.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:  return data.ConsumeIntegral<uint16_t>();
    case 1:  return CMD_START;
    case 2:  return CMD_FINISH;
    default: return CMD_RENDER;
    }
}

OperatorRequest request(FuzzedDataProvider& data) {
    OperatorRequest r = makeRequest(command(data));
    const bool wild = data.ConsumeBool();
    r.flags = data.ConsumeIntegral<uint8_t>();
    r.length = wild ? data.ConsumeIntegral<uint32_t>() : data.ConsumeIntegralInRange<uint32_t>(0, 200);
    r.position = wild ? data.ConsumeIntegral<uint32_t>() : data.ConsumeIntegralInRange<uint32_t>(0, r.length);
    r.scaleNum = data.ConsumeBool() ? data.ConsumeIntegral<int16_t>() : 1;
    r.scaleDen = data.ConsumeBool() ? data.ConsumeIntegral<int16_t>() : 2;
    r.pixelAspect = data.ConsumeBool() ? data.ConsumeIntegral<int16_t>() : 1000;
    return r;
}

// The optional replay (Patina): up to 64 positions, rising or anywhere, and a
// request like a render's; it must make no host call at all.
void replay(FuzzedDataProvider& data, LoadedOperator& op, RecordingHost& host) {
    std::vector<uint32_t> positions(data.ConsumeIntegralInRange<size_t>(0, 64));
    const bool wild = data.ConsumeBool();
    uint32_t position = 0;
    for (uint32_t& p : positions) {
        position += data.ConsumeIntegralInRange<uint32_t>(0, 3);
        p = wild ? data.ConsumeIntegral<uint32_t>() : position;
    }
    OperatorRequest r = request(data);
    r.command = CMD_RENDER;
    const size_t before = host.calls().size();
    const int32_t k = op.replay()(&r, positions.data(), uint32_t(positions.size()));
    if (k < -1 || (k >= 0 && !positions.empty() && size_t(k) >= positions.size()) || (positions.empty() && k != 0)) {
        std::fprintf(stderr, "replay of %zu calls returned %d\n", positions.size(), int(k));
        std::abort();
    }
    for (size_t i = before; i < host.calls().size(); ++i) {
        if (host.calls()[i].kind != CallKind::Log) {
            std::fprintf(stderr, "replay called the host: %s\n", callName(host.calls()[i].kind));
            std::abort();
        }
    }
}

[[noreturn]] void breach(const RecordingHost& host) {
    for (const std::string& v : host.violations()) std::fprintf(stderr, "ownership breach: %s\n", v.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    LoadedOperator& op = loadedOperator();
    op.restoreParams();
    {
        RecordingHost host;
        shapeInput(data, host.input(0));
        if (data.ConsumeBool()) {
            host.input(1) = host.input(0);
        } else {
            shapeInput(data, host.input(1));
        }
        writeParameters(data, op);
        const int commands = data.ConsumeIntegralInRange<int>(1, 6);
        for (int i = 0; i < commands && data.remaining_bytes() > 0; ++i) {
            if (data.ConsumeBool()) host.failGetField(data.ConsumeIntegralInRange<int32_t>(1, 3));
            if (data.ConsumeBool()) host.failAllocImage(data.ConsumeIntegralInRange<int32_t>(1, 2));
            host.setPutResult(data.ConsumeIntegral<int32_t>());
            if (data.ConsumeBool()) writeParameters(data, op);
            if (op.replay() != nullptr && data.ConsumeIntegralInRange<int>(0, 7) == 0) {
                replay(data, op, host);
                continue;
            }
            host.call(op.action(), request(data));
            if (!host.violations().empty()) breach(host);
        }
        // A host ends every run with the finish command, which must give back
        // whatever the run still holds.
        host.call(op.action(), makeRequest(CMD_FINISH));
        if (!host.violations().empty()) breach(host);
    }
    return 0;
}
