// The host libraries with and without a backend, and the recording host's
// own ownership checks.
#include <gtest/gtest.h>

#include <vector>

#include <cstdint>
#include <cstring>

#include "RecordingHost.h"

using namespace fxtest;

TEST(HostServices, FailSafelyWithNothingInstalled) {
    fieldfx::HostBackend* previous = fieldfx::installHostBackend(nullptr);
    EXPECT_EQ(opGetField(0, 0), nullptr);
    EXPECT_EQ(opAllocImage(-1, -1, 1, 0), nullptr);
    EXPECT_EQ(opPutField(nullptr), -1);
    EXPECT_EQ(opChkAbort(), 0);
    opFreeImage(nullptr);
    testing::internal::CaptureStderr();
    loggerMessage(4, 12, "src\\Dye", 0x0B7C0000u, " ");
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("src\\Dye line 12"), std::string::npos) << printed;
    EXPECT_NE(printed.find("0x0B7C0000"), std::string::npos) << printed;
    fieldfx::installHostBackend(previous);
}

TEST(HostServices, NewFieldImageIsBlackWithWholeRegion) {
    FieldImage* image = fieldfx::newFieldImage(3, 2);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 3);
    EXPECT_EQ(image->regionWidth, 3);
    EXPECT_EQ(image->regionHeight, 2);
    for (int i = 0; i < 6; ++i) {
        uint32_t word;
        std::memcpy(&word, image->pixels + 4 * i, 4);
        EXPECT_EQ(word, BLACK_PIXEL);
    }
    fieldfx::deleteFieldImage(image);
    EXPECT_EQ(fieldfx::newFieldImage(-1, 2), nullptr);
    EXPECT_EQ(fieldfx::newFieldImage(40000, 2), nullptr);
}

// Kept field memory: a freed image's block goes to the next image of its
// size (small and huge-page sizes alike), a reused image is still black and
// whole, other sizes get blocks of their own, and turning it off lets every
// kept block go.
TEST(HostServices, KeptFieldMemoryIsReusedBySize) {
    fieldfx::keepFieldMemory(true);
    const int32_t sizes[][2] = {{360, 144}, {1920, 540}, {2047, 1031}};
    for (const auto& size : sizes) {
        FieldImage* first = fieldfx::newFieldImage(size[0], size[1]);
        ASSERT_NE(first, nullptr);
        std::memset(first->pixels, 0x5A, size_t(size[0]) * size_t(size[1]) * 4);  // every byte is writable
        first->regionLeft = 7;
        fieldfx::deleteFieldImage(first);
        FieldImage* other = fieldfx::newFieldImage(size[0] + 1, size[1]);
        FieldImage* again = fieldfx::newFieldImage(size[0], size[1]);
        ASSERT_NE(other, nullptr);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again, first) << size[0] << "x" << size[1];
        EXPECT_EQ(again->regionLeft, 0);
        EXPECT_EQ(again->regionWidth, size[0]);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(again->pixels) % 16, 0u);
        const size_t last = (size_t(size[0]) * size_t(size[1]) - 1) * 4;
        uint32_t word;
        std::memcpy(&word, again->pixels + last, 4);
        EXPECT_EQ(word, BLACK_PIXEL);
        fieldfx::deleteFieldImage(other);
        fieldfx::deleteFieldImage(again);
    }
    // More freed images than are kept: the oldest go, the rest stay usable.
    std::vector<FieldImage*> many;
    for (int i = 0; i < 40; ++i) many.push_back(fieldfx::newFieldImage(400 + i, 200, false));
    for (FieldImage* image : many) fieldfx::deleteFieldImage(image);
    FieldImage* newest = fieldfx::newFieldImage(439, 200, false);
    EXPECT_EQ(newest, many.back());
    fieldfx::deleteFieldImage(newest);
    fieldfx::keepFieldMemory(false);
}

// The fill of new images, at every alignment the wide-character fill might
// meet and at counts around its register widths; nothing past the count moves.
TEST(HostServices, FillBlackSetsExactlyTheGivenPixels) {
    for (size_t offset : {0, 1, 2, 4, 12}) {
        for (size_t count : {0, 1, 3, 7, 8, 17, 64, 1001}) {
            std::vector<uint8_t> bytes(offset + count * 4 + 8, 0x55);
            fieldfx::fillBlack(bytes.data() + offset, count);
            for (size_t i = 0; i < bytes.size(); ++i) {
                const bool inside = i >= offset && i < offset + count * 4;
                const uint8_t expected = inside ? uint8_t(BLACK_PIXEL >> (8 * ((i - offset) % 4))) : 0x55;
                ASSERT_EQ(bytes[i], expected) << "offset " << offset << " count " << count << " byte " << i;
            }
        }
    }
    FieldImage* image = fieldfx::newFieldImage(5, 3, false);  // for images about to be overwritten
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->regionWidth, 5);
    EXPECT_EQ(image->regionHeight, 3);
    fieldfx::deleteFieldImage(image);
}

TEST(HostServices, ServicesReachTheInstalledBackend) {
    RecordingHost host;
    host.setPutResult(7);
    FieldImage* field = opGetField(0, 3);
    ASSERT_NE(field, nullptr);
    FieldImage* scratch = opAllocImage(-1, -1, 1, 0);
    ASSERT_NE(scratch, nullptr);
    opFreeImage(scratch);
    EXPECT_EQ(opPutField(field), 7);
    loggerMessage(4, 1, "f", 2, "t");
    std::vector<CallKind> expected{CallKind::GetField, CallKind::AllocImage, CallKind::FreeImage,
                                   CallKind::PutField, CallKind::Log};
    EXPECT_EQ(host.callKinds(), expected);
    EXPECT_EQ(host.logs().at(0).file, "f");
    EXPECT_TRUE(host.violations().empty());
}

// Operators that break the ownership rule in different ways; the recording
// host must notice each.
namespace {
int32_t g_behaviour = 0;

int32_t misbehavingOperator(OperatorRequest* request) {
    if (request->command != CMD_RENDER) return 0;
    FieldImage* field = opGetField(0, static_cast<int32_t>(request->position));
    FieldImage* scratch = opAllocImage(-1, -1, 1, 0);
    switch (g_behaviour) {
    case 0:  opFreeImage(field); return opPutField(scratch);                        // correct
    case 1:  opFreeImage(field); opFreeImage(field); return opPutField(scratch);    // double free
    case 2:  return opPutField(scratch);                                            // field never freed
    case 3:  { int32_t r = opPutField(scratch); opFreeImage(field); return r; }     // free after put
    case 4:  opFreeImage(field); opPutField(scratch); return opPutField(scratch);   // put twice
    case 5:  opFreeImage(field); opFreeImage(scratch); return 0;                    // nothing put, all freed
    case 6:  opFreeImage(scratch); opGetField(0, 99); return opPutField(field);     // wrong position
    default: return -1;
    }
}
}  // namespace

TEST(RecordingHost, CatchesOwnershipViolations) {
    struct Case {
        int behaviour;
        bool violates;
    };
    const Case cases[] = {{0, false}, {1, true}, {2, true}, {3, true}, {4, true}, {6, true}};
    for (const Case& c : cases) {
        RecordingHost host;
        g_behaviour = c.behaviour;
        host.render(misbehavingOperator, 10, 2);
        EXPECT_EQ(!host.violations().empty(), c.violates) << "behaviour " << c.behaviour;
        EXPECT_EQ(host.heldImages(), 0u) << "behaviour " << c.behaviour;
    }
}

TEST(RecordingHost, InjectsFailuresAndReclaimsAfterAFailedRender) {
    RecordingHost host;
    host.failAllocImage(1);
    g_behaviour = 0;
    FieldImage* first = opGetField(0, 0);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(opAllocImage(-1, -1, 1, 0), nullptr);
    EXPECT_NE(opAllocImage(-1, -1, 1, 0), nullptr);
    host.failGetField(2);
    EXPECT_NE(opGetField(0, 0), nullptr);
    EXPECT_EQ(opGetField(0, 0), nullptr);
    host.failGetField(1);
    host.render(misbehavingOperator, 10, 2);  // crashes nowhere, holds nothing afterwards
    EXPECT_EQ(host.heldImages(), 3u);         // the three obtained outside any command
}

TEST(RecordingHost, ServesTheGeometryAndContentItWasGiven) {
    RecordingHost host;
    host.input(1).setSize(5, 3);
    host.input(1).setRegion(1, 1, 2, 1);
    host.input(1).content = [](int32_t, int32_t position, int32_t x, int32_t y) {
        return uint32_t(position * 100 + y * 10 + x);
    };
    FieldImage* field = opGetField(1, 4);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->width, 5);
    EXPECT_EQ(field->height, 3);
    EXPECT_EQ(field->regionLeft, 1);
    EXPECT_EQ(field->regionWidth, 2);
    uint32_t word;
    std::memcpy(&word, field->pixels + 4 * (2 * 5 + 3), 4);
    EXPECT_EQ(word, 423u);
    EXPECT_EQ(host.servedField(1, 4).pixel(3, 2), 423u);
    opFreeImage(field);
}
