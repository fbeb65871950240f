// What the module hands to the render of one frame of one service: the MLT
// frame(s) and image(s), where the frame lies in the service's run, the
// frame's scan and the settings of every operator parameter.
#pragma once

#include <framework/mlt.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Services.h"
#include "Values.h"
#include "Video.h"

namespace fieldfx::mlt {

class ServiceRun;

// The frames of a stateful service that were fetched (in order, on the
// consumer's thread) but not yet rendered: a frame rendered on one of
// several threads waits for those before it, so that the run goes on in
// order instead of seeking back and forth.
struct Turns {
    std::mutex mutex;
    std::condition_variable changed;
    std::multiset<int64_t> waiting;
};

// One filter or transition object: its operator and what it keeps from one
// frame to the next. The module locks `mutex` around each frame of the
// instance (reading its properties, logging, rendering), so frames of one
// instance never overlap; frames of different instances may, on MLT's
// threads.
struct ServiceInstance {
    ServiceInstance();
    ~ServiceInstance();
    const LoadedService* service = nullptr;
    mlt_service mltService = nullptr;  // the filter's or transition's service
    std::mutex mutex;
    std::set<std::string> logged;      // problems already logged, each once
    std::unique_ptr<ServiceRun> run;   // the render's own state (RenderServiceFrame.cpp)
    std::shared_ptr<Turns> turns;      // for a stateful filter: whose turn it is
};

struct ServiceFrame {
    ServiceInstance* instance = nullptr;
    // A filter's frame, or a transition's outgoing frame (its A track).
    mlt_frame frame = nullptr;
    // A transition's incoming frame (its B track); nullptr for a filter.
    mlt_frame incoming = nullptr;
    // The frame's image, writable: mlt_image_rgba (red, green, blue, alpha
    // bytes) or mlt_image_yuv422 (Y'0 Cb Y'1 Cr), width * height pixels,
    // rows back to back. The result is written here; left as it is, the
    // frame passes through unchanged.
    mlt_image_format format = mlt_image_rgba;
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
    // The image of an earlier frame of the run (its position) as this
    // service gets it from upstream, in the same format and size, into
    // `image`; false when it cannot be had. Empty for a transition.
    std::function<bool(int64_t position, std::vector<uint8_t>& image)> fetchEarlier;
};

// Renders one frame of a service into frame.image. Returns false when it
// could not (then the image is left unchanged and the reason is logged).
// Called with frame.instance->mutex held.
bool renderServiceFrame(ServiceFrame& frame);

}  // namespace fieldfx::mlt
