// The interface every operator library shares, checked for each operator
// that the build produced: tag list, descriptor layout and text ids,
// exports and imports, command dispatch and the failure record.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "Bytes.h"
#include "LoadedOperator.h"
#include "RecordingHost.h"

using namespace fxtest;

namespace {

struct OperatorFacts {
    const char* name;
    int number;  // fixes the text-id block and the message code
    uintptr_t inputs;
    int params;
    const char* source;
    uint32_t code;
    std::set<std::string> hostLibraries;
};

const OperatorFacts kOperators[] = {
    {"Blur", 1, 1, 4, "src\\Blur", 0x0B7A0000u, {"hostcore", "hostimage", "logger"}},
    {"Rebound", 2, 0, 3, "src\\Rebound", 0x0B7B0000u, {"hostcore", "hostimage", "logger"}},
    {"Dye", 3, 1, 2, "src\\Dye", 0x0B7C0000u, {"hostcore", "logger"}},
    {"Glow", 4, 1, 4, "src\\Glow", 0x0B7D0000u, {"hostcore", "hostimage", "logger"}},
    {"Limelight", 5, 1, 4, "src\\Limelight", 0x0B7E0000u, {"hostcore", "hostimage", "logger"}},
    {"Underwater", 6, 1, 4, "src\\Underwater", 0x0B7F0000u, {"hostcore", "hostimage", "logger"}},
    {"Rotate", 7, 0, 3, "src\\Rotate", 0x0B800000u, {"hostcore", "hostimage", "logger"}},
    {"Patina", 8, 1, 4, "src\\Patina", 0x0B810000u, {"hostcore", "hostimage", "logger"}},
};

void PrintTo(const OperatorFacts& facts, std::ostream* out) { *out << facts.name; }

std::string commandOutput(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) out += buffer;
    return out;
}

class OperatorInterface : public testing::TestWithParam<OperatorFacts> {
protected:
    void SetUp() override {
        if (!isBuiltOperator(GetParam().name)) GTEST_SKIP() << GetParam().name << " is not part of this build";
        op = std::make_unique<LoadedOperator>(GetParam().name);
    }
    std::unique_ptr<LoadedOperator> op;
};

std::string operatorName(const testing::TestParamInfo<OperatorFacts>& info) { return info.param.name; }

}  // namespace

TEST_P(OperatorInterface, TagListHasTheFixedPairsInOrder) {
    const OperatorFacts& facts = GetParam();
    const uintptr_t* tags = op->tagList();
    const size_t pairs = 5 + size_t(facts.params);
    EXPECT_EQ(tags[2 * pairs], 0u) << "one terminating word after the last pair";
    const uintptr_t expectedTags[] = {0x4F504500, 0x4F504501, 0x4F504503, 0x4F504510, 0x4F50450D,
                                      0x4F504504, 0x4F504505, 0x4F504506, 0x4F504507};
    for (size_t i = 0; i < pairs; ++i) EXPECT_EQ(tags[2 * i], expectedTags[i]) << "pair " << i;
    EXPECT_EQ(tags[1], 0u);
    EXPECT_EQ(tags[3], facts.inputs);
    EXPECT_EQ(tags[5], reinterpret_cast<uintptr_t>(op->action()));
    EXPECT_EQ(tags[9], 2u);
    const std::string revision = reinterpret_cast<const char*>(tags[7]);
    EXPECT_EQ(revision.rfind("$Id: ", 0), 0u) << revision;
    EXPECT_NE(revision.find(facts.name), std::string::npos) << revision;
    EXPECT_NE(revision.find(" 1.0 2014/03/24"), std::string::npos) << revision;
    EXPECT_EQ(revision.substr(revision.size() - 2), " $") << revision;
}

TEST_P(OperatorInterface, DescriptorsFollowTheTextIdScheme) {
    const OperatorFacts& facts = GetParam();
    for (int p = 1; p <= facts.params; ++p) {
        const void* d = op->param(p);
        ASSERT_NE(d, nullptr);
        const uint16_t kind = readAt<uint16_t>(d, 0);
        const uint16_t label = readAt<uint16_t>(d, 2);
        const uint32_t style = readAt<uint32_t>(d, 4);
        EXPECT_EQ(label, 100 * facts.number + 10 * p) << "parameter " << p;
        switch (kind) {
        case PARAM_CHOICE: {
            EXPECT_LE(style, 1u);
            const auto* entries = reinterpret_cast<const uint32_t*>(readAt<uintptr_t>(d, 8));
            ASSERT_NE(entries, nullptr);
            if (style == 0) {
                for (uint32_t i = 0; entries[i] != 0; ++i) EXPECT_EQ(entries[i], label + 1 + i);
            }
            break;
        }
        case PARAM_COLOR: EXPECT_EQ(style, 0u); break;
        case PARAM_SLIDER:
            EXPECT_EQ(style, 0u);
            EXPECT_EQ(readAt<uint32_t>(d, 8), label + 1u) << "second text";
            EXPECT_EQ(readAt<uint32_t>(d, 12), 0u) << "reserved";
            EXPECT_LE(readAt<int32_t>(d, 16), readAt<int32_t>(d, 24));
            EXPECT_LE(readAt<int32_t>(d, 24), readAt<int32_t>(d, 20));
            break;
        case PARAM_POINT: EXPECT_EQ(style, 2u); break;
        default: ADD_FAILURE() << "unknown kind " << kind;
        }
    }
}

TEST_P(OperatorInterface, ExportsExactlyItsEntryPointsAndImportsItsHostLibraries) {
    const std::string path = operatorLibraryPath(GetParam().name);
    std::set<std::string> exported;
    std::stringstream symbols(commandOutput("nm -D --defined-only '" + path + "'"));
    for (std::string line; std::getline(symbols, line);) {
        const std::string name = line.substr(line.rfind(' ') + 1);
        const char type = line.size() > 17 ? line[17] : '?';
        if (type != 'A') exported.insert(name);  // absolute symbols are version nodes
    }
    // Patina alone adds the optional OperatorReplay.
    std::set<std::string> expected{"GetOperatorInfo", "OperatorAction"};
    if (std::string(GetParam().name) == "Patina") expected.insert("OperatorReplay");
    EXPECT_EQ(exported, expected);

    std::set<std::string> hostNeeded;
    std::stringstream dynamic(commandOutput("objdump -p '" + path + "'"));
    for (std::string line; std::getline(dynamic, line);) {
        for (const char* lib : {"hostcore", "hostimage", "logger"}) {
            if (line.find("NEEDED") != std::string::npos &&
                line.find(std::string("lib") + lib + ".so") != std::string::npos) {
                hostNeeded.insert(lib);
            }
        }
    }
    EXPECT_EQ(hostNeeded, GetParam().hostLibraries);
}

TEST_P(OperatorInterface, CommandsWithoutWorkReturnZeroAndCallNothing) {
    RecordingHost host;
    const bool hasRunState = std::string(GetParam().name) == "Patina";
    for (uint16_t command : {0, 1, 2, 4, 5, 6, 7, 8, 100, 65535}) {
        if (hasRunState && (command == CMD_START || command == CMD_FINISH)) continue;
        host.clearRecords();
        EXPECT_EQ(host.call(op->action(), makeRequest(command, 10, 3)), 0) << "command " << command;
        EXPECT_TRUE(host.calls().empty()) << "command " << command;
    }
    EXPECT_EQ(op->action()(nullptr), 0);
}

TEST_P(OperatorInterface, GetOperatorInfoIsStableAndShowsWrittenValues) {
    RecordingHost host;
    uintptr_t* before = op->info()();
    auto* head = op->param(1);
    const size_t valueOffset = head->kind == PARAM_CHOICE ? offsetof(ChoiceParam, value)
                             : head->kind == PARAM_SLIDER ? offsetof(SliderParam, value)
                                                          : 8;
    writeAt<uint8_t>(head, valueOffset, 1);
    host.render(op->action(), 10, 5);
    EXPECT_EQ(op->info()(), before);
    EXPECT_EQ(readAt<uint8_t>(reinterpret_cast<void*>(before[11]), valueOffset), 1);
}

TEST_P(OperatorInterface, FailedFetchWritesOneFailureRecord) {
    const OperatorFacts& facts = GetParam();
    RecordingHost host;
    const bool hasRunState = std::string(facts.name) == "Patina";
    if (hasRunState) {
        ASSERT_EQ(host.call(op->action(), makeRequest(CMD_START, 10, 0)), 0);
    }
    host.clearRecords();
    host.failGetField(1);
    EXPECT_EQ(host.render(op->action(), 10, 2), -1);
    ASSERT_EQ(host.logs().size(), 1u);
    const LogRecord& record = host.logs()[0];
    EXPECT_EQ(record.level, 4);
    EXPECT_EQ(record.file, facts.source);
    EXPECT_EQ(record.code, facts.code);
    EXPECT_EQ(record.text, " ");
    EXPECT_GT(record.line, 0);
    for (const HostCall& call : host.calls()) EXPECT_NE(call.kind, CallKind::PutField);
    if (hasRunState) host.call(op->action(), makeRequest(CMD_FINISH, 10, 0));
    EXPECT_TRUE(host.violations().empty()) << host.violations().front();
}

TEST_P(OperatorInterface, RenderReturnsWhatPutFieldReturned) {
    RecordingHost host;
    const bool hasRunState = std::string(GetParam().name) == "Patina";
    if (hasRunState) {
        ASSERT_EQ(host.call(op->action(), makeRequest(CMD_START, 10, 0)), 0);
    }
    for (int32_t result : {0, 1, 42, -1, -7, INT32_MIN, INT32_MAX}) {
        host.setPutResult(result);
        EXPECT_EQ(host.render(op->action(), 10, 4), result);
    }
    if (hasRunState) host.call(op->action(), makeRequest(CMD_FINISH, 10, 0));
    EXPECT_TRUE(host.violations().empty()) << host.violations().front();
}

INSTANTIATE_TEST_SUITE_P(AllOperators, OperatorInterface, testing::ValuesIn(kOperators), operatorName);
