// What the module hands to the render of one frame of one service: the MLT
// frame(s) and image(s), where the frame lies in the service's run, the
// frame's scan and the settings of every operator parameter.
#pragma once

#include <framework/mlt.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Services.h"
#include "Values.h"
#include "Video.h"

namespace fieldfx::mlt {

// One filter or transition object: its operator and what it keeps from one
// frame to the next. The module locks `mutex` around each frame of the
// instance (reading its properties, logging, rendering), so frames of one
// instance never overlap; frames of different instances may, on MLT's
// threads.
struct ServiceInstance {
    const LoadedService* service = nullptr;
    mlt_service mltService = nullptr;  // the filter's or transition's service
    std::mutex mutex;
    std::set<std::string> logged;      // problems already logged, each once
    // The render's own state for this instance (its run, a private copy of
    // a stateful operator's library, ...) belongs here.
};

struct ServiceFrame {
    ServiceInstance* instance = nullptr;
    // A filter's frame, or a transition's outgoing frame (its A track).
    mlt_frame frame = nullptr;
    // A transition's incoming frame (its B track); nullptr for a filter.
    mlt_frame incoming = nullptr;
    // The frame's image: mlt_image_rgba (red, green, blue, alpha bytes),
    // width * height pixels, rows back to back, writable. The result is
    // written here; left as it is, the frame passes through unchanged.
    uint8_t* image = nullptr;
    // The incoming frame's image, the same format and size; nullptr for a
    // filter.
    const uint8_t* incomingImage = nullptr;
    // The images' size: the profile's, or less when the consumer previews
    // at a reduced scale (see profile->width and profile->height).
    int width = 0, height = 0;
    // The frame in the service's run, 0 at its in point, and the run's
    // length in frames (out - in + 1; at least position + 1).
    int64_t position = 0;
    int64_t frames = 1;
    // From the frame's "progressive" and "top_field_first" properties.
    Interlace scan = Interlace::Progressive;
    // The service's profile: frame rate, full size, sample aspect ratio.
    mlt_profile profile = nullptr;
    // Every operator parameter, in descriptor order, keys in field
    // positions of the run (key frame k at field 2k): the value for the
    // field at run position P is valueAt(settings[i], P).
    std::vector<Setting> settings;
};

// Renders one frame of a service into frame.image. Returns false when it
// could not (then the image is left unchanged and the reason is logged).
// Called with frame.instance->mutex held.
bool renderServiceFrame(ServiceFrame& frame);

}  // namespace fieldfx::mlt
