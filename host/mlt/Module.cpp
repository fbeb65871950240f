// The MLT module libmltfieldfx.so: registers a filter or a transition per
// operator with its metadata, reads each frame's settings from the
// service's properties and hands the frame to renderServiceFrame().
//
// The operator libraries are found from the module's own directory: in the
// build tree beside it in build/lib/, when installed in lib/fieldfx/ (the
// path from the module directory to each is compiled in), then where the
// fieldfx program looks ($FIELDFX_OPS, ../lib and ../lib/fieldfx beside the
// program). The metadata is read from $MLT_DATA/fieldfx/, then from the
// install's or the build tree's data directory beside the module.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "Error.h"
#include "Operator.h"
#include "Run.h"
#include "ServiceFrame.h"
#include "Settings.h"
#include "Text.h"
#include "fieldfx/HostBackend.h"

namespace fieldfx::mlt {

namespace {

std::vector<std::string> operatorDirectories() {
    const std::string dir = directoryOfThisLibrary();
    std::vector<std::string> dirs = {dir + "/" FIELDFX_MLT_OPS_FROM_MODULE_INSTALL,
                                     dir + "/" FIELDFX_MLT_OPS_FROM_MODULE_BUILD};
    for (const std::string& more : operatorSearchPath("")) dirs.push_back(more);
    return dirs;
}

// The services whose operator library loaded, by id; filled once, at
// registration, and never changed after.
std::map<std::string, std::unique_ptr<LoadedService>>& loadedServices() {
    static std::map<std::string, std::unique_ptr<LoadedService>> loaded;
    return loaded;
}

const char* serviceKind(const ServiceInfo& info) { return info.known->transition ? "transition" : "filter"; }

std::string metadataFile(const ServiceInfo& info) {
    return std::string(serviceKind(info)) + "_" + lowerCase(info.known->name) + ".yml";
}

mlt_properties metadata(mlt_service_type, const char* id, void* data) {
    const ServiceInfo& info = *static_cast<const ServiceInfo*>(data);
    const std::string file = metadataFile(info), dir = directoryOfThisLibrary();
    std::vector<std::string> candidates;
    if (const char* mltData = mlt_environment("MLT_DATA"); mltData != nullptr) {
        candidates.push_back(std::string(mltData) + "/fieldfx/" + file);
    }
    candidates.push_back(dir + "/" FIELDFX_MLT_DATA_FROM_MODULE_INSTALL "/" + file);
    candidates.push_back(dir + "/" FIELDFX_MLT_DATA_FROM_MODULE_BUILD "/" + file);
    for (const std::string& path : candidates) {
        if (access(path.c_str(), R_OK) == 0) return mlt_properties_parse_yaml(path.c_str());
    }
    mlt_log_warning(nullptr, "fieldfx: %s: no metadata (%s not found beside the module or in MLT_DATA)\n", id,
                    file.c_str());
    return nullptr;
}

// Logs each of the frame's problems once per instance.
void logProblems(ServiceInstance& instance, const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) {
        if (instance.logged.insert(problem).second) {
            mlt_log_warning(instance.mltService, "%s\n", problem.c_str());
        }
    }
}

// The frame's scan: its own flags as its producer (or a deinterlacer before
// this service) set them; where it has none, what the consumer asked for;
// else the profile's.
Interlace scanOf(mlt_frame frame, mlt_profile profile) {
    mlt_properties properties = MLT_FRAME_PROPERTIES(frame);
    auto flag = [&](const char* own, const char* consumers, int fallback) {
        if (mlt_properties_get(properties, own) != nullptr) return mlt_properties_get_int(properties, own);
        if (mlt_properties_get(properties, consumers) != nullptr) return mlt_properties_get_int(properties, consumers);
        return fallback;
    };
    if (flag("progressive", "consumer.progressive", profile != nullptr ? profile->progressive : 1) != 0) {
        return Interlace::Progressive;
    }
    return flag("top_field_first", "consumer.top_field_first", 1) != 0 ? Interlace::TopFirst : Interlace::BottomFirst;
}

// Reads the settings and renders one frame of the instance in place.
void renderFrame(ServiceInstance& instance, ServiceFrame& sf) {
    std::lock_guard<std::mutex> lock(instance.mutex);
    sf.instance = &instance;
    sf.frames = std::max<int64_t>(sf.frames, sf.position + 1);
    sf.profile = mlt_service_profile(instance.mltService);
    sf.scan = scanOf(sf.frame, sf.profile);
    const LoadedService& service = *instance.service;
    mlt_service_lock(instance.mltService);
    ServiceSettings settings = settingsFromProperties(MLT_SERVICE_PROPERTIES(instance.mltService),
                                                      *service.library, service.initial, int(sf.frames));
    mlt_service_unlock(instance.mltService);
    logProblems(instance, settings.problems);
    sf.settings = std::move(settings.settings);
    renderServiceFrame(sf);
}

// The image formats the render takes: MLT's 4:2:2, which goes into fields
// without a trip through RGB, and rgba, whose alpha is the operators' key.
// A caller asking for rgba gets it; any other request is served in 4:2:2
// (the consumer converts from there).
mlt_image_format wantedFormat(mlt_image_format asked) {
    return asked == mlt_image_rgba ? mlt_image_rgba : mlt_image_yuv422;
}

bool isTaken(ServiceInstance& instance, mlt_image_format format) {
    if (format == mlt_image_rgba || format == mlt_image_yuv422) return true;
    logProblems(instance, {std::string("the image came as ") + mlt_image_format_name(format) +
                           ", not rgba or yuv422; the frame passes through unchanged"});
    return false;
}

// The frame property that holds a frame's turn with one instance.
std::string turnKey(const ServiceInstance& instance) {
    char key[48];
    std::snprintf(key, sizeof key, "fieldfx.turn.%p", static_cast<const void*>(&instance));
    return key;
}

// The service whose frames are being fetched for a lead-in on this thread:
// its own process passes them through, so that it does not render itself.
thread_local const ServiceInstance* g_fetching = nullptr;

// A frame's place in its service's turns, given up when it is rendered or
// closed unrendered.
struct Turn {
    std::shared_ptr<Turns> turns;
    int64_t position = 0;
    bool taken = false;
    void end() {
        if (taken) return;
        taken = true;
        std::lock_guard<std::mutex> lock(turns->mutex);
        turns->waiting.erase(turns->waiting.find(position));
        turns->changed.notify_all();
    }
};

void endTurn(void* turn) {
    static_cast<Turn*>(turn)->end();
    delete static_cast<Turn*>(turn);
}

// Waits (a second at most: a frame fetched may never be rendered) until
// the frames fetched before this one are rendered.
void awaitTurn(Turns& turns, int64_t position) {
    std::unique_lock<std::mutex> lock(turns.mutex);
    turns.changed.wait_for(lock, std::chrono::seconds(1),
                           [&] { return turns.waiting.empty() || *turns.waiting.begin() >= position; });
}

// The image of the frame `back` frames before `frame`, fetched afresh from
// the producer the frame came from, as this service gets its images: with
// the filters before it applied (and, as it cannot be helped, any after it
// on the same producer). False when there is none.
bool fetchEarlier(const ServiceInstance& instance, mlt_frame frame, int64_t back, mlt_image_format format, int width,
                  int height, std::vector<uint8_t>& image) {
    mlt_producer producer = mlt_frame_get_original_producer(frame);
    const mlt_position at = mlt_frame_original_position(frame) - mlt_position(back);
    if (producer == nullptr || at < 0) return false;
    // (Not under the producer's lock: its own image making takes that.)
    const bool cut = mlt_producer_is_cut(producer) != 0;
    const mlt_position was = mlt_producer_position(producer);
    mlt_producer_seek(producer, cut ? at - mlt_producer_get_in(producer) : at);
    mlt_frame earlier = nullptr;
    g_fetching = &instance;
    mlt_service_get_frame(MLT_PRODUCER_SERVICE(producer), &earlier, 0);
    g_fetching = nullptr;
    mlt_producer_seek(producer, was);
    if (earlier == nullptr) return false;
    // What the consumer asked of this frame, it asks of the earlier one.
    mlt_properties from = MLT_FRAME_PROPERTIES(frame), to = MLT_FRAME_PROPERTIES(earlier);
    for (int i = 0; i < mlt_properties_count(from); ++i) {
        const char* name = mlt_properties_get_name(from, i);
        if (name != nullptr && std::strncmp(name, "consumer.", 9) == 0) {
            mlt_properties_set(to, name, mlt_properties_get_value(from, i));
        }
    }
    mlt_image_format got = format;
    int w = width, h = height;
    uint8_t* pixels = nullptr;
    const bool ok = mlt_frame_get_image(earlier, &pixels, &got, &w, &h, 0) == 0 && pixels != nullptr &&
                    got == format && w == width && h == height;
    if (ok) image.assign(pixels, pixels + mlt_image_format_size(format, width, height, nullptr));
    mlt_frame_close(earlier);
    return ok;
}

int filterGetImage(mlt_frame frame, uint8_t** image, mlt_image_format* format, int* width, int* height, int) {
    mlt_filter filter = static_cast<mlt_filter>(mlt_frame_pop_service(frame));
    auto& instance = *static_cast<ServiceInstance*>(filter->child);
    *format = wantedFormat(*format);
    const int error = mlt_frame_get_image(frame, image, format, width, height, 1);
    if (error != 0 || *image == nullptr) return error;
    std::unique_lock<std::mutex> check(instance.mutex);
    if (!isTaken(instance, *format)) return 0;
    check.unlock();
    ServiceFrame sf;
    sf.frame = frame;
    sf.format = *format;
    sf.image = *image;
    sf.width = *width;
    sf.height = *height;
    sf.position = mlt_filter_get_position(filter, frame);
    sf.frames = mlt_filter_get_length2(filter, frame);
    sf.fetchEarlier = [&, fmt = *format, w = *width, h = *height](int64_t position, std::vector<uint8_t>& earlier) {
        return fetchEarlier(instance, frame, sf.position - position, fmt, w, h, earlier);
    };
    Turn* turn = static_cast<Turn*>(mlt_properties_get_data(MLT_FRAME_PROPERTIES(frame), turnKey(instance).c_str(), nullptr));
    if (turn != nullptr) awaitTurn(*turn->turns, turn->position);
    renderFrame(instance, sf);
    if (turn != nullptr) turn->end();
    return 0;
}

mlt_frame filterProcess(mlt_filter filter, mlt_frame frame) {
    auto& instance = *static_cast<ServiceInstance*>(filter->child);
    if (g_fetching == &instance) return frame;  // a lead-in frame for this very filter
    if (instance.turns != nullptr) {
        auto* turn = new Turn{instance.turns, mlt_filter_get_position(filter, frame)};
        {
            std::lock_guard<std::mutex> lock(instance.turns->mutex);
            instance.turns->waiting.insert(turn->position);
        }
        mlt_properties_set_data(MLT_FRAME_PROPERTIES(frame), turnKey(instance).c_str(), turn, 0, endTurn, nullptr);
    }
    mlt_frame_push_service(frame, filter);
    mlt_frame_push_get_image(frame, filterGetImage);
    return frame;
}

int transitionGetImage(mlt_frame a, uint8_t** image, mlt_image_format* format, int* width, int* height, int) {
    mlt_frame b = mlt_frame_pop_frame(a);
    mlt_transition transition = static_cast<mlt_transition>(mlt_frame_pop_service(a));
    auto& instance = *static_cast<ServiceInstance*>(transition->child);
    *format = wantedFormat(*format);
    int error = mlt_frame_get_image(a, image, format, width, height, 1);
    if (error != 0 || *image == nullptr) return error;
    uint8_t* incoming = nullptr;
    mlt_image_format incomingFormat = *format;
    int incomingWidth = *width, incomingHeight = *height;
    error = mlt_frame_get_image(b, &incoming, &incomingFormat, &incomingWidth, &incomingHeight, 0);
    {
        std::lock_guard<std::mutex> check(instance.mutex);
        if (!isTaken(instance, *format)) return 0;
        if (error != 0 || incoming == nullptr || incomingFormat != *format) {
            logProblems(instance, {"no image from the incoming track; the outgoing frame passes through unchanged"});
            return 0;
        }
        if (incomingWidth != *width || incomingHeight != *height) {
            logProblems(instance, {"the incoming frames are " + std::to_string(incomingWidth) + "x" +
                                   std::to_string(incomingHeight) + ", the outgoing " + std::to_string(*width) + "x" +
                                   std::to_string(*height) + "; the outgoing frame passes through unchanged"});
            return 0;
        }
    }
    ServiceFrame sf;
    sf.frame = a;
    sf.incoming = b;
    sf.format = *format;
    sf.image = *image;
    sf.incomingImage = incoming;
    sf.width = *width;
    sf.height = *height;
    sf.position = mlt_transition_get_position(transition, a);
    sf.frames = mlt_transition_get_length(transition);
    renderFrame(instance, sf);
    return 0;
}

mlt_frame transitionProcess(mlt_transition transition, mlt_frame a, mlt_frame b) {
    mlt_frame_push_service(a, transition);
    mlt_frame_push_frame(a, b);
    mlt_frame_push_get_image(a, transitionGetImage);
    return a;
}

void filterClose(mlt_filter filter) {
    delete static_cast<ServiceInstance*>(filter->child);
    filter->child = nullptr;
    filter->close = nullptr;
    filter->parent.close = nullptr;
    mlt_service_close(&filter->parent);
}

void transitionClose(mlt_transition transition) {
    delete static_cast<ServiceInstance*>(transition->child);
    transition->child = nullptr;
    transition->close = nullptr;
    transition->parent.close = nullptr;
    mlt_service_close(&transition->parent);
}

void* createService(mlt_profile, mlt_service_type type, const char* id, const void*) {
    const auto found = loadedServices().find(id != nullptr ? id : "");
    if (found == loadedServices().end()) return nullptr;
    auto instance = std::make_unique<ServiceInstance>();
    instance->service = found->second.get();
    if (type == mlt_service_transition_type) {
        mlt_transition transition = mlt_transition_new();
        if (transition == nullptr) return nullptr;
        transition->process = transitionProcess;
        transition->close = transitionClose;
        instance->mltService = MLT_TRANSITION_SERVICE(transition);
        transition->child = instance.release();
        // Video only: MLT mixes no audio through it.
        mlt_properties_set_int(MLT_TRANSITION_PROPERTIES(transition), "_transition_type", 1);
        return transition;
    }
    mlt_filter filter = mlt_filter_new();
    if (filter == nullptr) return nullptr;
    filter->process = filterProcess;
    filter->close = filterClose;
    if (runSplitOf(*instance->service->library) != RunSplit::AnyField) instance->turns = std::make_shared<Turns>();
    instance->mltService = MLT_FILTER_SERVICE(filter);
    filter->child = instance.release();
    return filter;
}

}  // namespace

}  // namespace fieldfx::mlt

extern "C" __attribute__((visibility("default"))) void mlt_register(mlt_repository repository) {
    using namespace fieldfx::mlt;
    // Every frame a service renders takes and frees fields of one size.
    fieldfx::keepFieldMemoryForRuns();
    std::lock_guard<std::mutex> lock(fieldfx::operatorCallLock());
    const std::vector<std::string> dirs = operatorDirectories();
    for (const ServiceInfo& info : services()) {
        try {
            if (loadedServices().count(info.id) == 0) loadedServices()[info.id] = loadService(info, dirs);
        } catch (const fieldfx::UserError& e) {
            mlt_log_warning(nullptr, "fieldfx: %s: not available: %s\n", info.id.c_str(), e.what());
            continue;
        }
        const mlt_service_type type = info.known->transition ? mlt_service_transition_type : mlt_service_filter_type;
        mlt_repository_register(repository, type, info.id.c_str(), createService);
        mlt_repository_register_metadata(repository, type, info.id.c_str(), metadata,
                                         const_cast<ServiceInfo*>(&info));
    }
}
