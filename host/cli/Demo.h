// The built-in demo material: two generated interlaced clips (no binary
// assets) and the contact sheet that shows what each operator made of them.
#pragma once

#include <string>
#include <vector>

#include "Png.h"
#include "Video.h"

namespace fieldfx {

// 720 x 576, interlaced top field first, 25 frames a second, 4:2:0.
VideoFormat demoFormat();

// Frame `frame` of demo clip 0 (colour bars, a moving gradient, a bright
// disc travelling across, fine detail) or clip 1 (a second picture for the
// transitions: moving diagonal stripes and a checkerboard). Each field is
// drawn at its own moment, as a camera would record it.
Picture demoFrame(int clip, int frame, const VideoFormat& format);

// A thumbnail of a picture, averaged down to width x height.
RgbaImage thumbnail(const Picture& picture, int width, int height);

struct SheetRow {
    std::string label;
    std::vector<RgbaImage> thumbnails;
};

// One labelled row per entry, the column headings above.
RgbaImage contactSheet(const std::vector<std::string>& headings, const std::vector<SheetRow>& rows);

}  // namespace fieldfx
