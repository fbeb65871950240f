// The instruction-set level: what FIELDFX_ISA asks for, capped by the
// processor, and that the level of a process follows the variable.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "IsaLevel.h"

namespace {

TEST(IsaLevel, AskedLevelIsCappedByTheProcessor) {
    using L = IsaLevel;
    struct Case {
        const char* asked;
        L best;
        L expected;
    };
    const Case cases[] = {
        // Unset, empty and unknown values give the processor's best.
        {nullptr, L::Avx2, L::Avx2}, {nullptr, L::Sse2, L::Sse2}, {"", L::Avx2, L::Avx2},
        {"avx512", L::Avx2, L::Avx2}, {"sse", L::Ssse3, L::Ssse3}, {"sse2 ", L::Avx2, L::Avx2},
        {"avx2x", L::Sse2, L::Sse2}, {"scalar\n", L::Avx2, L::Avx2},
        // Each known level, below, at and above what the processor has.
        {"scalar", L::Avx2, L::Scalar}, {"scalar", L::Scalar, L::Scalar}, {"sse2", L::Avx2, L::Sse2},
        {"sse2", L::Scalar, L::Scalar}, {"ssse3", L::Avx2, L::Ssse3}, {"ssse3", L::Sse2, L::Sse2},
        {"avx2", L::Avx2, L::Avx2}, {"avx2", L::Ssse3, L::Ssse3},
        // Letters of either case.
        {"AVX2", L::Avx2, L::Avx2}, {"SSSE3", L::Avx2, L::Ssse3}, {"Scalar", L::Sse2, L::Scalar},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cappedIsaLevel(c.asked, c.best), c.expected)
            << (c.asked != nullptr ? c.asked : "(unset)") << " on level " << static_cast<int>(c.best);
    }
}

// CI runs the exactness tests once per level with FIELDFX_ISA set; this
// checks that the level of the process is then the one asked for (or the
// processor's best where it has less).
TEST(IsaLevel, ProcessFollowsTheEnvironment) {
    const char* asked = std::getenv("FIELDFX_ISA");
    const IsaLevel best = processorIsaLevel();
    EXPECT_EQ(isaLevel(), cappedIsaLevel(asked, best));
    if (asked == nullptr) {
        EXPECT_EQ(isaLevel(), best);
    } else if (std::string(asked) == "scalar") {
        EXPECT_EQ(isaLevel(), IsaLevel::Scalar);
    }
    EXPECT_TRUE(isaAllows(IsaLevel::Scalar));
    EXPECT_EQ(isaAllows(IsaLevel::Avx2), isaLevel() == IsaLevel::Avx2);
}

}  // namespace
