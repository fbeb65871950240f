// fieldfx render: a clip through one operator, from the command line's
// words to the closing summary line. The demo renders through it too.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Operator.h"
#include "Options.h"
#include "Render.h"

namespace fieldfx {

// The options of one render, as given.
struct RenderRequest {
    std::vector<std::string> inputs;
    std::string output;
    std::vector<std::string> settings;
    std::string from, length, region, scale, fieldOrder, pixFmt, duration, rate, chunk;
    // How a file ffmpeg writes is encoded (see Encoding.h).
    std::string codec, quality, audioCodec, encoderArgs;
    int jobs = 1;
    bool quiet = false;
    bool allowShort = false, noAudio = false;
    // When the command started, for the summary's time; by default when
    // renderClip is called.
    std::optional<std::chrono::steady_clock::time_point> started;
};

// Shown each frame of the output, with its index in the render.
using FrameWatch = std::function<void(int64_t index, const Picture& picture)>;

// Validates everything, then renders, then prints the summary line.
// Throws UserError.
RenderResult renderClip(OperatorLibrary& op, const RenderRequest& r, const FrameWatch& watch = nullptr);

// -j N: worker processes, 1..256; by default one per core but one.
int parseJobs(const Arguments& a);

int commandRender(const std::vector<std::string>& args);

}  // namespace fieldfx
