#include "Audio.h"

#include <cstdio>

namespace fieldfx {

namespace {

std::string seconds(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

// A linear fade in or out over the whole run, of which the plan's range is
// the stretch from runOffset seconds on.
std::string fade(const AudioPlan& plan, bool in) {
    if (plan.runSeconds <= 0) {
        return std::string("afade=t=") + (in ? "in" : "out") + ":st=0:d=" + seconds(plan.seconds);
    }
    const std::string share = "(t+" + seconds(plan.runOffset) + ")/" + seconds(plan.runSeconds);
    return "volume=eval=frame:volume='" + (in ? "min(1," + share + ")" : "max(0,1-" + share + ")") + "'";
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
    // A chunk of a run fades as that stretch of the whole run's fade does.
    std::string graph;
    if (plan.crossfade && plan.inputs.size() == 2) {
        graph = "[1:a:0]asetpts=PTS-STARTPTS," + fade(plan, false) + "[out];" +
                "[2:a:0]asetpts=PTS-STARTPTS," + fade(plan, true) + "[in];" +
                "[out][in]amix=inputs=2:duration=longest:normalize=0[audio]";
    } else if (plan.fade != 0) {
        graph = "[1:a:0]asetpts=PTS-STARTPTS," + fade(plan, plan.fade > 0) + "[audio]";
    } else {
        graph = "[1:a:0]asetpts=PTS-STARTPTS[audio]";
    }
    args.insert(args.end(), {"-filter_complex", graph});
    return args;
}

}  // namespace fieldfx
