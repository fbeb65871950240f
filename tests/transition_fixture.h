// The fixture the transition tests (Rotate, Rebound) share: the operator
// loaded, a recording host serving both inputs at one size, and renders
// that must succeed with exactly one output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "LoadedOperator.h"
#include "RecordingHost.h"

namespace fxtest {

class TransitionTest : public testing::Test {
protected:
    explicit TransitionTest(const char* name) : op(name) {}

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

    LoadedOperator op;
    RecordingHost host;
};

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

}  // namespace fxtest
