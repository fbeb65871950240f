// A Patina library loaded into a recording host, with its four settings, the
// three commands and whole runs; shared by the Patina test programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "LoadedOperator.h"
#include "RecordingHost.h"

namespace fxtest {

class PatinaTest : public testing::Test {
protected:
    PatinaTest() : patina("Patina") {}
    ~PatinaTest() override { finish(); }

    void set(int32_t age, int32_t tint, int32_t contrast, int32_t condition) {
        patina.setValues({age, tint, contrast, condition});
    }
    int32_t start(uint8_t flags = 0, int16_t num = 1, int16_t den = 1) {
        OperatorRequest request = makeRequest(CMD_START, 1000, 0, flags);
        request.scaleNum = num;
        request.scaleDen = den;
        return host.call(patina.action(), request);
    }
    void finish() { host.call(patina.action(), makeRequest(CMD_FINISH, 1000, 0)); }
    int32_t render(uint32_t position, uint8_t flags = 0) {
        return host.render(patina.action(), 1000, position, flags);
    }
    // A whole run: start, one render for each of `positions` in order,
    // finish; the outputs.
    std::vector<ImageCopy> runCalls(const std::vector<uint32_t>& positions, uint8_t flags = 0,
                                    int16_t num = 1, int16_t den = 1) {
        host.clearRecords();
        EXPECT_EQ(start(flags, num, den), 0);
        for (uint32_t p : positions) EXPECT_EQ(render(p, flags), 0);
        finish();
        EXPECT_TRUE(host.violations().empty()) << host.violations().front();
        return host.outputs();
    }
    // A whole run from position 0 to fields - 1.
    std::vector<ImageCopy> run(uint32_t fields, uint8_t flags = 0, int16_t num = 1, int16_t den = 1) {
        std::vector<uint32_t> positions(fields);
        for (uint32_t p = 0; p < fields; ++p) positions[p] = p;
        return runCalls(positions, flags, num, den);
    }

    LoadedOperator patina;
    RecordingHost host;
};

}  // namespace fxtest
