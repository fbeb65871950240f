// The fixture Blur and Glow share: both run a box window of 4 x size pixels
// (scaled on reduced-size renders) over a 97 x 41 field, mix the result in
// by the fade's strength, and hand back a scratch image. Their settings, in
// descriptor order: the size, a choice (Blur's direction, Glow's gain), the
// fade's percent and its mode.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "Bytes.h"
#include "FadeStrength.h"
#include "Golden.h"
#include "effect_fixture.h"

namespace fxtest {

class WindowEffectTest : public EffectTest {
protected:
    // The output the operator must give for `field` with window r, the
    // choice and strength s, written plainly.
    using Plain = std::vector<uint8_t> (*)(const ImageCopy& field, int32_t r, int32_t choice, uint32_t s);

    WindowEffectTest(const char* name, Plain plain) : EffectTest(name), plain_(plain) {
        host.input(0).setSize(97, 41);
    }

    void set(int32_t size, int32_t choice, int32_t percent, int32_t mode) {
        op.setValues({size, choice, percent, mode});
    }
    int32_t renderScaled(uint32_t length, uint32_t position, int16_t num, int16_t den) {
        OperatorRequest request = makeRequest(CMD_RENDER, length, position, FLAG_REDUCED_SIZE);
        request.scaleNum = num;
        request.scaleDen = den;
        return host.call(op.action(), request);
    }
    // The last render handed back exactly the plain version's bytes.
    void expectOutput(int32_t r, int32_t choice, uint32_t s, uint32_t position, const char* what) {
        ASSERT_EQ(host.outputs().size(), 1u) << what;
        EXPECT_TRUE(host.lastOutput().pixels == plain_(host.servedField(0, int32_t(position)), r, choice, s))
            << what << ": r " << r << " choice " << choice << " strength " << s;
        EXPECT_TRUE(host.violations().empty()) << what;
        host.clearRecords();
    }

    // The field is released and the scratch image handed back, and the
    // render returns what the host's put returned.
    void expectScratchImageHandedBack(int32_t putResult) {
        host.setPutResult(putResult);
        EXPECT_EQ(host.render(op.action(), 100, 60), putResult);
        expectFieldAndScratchCalls(true);
        EXPECT_TRUE(host.violations().empty());
    }

    // Exact output for a spread of settings on a 121 x 57 field, pinned as
    // checksums (FNV-1a with the recorded basis), each also compared with
    // the plain version.
    struct GoldenField {
        int32_t size, choice, percent, mode;
        uint32_t length, position;
        uint64_t sum;
    };
    void expectGoldenFields(std::initializer_list<GoldenField> table) {
        host.input(0).setSize(121, 57);
        for (const GoldenField& c : table) {
            set(c.size, c.choice, c.percent, c.mode);
            ASSERT_EQ(host.render(op.action(), c.length, c.position), 0);
            const int32_t s = FadeStrength(c.mode, c.percent, int32_t(c.length), int32_t(c.position));
            ASSERT_TRUE(host.lastOutput().pixels ==
                        plain_(host.servedField(0, int32_t(c.position)), 4 * c.size, c.choice, uint32_t(s)));
            expectGolden(fnv1a(host.lastOutput().pixels, kRecordedBasis), c.sum, c.size, c.choice, c.percent,
                         c.mode, c.length, c.position);
            host.clearRecords();
        }
    }

private:
    Plain plain_;
};

}  // namespace fxtest
