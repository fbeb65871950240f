#include "Audio.h"

#include <cstdio>

namespace fieldfx {

namespace {

std::string seconds(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

}  // namespace

std::vector<std::string> audioArguments(const AudioPlan& plan) {
    if (plan.inputs.empty() || plan.seconds <= 0) return {};
    std::vector<std::string> args;
    for (const std::string& input : plan.inputs) {
        args.insert(args.end(), {"-ss", seconds(plan.start), "-t", seconds(plan.seconds), "-i", input});
    }
    // Each input's sound from the start of the range; a transition's two
    // cross over the run, the outgoing fading out as the incoming fades in.
    const std::string length = seconds(plan.seconds);
    std::string graph;
    if (plan.crossfade && plan.inputs.size() == 2) {
        graph = "[1:a:0]asetpts=PTS-STARTPTS,afade=t=out:st=0:d=" + length + "[out];" +
                "[2:a:0]asetpts=PTS-STARTPTS,afade=t=in:st=0:d=" + length + "[in];" +
                "[out][in]amix=inputs=2:duration=longest:normalize=0[audio]";
    } else if (plan.fade != 0) {
        graph = std::string("[1:a:0]asetpts=PTS-STARTPTS,afade=t=") + (plan.fade < 0 ? "out" : "in") +
                ":st=0:d=" + length + "[audio]";
    } else {
        graph = "[1:a:0]asetpts=PTS-STARTPTS[audio]";
    }
    args.insert(args.end(), {"-filter_complex", graph});
    return args;
}

}  // namespace fieldfx
