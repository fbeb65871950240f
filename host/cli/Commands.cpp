#include "Commands.h"

#include <cstdio>
#include <new>

#include "Catalogue.h"
#include "DemoCommand.h"
#include "Error.h"
#include "HelpTexts.h"
#include "Join.h"
#include "Operator.h"
#include "Options.h"
#include "RenderCommand.h"
#include "Stop.h"
#include "Values.h"

namespace fieldfx {

namespace {

std::string padRight(const std::string& s, size_t width) { return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' '); }

// ---------------------------------------------------------------------------
// list and info

int commandList(const std::vector<std::string>& args) {
    const Arguments a = parseArguments(args, {"--ops"}, {}, "list");
    if (!a.positional.empty()) throw UserError("list", "takes no arguments");
    const auto ops = listOperators(operatorSearchPath(a.value("--ops")));
    if (ops.empty()) throw UserError("list", "no operators found (build them, or point --ops or FIELDFX_OPS at them)");
    for (const auto& op : ops) {
        std::string description = operatorDescription(*op);
        if (description.empty()) description = "(no description)";
        std::printf("%s%s%s\n", padRight(op->name(), 12).c_str(), padRight(op->isTransition() ? "transition" : "effect", 12).c_str(),
                    description.c_str());
    }
    return 0;
}

// The lines under a parameter that say what its values are: the range of a
// slider, one entry a line for a choice, the form of colours and points.
std::vector<std::string> valueLines(const Parameter& p) {
    switch (p.kind()) {
    case PARAM_SLIDER:
        return {"range " + std::to_string(p.slider()->minimum) + ".." + std::to_string(p.slider()->maximum) +
                ", whole numbers"};
    case PARAM_CHOICE: {
        std::vector<std::string> lines;
        if (p.style() == CHOICE_STYLE_NUMBERS) {
            lines.push_back("one of these numbers (the number itself is the value; --set takes it, or its index):");
        } else {
            lines.push_back("one of (--set takes the index or the text):");
        }
        for (size_t i = 0; i < p.entries.size(); ++i) {
            lines.push_back("  " + std::to_string(i) + "  " +
                            (p.style() == CHOICE_STYLE_NUMBERS ? std::to_string(p.entries[i]) : catalogueText(p.entries[i])));
        }
        return lines;
    }
    case PARAM_COLOR:
        return {"#RRGGBB, stored as the bytes key, Cr (red difference), Cb (blue difference), Y' (brightness),",
                "converted with BT.601 in limited range (Y' 16..235, Cb and Cr 16..240)"};
    case PARAM_POINT: return {"X,Y: a column and a row in field pixels"};
    default: return {};
    }
}

int commandInfo(const std::vector<std::string>& args) {
    const Arguments a = parseArguments(args, {"--ops"}, {}, "info");
    if (a.positional.size() != 1) throw UserError("info", "name one operator (fieldfx info OPERATOR)");
    const auto op = findOperator(a.positional[0], operatorSearchPath(a.value("--ops")));
    std::printf("%s: %s", op->name().c_str(), op->isTransition() ? "transition (two inputs)" : "effect (one input)");
    const std::string description = operatorDescription(*op);
    if (!description.empty()) std::printf(", %s", description.c_str());
    std::printf("\nlibrary: %s\n", op->path().c_str());
    const std::string region = operatorRegionUse(op->name());
    std::printf("region (--region): %s\n\n", region.empty() ? "not known for this operator" : region.c_str());
    for (const Parameter& p : op->parameters()) {
        std::string label = catalogueText(p.label());
        if (p.kind() == PARAM_SLIDER) label += " (" + catalogueText(p.slider()->text2) + ")";
        std::printf("%s  %s: %s\n", p.name.c_str(), kindName(p.kind()).c_str(), label.c_str());
        std::printf("    initial: %s\n", describeValue(p, readValue(p)).c_str());
        for (const std::string& line : valueLines(p)) std::printf("    %s\n", line.c_str());
    }
    return 0;
}

int commandJoin(const std::vector<std::string>& args) {
    const Arguments a = parseArguments(args, {}, {}, "join");
    if (a.positional.size() < 2) throw UserError("join", "usage: fieldfx join OUTPUT CHUNK...");
    joinChunks(a.positional[0], std::vector<std::string>(a.positional.begin() + 1, a.positional.end()));
    return 0;
}

struct Command {
    const char* name;
    const char* help;
    int (*run)(const std::vector<std::string>& args);
};

const Command kCommands[] = {
    {"list", kListHelp, commandList},       {"info", kInfoHelp, commandInfo},
    {"render", kRenderHelp, commandRender}, {"join", kJoinHelp, commandJoin},
    {"demo", kDemoHelp, commandDemo},
};

bool wantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

}  // namespace

int runFieldfx(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "--version") {
        std::printf("fieldfx %s\n", FIELDFX_VERSION);
        return 0;
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    try {
        for (const Command& c : kCommands) {
            if (command != c.name) continue;
            if (wantsHelp(rest)) return std::fputs(c.help, stdout), 0;
            return c.run(rest);
        }
        std::fprintf(stderr, "fieldfx: %s: unknown command\n%s", command.c_str(), kUsage);
        return 2;
    } catch (const UserError& e) {
        std::fprintf(stderr, "fieldfx: %s\n", e.what());
        return g_abortRequested ? stopExitStatus() : 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "fieldfx: %s: out of memory\n", command.c_str());
        return 1;
    }
}

}  // namespace fieldfx
