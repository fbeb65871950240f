// The fixture the transition tests (Rotate, Rebound) share: the operator
// loaded, a recording host serving both inputs at one size, renders that
// must succeed with exactly one output, its plain version, and the checks
// both transitions pass: the comparison with the plain version at odd
// sizes, the order of host calls, the failure paths, requests outside the
// contract and golden checksums.
//
// `Settings` holds the three parameters in descriptor order; `geometryInput`
// is the input whose field rules the size and whose region the sampling
// uses, and is fetched first.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "Bytes.h"
#include "Golden.h"
#include "LoadedOperator.h"
#include "RecordingHost.h"

namespace fxtest {

// Field sizes and regions for the comparisons with the plain versions:
// widths around and well past the groups of four pixels drawn side by side,
// whole and with a region, so that groups meet the region's edges. A
// region size of -1 reaches to the field's edge.
struct FieldAndRegion {
    int32_t w, h, l, t, rw, rh;
};
inline constexpr FieldAndRegion kTransitionSizes[] = {
    {37, 23, 0, 0, -1, -1}, {1, 1, 0, 0, -1, -1}, {2, 3, 0, 0, -1, -1}, {31, 17, 3, 2, 20, 10},
    {4, 9, 0, 0, -1, -1},   {7, 6, 1, 1, 5, 4},   {101, 57, 0, 0, -1, -1}, {96, 40, 5, 3, 81, 30}};

template <typename Settings>
class TransitionTest : public testing::Test {
protected:
    // The output for the fields of inputs 0 and 1, written plainly.
    using Plain = std::vector<uint8_t> (*)(const ImageCopy& in0, const ImageCopy& in1, uint32_t length,
                                           uint32_t position, Settings settings);

    TransitionTest(const char* name, Plain plain, int32_t geometryInput)
        : op(name), name_(name), plain_(plain), geometryInput_(geometryInput) {}

    void set(const Settings& s) {
        const auto& [first, second, third] = s;
        op.setValues({first, second, third});
    }
    void setSize(int32_t w, int32_t h) {
        host.input(0).setSize(w, h);
        host.input(1).setSize(w, h);
    }
    void setRegion(int32_t l, int32_t t, int32_t w, int32_t h) {
        host.input(0).setRegion(l, t, w, h);
        host.input(1).setRegion(l, t, w, h);
    }
    // Renders and returns the output, which must be the only one.
    ImageCopy render(uint32_t length, uint32_t position) {
        host.clearRecords();
        EXPECT_EQ(host.render(op.action(), length, position), 0);
        EXPECT_TRUE(host.violations().empty()) << host.violations().front();
        EXPECT_EQ(host.outputs().size(), 1u);
        return host.outputs().empty() ? ImageCopy{} : host.lastOutput();
    }
    size_t count(CallKind kind) const { return host.countCalls(kind); }
    std::vector<uint8_t> expected(uint32_t length, uint32_t position, const Settings& s) const {
        return plain_(host.servedField(0, int32_t(position)), host.servedField(1, int32_t(position)), length,
                      position, s);
    }
    static std::string described(const Settings& s) {
        const auto& [first, second, third] = s;
        return braced(first, second, third);
    }

    // Every size of kTransitionSizes, every setting, the positions of a run
    // of 20: the output is the plain version's, byte for byte.
    void expectPlainVersionAtOddSizes(const std::vector<Settings>& settings, std::initializer_list<uint32_t> positions) {
        const uint32_t length = 20;
        for (const FieldAndRegion& sz : kTransitionSizes) {
            setSize(sz.w, sz.h);
            setRegion(sz.l, sz.t, sz.rw, sz.rh);
            for (const Settings& s : settings) {
                set(s);
                for (uint32_t position : positions) {
                    const ImageCopy out = render(length, position);
                    const std::vector<uint8_t> want = expected(length, position, s);
                    ASSERT_EQ(out.pixels.size(), want.size());
                    EXPECT_EQ(std::memcmp(out.pixels.data(), want.data(), want.size()), 0)
                        << sz.w << "x" << sz.h << " settings " << described(s) << " position " << position;
                }
            }
        }
    }

    // The host calls of the last render at `position`: the geometry input's
    // field fetched first, then the other's, one opChkAbort for each of
    // `rowsDrawn` (rows times passes), the moving input's field released
    // and the other handed back.
    void expectCallSequence(uint32_t position, size_t rowsDrawn, int32_t movingInput) {
        const std::vector<HostCall>& calls = host.calls();
        ASSERT_EQ(calls.size(), 4 + rowsDrawn);
        EXPECT_EQ(calls[0].kind, CallKind::GetField);
        EXPECT_EQ(calls[0].args[0], geometryInput_);
        EXPECT_EQ(calls[0].args[1], int32_t(position));
        EXPECT_EQ(calls[1].kind, CallKind::GetField);
        EXPECT_EQ(calls[1].args[0], 1 - geometryInput_);
        EXPECT_EQ(count(CallKind::ChkAbort), rowsDrawn);
        const HostCall& freed = calls[calls.size() - 2];
        const HostCall& put = calls.back();
        EXPECT_EQ(freed.kind, CallKind::FreeImage);
        EXPECT_EQ(put.kind, CallKind::PutField);
        const bool movingFirst = movingInput == geometryInput_;
        EXPECT_EQ(freed.image, calls[movingFirst ? 0 : 1].image);
        EXPECT_EQ(put.image, calls[movingFirst ? 1 : 0].image);
    }

    // A failed fetch of either field, or a field of the other input that
    // cannot be combined with the geometry input's 10 x 6: one failure
    // record with the operator's file and `code`, -1, and nothing drawn or
    // handed back.
    struct Failure {
        int32_t failFetch;  // 0: none
        int32_t w, h;       // the other input's size
        size_t calls;
    };
    void expectFailuresWriteOneRecord(uint32_t code, std::initializer_list<Failure> failures) {
        for (const Failure& c : failures) {
            SCOPED_TRACE(testing::Message() << "fail fetch " << c.failFetch << ", " << c.w << "x" << c.h);
            host.input(geometryInput_).setSize(10, 6);
            host.input(1 - geometryInput_).setSize(c.w, c.h);
            host.clearRecords();
            if (c.failFetch > 0) host.failGetField(c.failFetch);
            EXPECT_EQ(host.render(op.action(), 20, 5), -1);
            ASSERT_EQ(host.logs().size(), 1u);
            EXPECT_EQ(host.logs()[0].file, "src\\" + name_);
            EXPECT_EQ(host.logs()[0].code, code);
            EXPECT_EQ(host.calls().size(), c.calls);
            EXPECT_EQ(count(CallKind::ChkAbort) + count(CallKind::PutField) + count(CallKind::FreeImage), 0u);
            EXPECT_TRUE(host.violations().empty());
        }
    }

    // Modes outside 0..1 act as mode 1: `base` (in mode 1) with its `mode`
    // replaced gives the same bytes on a 15 x 9 field.
    void expectOutOfRangeModesActAsModeOne(Settings base, int32_t Settings::*mode) {
        setSize(15, 9);
        set(base);
        const std::vector<uint8_t> mode1 = render(20, 6).pixels;
        for (int32_t value : {2, -1, INT32_MAX, INT32_MIN}) {
            base.*mode = value;
            set(base);
            EXPECT_EQ(render(20, 6).pixels, mode1) << value;
        }
    }

    // Lengths and positions outside the contract, with empty runs and
    // positions beyond the run: each render succeeds with one output
    // (nothing overflows or reads outside a field in the sanitizer build).
    void renderOutOfRangeRuns() {
        const std::pair<uint32_t, uint32_t> runs[] = {{0, 0}, {0, 5}, {20, 25}, {20, 0xFFFFFFFFu},
                                                      {0xFFFFFFFFu, 0xFFFFFFF0u}, {1, 1}};
        for (auto [length, position] : runs) render(length, position);
    }

    // Golden checksums (FNV-1a of the output bytes) for one fixed pair of
    // generated 97 x 61 fields, the geometry input's region inset, over a
    // run of 50. They were produced by this implementation; each entry is
    // also compared with the plain version, so a wrong entry cannot pass
    // unnoticed.
    struct Golden {
        Settings settings;
        uint32_t position;
        uint64_t hash;
    };
    void expectGoldenChecksums(std::initializer_list<Golden> table) {
        setSize(97, 61);
        host.input(geometryInput_).setRegion(4, 2, 88, 55);
        for (const Golden& c : table) {
            set(c.settings);
            const ImageCopy out = render(50, c.position);
            expectGolden(fnv1a(out.pixels), c.hash, described(c.settings), c.position);
            EXPECT_EQ(out.pixels, expected(50, c.position, c.settings)) << "position " << c.position;
        }
    }

    LoadedOperator op;
    RecordingHost host;

private:
    std::string name_;
    Plain plain_;
    int32_t geometryInput_;
};

}  // namespace fxtest
