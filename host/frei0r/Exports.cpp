// The frei0r entry points of one plug-in. Built once per operator with
// FIELDFX_PLUGIN_OPERATOR (its name) and FIELDFX_PLUGIN_TRANSITION (1 for
// a two-input mixer); nothing else is exported. No exception leaves here.
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "Plugin.h"
#include "fieldfx/HostBackend.h"

#define EXPORTED __attribute__((visibility("default")))

namespace {

using fieldfx::frei0r::Instance;
using fieldfx::frei0r::Plugin;

Plugin& plugin() {
    static Plugin p(FIELDFX_PLUGIN_OPERATOR, FIELDFX_PLUGIN_TRANSITION != 0);
    return p;
}

// ffmpeg's frei0r filter passes the time in milliseconds; MLT and GStreamer
// pass seconds, as frei0r asks. The caller is ffmpeg's filter when the code
// that called the update lies in libavfilter (or in a program built with it
// linked in, named ffmpeg or ffplay). A time that is no time (ffmpeg 5.1
// loses the frame's time stamp when it copies the frame to the layout frei0r
// asks for; GStreamer's buffers without one) comes back as NaN: the frame
// after the instance's last.
double secondsFrom(double time, const void* caller) {
    if (!std::isfinite(time) || time < 0 || time > 1e12) return std::nan("");
    Dl_info info{};
    if (dladdr(caller, &info) != 0 && info.dli_fname != nullptr) {
        const char* file = std::strrchr(info.dli_fname, '/');
        file = file != nullptr ? file + 1 : info.dli_fname;
        if (std::strncmp(file, "libavfilter", 11) == 0 || std::strcmp(file, "ffmpeg") == 0 ||
            std::strcmp(file, "ffplay") == 0) {
            return time / 1000.0;
        }
    }
    return time;
}

void update(f0r_instance_t instance, double seconds, const uint32_t* first, const uint32_t* second,
            uint32_t* out) {
    if (instance == nullptr) return;
    try {
        static_cast<Instance*>(instance)->update(seconds, first, second, out);
    } catch (...) {
        // out of memory: the frame stays as the host made it
    }
}

}  // namespace

extern "C" {

EXPORTED int f0r_init(void) {
    // Every update takes and frees fields of one size.
    fieldfx::keepFieldMemoryForRuns();
    return plugin().load() ? 1 : 0;
}

EXPORTED void f0r_deinit(void) {}

EXPORTED void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    if (info == nullptr) return;
    Plugin& p = plugin();
    const bool loaded = p.load();
    info->name = p.pluginName().c_str();
    info->author = "fieldfx";
    info->plugin_type = p.transition() ? F0R_PLUGIN_TYPE_MIXER2 : F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = 0;
    info->minor_version = 1;
    info->num_params = loaded ? int(p.params().size()) : 0;
    info->explanation = loaded ? p.explanation().c_str() : p.problem().c_str();
}

EXPORTED void f0r_get_param_info(f0r_param_info_t* info, int index) {
    Plugin& p = plugin();
    if (info == nullptr || !p.load() || index < 0 || size_t(index) >= p.params().size()) return;
    info->name = p.params()[size_t(index)].name.c_str();
    info->type = p.params()[size_t(index)].type;
    info->explanation = p.params()[size_t(index)].explanation.c_str();
}

EXPORTED f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    try {
        return new Instance(plugin(), int(std::min(width, 1u << 20)), int(std::min(height, 1u << 20)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fieldfx: %s\n", e.what());  // the host only learns that there is no instance
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

EXPORTED void f0r_destruct(f0r_instance_t instance) { delete static_cast<Instance*>(instance); }

EXPORTED void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    if (instance == nullptr) return;
    try {
        static_cast<Instance*>(instance)->setParam(index, param);
    } catch (...) {
    }
}

EXPORTED void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    if (instance != nullptr) static_cast<Instance*>(instance)->getParam(index, param);
}

EXPORTED void f0r_update(f0r_instance_t instance, double time, const uint32_t* inframe, uint32_t* outframe) {
    update(instance, secondsFrom(time, __builtin_return_address(0)), inframe, nullptr, outframe);
}

EXPORTED void f0r_update2(f0r_instance_t instance, double time, const uint32_t* inframe1, const uint32_t* inframe2,
                 const uint32_t*, uint32_t* outframe) {
    update(instance, secondsFrom(time, __builtin_return_address(0)), inframe1, inframe2, outframe);
}

}  // extern "C"
