// Blur, Glow and Patina when the blur kernels cannot get their working
// memory: the render writes its failure record and returns -1, every image
// it took leaves it (nothing is handed back as output), and Patina's run
// goes on afterwards exactly as if the failed render had not been asked for.
//
// This program replaces the array forms of operator new and delete (for the
// whole process, the operator libraries included), so that the kernels'
// nothrow allocations can be refused. The host's images come from malloc and
// are never refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "LoadedOperator.h"
#include "RecordingHost.h"
#include "SourceLines.h"

namespace {
bool refuseNothrowArrays = false;
int refusedArrays = 0;
}  // namespace

void* operator new[](std::size_t size) {
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (refuseNothrowArrays) {
        ++refusedArrays;
        return nullptr;
    }
    return std::malloc(size != 0 ? size : 1);
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

using namespace fxtest;

namespace {

// Under valgrind its own allocator replaces operator new[] (this program's
// too), so no allocation can be refused there.
class BlurMemoryTest : public testing::Test {
protected:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        if (preload != nullptr && std::strstr(preload, "vgpreload") != nullptr) {
            GTEST_SKIP() << "valgrind replaces operator new[]";
        }
    }
};

// Refuses the kernels' memory while it lives.
struct NoWorkingMemory {
    NoWorkingMemory() { refuseNothrowArrays = true; refusedArrays = 0; }
    ~NoWorkingMemory() { refuseNothrowArrays = false; }
};

// One render of an effect with and without its working memory. With memory
// the output must differ from the field (the kernel ran); without, the
// render fails or (where the kernel needs no memory) gives the same bytes.
struct Case {
    const char* name;
    const char* source;  // the operator's source file
    const char* check;   // the text of the check of the kernel's result
    int32_t width, height;
    int32_t direction;  // Blur's blurDirection; -1 for Glow
    bool fails;
};

TEST_F(BlurMemoryTest, EffectsFailWithoutWorkingMemoryAndGiveBackTheirImages) {
    const Case cases[] = {
        // Both directions over a field wider than the row-by-row form takes.
        {"Blur", "ops/blur/src/Blur.cpp", "if (!BlurBothPictureMixed", 4100, 3, 2, true},
        // Both directions row by row, and one direction: no memory needed.
        {"Blur", "ops/blur/src/Blur.cpp", "", 97, 41, 2, false},
        {"Blur", "ops/blur/src/Blur.cpp", "", 4100, 3, 0, false},
        {"Blur", "ops/blur/src/Blur.cpp", "", 97, 41, 1, false},
        {"Glow", "ops/glow/src/Glow.cpp", "if (!BlurBoth(", 97, 41, -1, true},
        {"Glow", "ops/glow/src/Glow.cpp", "if (!BlurBoth(", 4100, 3, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                     " direction " + std::to_string(c.direction));
        LoadedOperator op(c.name);
        if (c.direction >= 0) op.choice(2)->value = c.direction;
        RecordingHost host;
        host.input(0).setSize(c.width, c.height);
        ASSERT_EQ(host.render(op.action(), 10, 9), 0) << (host.logs().empty() ? 0 : host.logs()[0].line);
        const ImageCopy reference = host.lastOutput();
        ASSERT_NE(reference.pixels, host.servedField(0, 9).pixels);
        host.clearRecords();

        int32_t result = 0;
        {
            NoWorkingMemory refused;
            result = host.render(op.action(), 10, 9);
        }
        EXPECT_TRUE(host.violations().empty()) << host.violations().front();
        EXPECT_EQ(host.heldImages(), 0u);
        if (!c.fails) {
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(host.logs().empty());
            EXPECT_EQ(host.lastOutput().pixels, reference.pixels);
            continue;
        }
        EXPECT_GT(refusedArrays, 0);
        EXPECT_EQ(result, -1);
        const std::vector<CallKind> calls = {CallKind::GetField, CallKind::AllocImage, CallKind::FreeImage,
                                             CallKind::FreeImage, CallKind::Log};
        EXPECT_EQ(host.callKinds(), calls);
        EXPECT_TRUE(host.outputs().empty());
        ASSERT_EQ(host.logs().size(), 1u);
        const LogRecord& record = host.logs()[0];
        EXPECT_EQ(record.level, 4);
        EXPECT_EQ(record.file, std::string("src\\") + c.name);
        EXPECT_EQ(record.text, " ");
        const int check = lineOf(c.source, c.check);
        ASSERT_GT(check, 0);
        EXPECT_GT(record.line, check);
        EXPECT_LE(record.line, check + 3);
        // The next render has its memory again.
        host.clearRecords();
        EXPECT_EQ(host.render(op.action(), 10, 9), 0);
        EXPECT_EQ(host.lastOutput().pixels, reference.pixels);
    }
}

// A Patina render that is due to make a new film picture and cannot get the
// softening's memory fails before it changes anything: rendered again, that
// field and every later one are those of a run without the failure. Renders
// that make no new picture need no memory.
TEST_F(BlurMemoryTest, PatinaWithoutWorkingMemoryLeavesTheRunAsItWas) {
    LoadedOperator patina("Patina");
    patina.choice(1)->value = 0;  // the oldest film, softened
    RecordingHost host;
    host.input(0).setSize(40, 20);
    auto start = [&] { return host.call(patina.action(), makeRequest(CMD_START, 1000, 0)); };
    auto finish = [&] { host.call(patina.action(), makeRequest(CMD_FINISH, 1000, 0)); };

    ASSERT_EQ(start(), 0);
    std::vector<ImageCopy> reference;
    for (uint32_t p = 0; p < 60; ++p) {
        ASSERT_EQ(host.render(patina.action(), 1000, p), 0);
        reference.push_back(host.lastOutput());
    }
    finish();

    host.clearRecords();
    ASSERT_EQ(start(), 0);
    int failed = 0;
    for (uint32_t p = 0; p < 60; ++p) {
        if (p == 0 || p == 4 || p == 25 || p == 50 || p == 51) {
            const size_t putsBefore = host.countCalls(CallKind::PutField);
            int32_t result = 0;
            {
                NoWorkingMemory refused;
                result = host.render(patina.action(), 1000, p);
            }
            if (result == -1) {
                ++failed;
                EXPECT_EQ(host.callKinds().back(), CallKind::Log);
                EXPECT_EQ(host.countCalls(CallKind::PutField), putsBefore);
            } else {
                EXPECT_EQ(result, 0);  // no new picture due: no memory asked for
                EXPECT_EQ(host.lastOutput().pixels, reference[p].pixels) << p;
            }
            if (result == 0) continue;
        }
        ASSERT_EQ(host.render(patina.action(), 1000, p), 0);
        EXPECT_EQ(host.lastOutput().pixels, reference[p].pixels) << p;
    }
    finish();
    EXPECT_GE(failed, 2);
    EXPECT_EQ(host.logs().size(), static_cast<size_t>(failed));
    for (const LogRecord& record : host.logs()) {
        EXPECT_EQ(record.file, "src\\Patina");
        EXPECT_EQ(record.code, 0x0B810000u);
    }
    EXPECT_TRUE(host.violations().empty()) << host.violations().front();
    EXPECT_EQ(host.heldImages(), 0u);
}

}  // namespace
