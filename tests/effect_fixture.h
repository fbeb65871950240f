// The fixture the effect tests (Blur, Glow, Dye, Limelight, Underwater)
// share: the operator loaded, a recording host serving input 0, and the
// checks every effect that fetches its field and takes a scratch image must
// pass: the order of its host calls, both failure paths and fields without
// pixels.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "LoadedOperator.h"
#include "RecordingHost.h"
#include "SourceLines.h"

namespace fxtest {

class EffectTest : public testing::Test {
protected:
    explicit EffectTest(const char* name) : op(name), name_(name) {}

    // The host calls of the last render: the field fetched, a scratch image
    // taken, then one of the two released and the other handed back.
    void expectFieldAndScratchCalls(bool scratchIsTheResult) {
        ASSERT_EQ(host.callKinds(), (std::vector<CallKind>{CallKind::GetField, CallKind::AllocImage,
                                                           CallKind::FreeImage, CallKind::PutField}));
        const std::vector<HostCall>& calls = host.calls();
        EXPECT_EQ(calls[2].image, calls[scratchIsTheResult ? 0 : 1].image) << "released";
        EXPECT_EQ(calls[3].image, calls[scratchIsTheResult ? 1 : 0].image) << "handed back";
    }

    // A render whose field cannot be fetched, then one whose scratch image
    // cannot be had: each returns -1 and writes one failure record (level 4,
    // the operator's file and `code`, no text) naming the line of its own
    // check in the operator's source, and stops there: nothing is released
    // or handed back.
    void expectFailurePaths(uint32_t code, uint32_t length, uint32_t position) {
        const std::string source = "ops/" + lowerCase(name_) + "/src/" + name_ + ".cpp";
        const int fetchLine = lineOf(source, "field == nullptr");
        const int allocLine = lineOf(source, "scratch == nullptr");
        ASSERT_GT(fetchLine, 0) << source;
        ASSERT_GT(allocLine, fetchLine) << source;
        for (bool fetch : {true, false}) {
            SCOPED_TRACE(fetch ? "failed fetch" : "no scratch image");
            host.clearRecords();
            if (fetch) host.failGetField(); else host.failAllocImage();
            EXPECT_EQ(host.render(op.action(), length, position), -1);
            const std::vector<CallKind> upToTheFailure =
                fetch ? std::vector<CallKind>{CallKind::GetField, CallKind::Log}
                      : std::vector<CallKind>{CallKind::GetField, CallKind::AllocImage, CallKind::Log};
            EXPECT_EQ(host.callKinds(), upToTheFailure);
            EXPECT_TRUE(host.outputs().empty());
            EXPECT_TRUE(host.violations().empty());
            ASSERT_EQ(host.logs().size(), 1u);
            const LogRecord& record = host.logs()[0];
            EXPECT_EQ(record.line, fetch ? fetchLine : allocLine);
            EXPECT_EQ(record.level, 4);
            EXPECT_EQ(record.file, "src\\" + name_);
            EXPECT_EQ(record.code, code);
            EXPECT_EQ(record.text, " ");
        }
    }

    // Fields without pixels (a width or height of 0 or below), rendered by
    // `render` (by default at position 5 of 10): the render succeeds and
    // hands back one image of the field's width, and every image leaves once.
    void expectEmptyFieldsHandedBack(const std::function<int32_t()>& render = nullptr) {
        for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-4, 3}, {3, -4}, {-3, 4}, {4, -3}, {-1, -1}}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h);
            host.input(0).setSize(w, h);
            host.clearRecords();
            EXPECT_EQ(render ? render() : host.render(op.action(), 10, 5), 0);
            ASSERT_EQ(host.outputs().size(), 1u);
            EXPECT_EQ(host.lastOutput().width, w);
            EXPECT_TRUE(host.violations().empty());
        }
    }

    LoadedOperator op;
    RecordingHost host;

private:
    static std::string lowerCase(std::string text) {
        for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }
    std::string name_;
};

}  // namespace fxtest
