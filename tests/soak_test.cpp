// Every operator rendered many times in one process: the heap must not grow
// and nothing may be left held.
#include <gtest/gtest.h>
#include <malloc.h>

#include "LoadedOperator.h"
#include "RecordingHost.h"

using namespace fxtest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPlainHeap = false;  // the sanitizer's allocator keeps its own books
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPlainHeap = false;
#else
constexpr bool kPlainHeap = true;
#endif
#else
constexpr bool kPlainHeap = true;
#endif

size_t heapInUse() { return mallinfo2().uordblks; }

class Soak : public testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Soak, TenThousandRendersKeepMemoryStable) {
    LoadedOperator op(GetParam());
    RecordingHost host;
    host.input(0).setSize(24, 12);
    host.input(1).setSize(24, 12);
    constexpr uint32_t kLength = 50;
    auto run = [&](int renders) {
        for (int i = 0; i < renders; ++i) {
            const uint32_t position = uint32_t(i) % kLength;
            if (position == 0) host.call(op.action(), makeRequest(CMD_START, kLength, 0));
            ASSERT_EQ(host.render(op.action(), kLength, position), 0);
            if (position == kLength - 1) host.call(op.action(), makeRequest(CMD_FINISH, kLength, 0));
            ASSERT_TRUE(host.violations().empty()) << host.violations().front();
            if (i % 500 == 0) host.clearRecords();
        }
    };
    run(1000);  // warm up: the host's record vectors reach their size
    host.clearRecords();
    const size_t before = heapInUse();
    run(10000);
    host.clearRecords();
    const size_t after = heapInUse();
    EXPECT_EQ(host.heldImages(), 0u);
    if (kPlainHeap) {
        EXPECT_LT(after, before + 64 * 1024) << "heap grew from " << before << " to " << after;
    }
}

INSTANTIATE_TEST_SUITE_P(BuiltOperators, Soak, testing::ValuesIn(builtOperators()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });
