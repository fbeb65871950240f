// Fields whose strength leaves the processed picture without effect (strength
// 0 in Blur, Glow, Dye and Limelight; no displacement anywhere in Underwater)
// are rendered without the costly passes. Such a field must still come out
// byte for byte as the full computation gives it, and the host must see the
// same calls, with the same arguments and images, as on a field with effect.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "LoadedOperator.h"
#include "RecordingHost.h"

using namespace fxtest;

namespace {

// One host call with its image named by the order in which the render first
// used it, so that two renders' sequences can be compared.
struct CallShape {
    CallKind kind;
    int32_t args[4];
    int image;
    bool operator==(const CallShape& o) const {
        return kind == o.kind && image == o.image && args[0] == o.args[0] && args[1] == o.args[1] &&
               args[2] == o.args[2] && args[3] == o.args[3];
    }
};

std::vector<CallShape> shapeOf(const std::vector<HostCall>& calls) {
    std::map<const FieldImage*, int> order;
    std::vector<CallShape> shapes;
    for (const HostCall& call : calls) {
        int image = -1;
        if (call.image != nullptr) image = order.emplace(call.image, int(order.size())).first->second;
        // The position argument of getField differs between the two renders.
        const bool position = call.kind == CallKind::GetField;
        shapes.push_back({call.kind, {call.args[0], position ? 0 : call.args[1], call.args[2], call.args[3]},
                          image});
    }
    return shapes;
}

// What the full computation gives at strength 0 (or without displacement):
// every byte of the field, except that Glow makes the key opaque.
std::vector<uint8_t> unchanged(const ImageCopy& field) { return field.pixels; }
std::vector<uint8_t> opaqueKey(const ImageCopy& field) {
    std::vector<uint8_t> out = field.pixels;
    for (size_t i = 0; i < out.size(); i += 4) out[i] = 255;
    return out;
}

struct Case {
    const char* what;
    const char* name;
    std::function<void(LoadedOperator&)> settings;
    uint32_t length;
    uint32_t idle;     // a position without effect
    uint32_t working;  // a position with effect, for the host calls
    std::function<std::vector<uint8_t>(const ImageCopy&)> expected;
};

const Case kCases[] = {
    // Blur: every direction, small and large windows, strength 0 from the
    // start of a fade-in, from FADE_OUT_IN at percent 0, and from an unknown
    // fade mode (whose working position then does not exist: S = 0 there too,
    // so the same position serves both).
    {"Blur both, first field of the fade-in", "Blur", [](LoadedOperator&) {}, 100, 0, 60, unchanged},
    {"Blur rows", "Blur", [](LoadedOperator& op) { op.setValue(2, 0); }, 100, 0, 1, unchanged},
    {"Blur columns", "Blur", [](LoadedOperator& op) { op.setValue(2, 1); }, 100, 0, 99, unchanged},
    {"Blur no direction", "Blur", [](LoadedOperator& op) { op.setValue(2, 5); }, 100, 0, 70, unchanged},
    {"Blur largest window", "Blur", [](LoadedOperator& op) { op.setValue(1, 25); }, 10, 0, 5, unchanged},
    {"Blur FADE_OUT_IN at 0 percent", "Blur",
     [](LoadedOperator& op) { op.setValue(3, 0); op.setValue(4, 3); }, 10, 4, 4, unchanged},
    {"Blur FADE_OUT_IN hold", "Blur", [](LoadedOperator& op) { op.setValue(4, 3); }, 20, 10, 2, unchanged},
    {"Blur unknown fade mode", "Blur", [](LoadedOperator& op) { op.setValue(4, 4); }, 10, 3, 3, unchanged},
    // Glow: both gains, the key still becomes opaque.
    {"Glow first field", "Glow", [](LoadedOperator&) {}, 100, 0, 70, opaqueKey},
    {"Glow double gain", "Glow", [](LoadedOperator& op) { op.setValue(2, 1); }, 100, 0, 30, opaqueKey},
    {"Glow FADE_OUT_IN hold", "Glow", [](LoadedOperator& op) { op.setValue(4, 3); }, 20, 12, 1, opaqueKey},
    {"Glow unknown fade mode", "Glow", [](LoadedOperator& op) { op.setValue(4, 9); }, 10, 5, 5, opaqueKey},
    // Dye and Limelight: the first field of a run with a fade.
    {"Dye first field", "Dye", [](LoadedOperator&) {}, 100, 0, 50, unchanged},
    {"Dye full fade", "Dye", [](LoadedOperator& op) { op.setValue(2, 100); }, 10, 0, 9, unchanged},
    {"Limelight first field", "Limelight", [](LoadedOperator&) {}, 100, 0, 50, unchanged},
    {"Limelight hard edge", "Limelight", [](LoadedOperator& op) { op.setValue(2, 0); }, 10, 0, 3,
     unchanged},
    // Underwater: strength 0, and a strength above 0 whose displacements all
    // truncate to 0 (amplitude 1, S = 85: at most 2 * 85 / 1024 columns).
    {"Underwater first field", "Underwater", [](LoadedOperator&) {}, 100, 0, 50, unchanged},
    {"Underwater displacement below one pixel", "Underwater",
     [](LoadedOperator& op) { op.setValue(2, 1); }, 100, 1, 50, unchanged},
};

// Names the case in failure messages (the struct itself holds padding and
// functions, which gtest would otherwise print byte by byte).
void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }

class ZeroStrengthTest : public testing::TestWithParam<Case> {};

TEST_P(ZeroStrengthTest, SameBytesAndHostCallsAsTheFullComputation) {
    const Case& c = GetParam();
    if (!isBuiltOperator(c.name)) GTEST_SKIP() << c.name << " not built";
    LoadedOperator op(c.name);
    RecordingHost host;
    // Wide and high enough for the largest window, with a region inside.
    host.input(0).setSize(211, 61);
    c.settings(op);

    ASSERT_EQ(host.render(op.action(), c.length, c.working), 0) << c.what;
    const std::vector<CallShape> working = shapeOf(host.calls());
    const ImageCopy workingField = host.servedField(0, int32_t(c.working));
    const bool changed = host.lastOutput().pixels != c.expected(workingField);
    host.clearRecords();

    ASSERT_EQ(host.render(op.action(), c.length, c.idle), 0) << c.what;
    EXPECT_TRUE(host.lastOutput().pixels == c.expected(host.servedField(0, int32_t(c.idle)))) << c.what;
    EXPECT_TRUE(shapeOf(host.calls()) == working) << c.what;
    EXPECT_TRUE(host.violations().empty()) << c.what;
    if (c.working != c.idle) {
        EXPECT_TRUE(changed) << c.what << ": the working position shows no effect";
    }
    op.restoreParams();
}

INSTANTIATE_TEST_SUITE_P(Operators, ZeroStrengthTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.what;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

}  // namespace
