// The audio that goes with a render written through ffmpeg: the inputs' own
// sound, cut to the rendered range so that it stays in sync with the picture.
#pragma once

#include <string>
#include <vector>

#include "Sinks.h"

namespace fieldfx {

// ffmpeg arguments that add the plan's inputs after the picture (input 0)
// and make their sound the filter output "[audio]": one input cut to the
// range, or for a transition the first input's sound fading out while the
// second's fades in over the whole run. Empty when there is no audio.
std::vector<std::string> audioArguments(const AudioPlan& plan);

}  // namespace fieldfx
