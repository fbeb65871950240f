// A frei0r plug-in that only copies its (first) input to its output, built
// twice: as a filter (bench_copy) and as a mixer of two inputs
// (bench_copy_mixer). bench/hosts times a host with it to find what the
// host's frei0r wrapper costs any plug-in, apart from what the plug-in does.
#include <stdlib.h>
#include <string.h>

#include <frei0r.h>

#ifndef BENCH_COPY_MIXER
#define BENCH_COPY_MIXER 0
#endif

struct copy_instance {
    size_t bytes;
};

int f0r_init(void) { return 1; }
void f0r_deinit(void) {}

void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    info->name = BENCH_COPY_MIXER ? "bench_copy_mixer" : "bench_copy";
    info->author = "fieldfx";
    info->plugin_type = BENCH_COPY_MIXER ? F0R_PLUGIN_TYPE_MIXER2 : F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = 1;
    info->minor_version = 0;
    info->num_params = 0;
    info->explanation = "copies its input, for timing hosts";
}

void f0r_get_param_info(f0r_param_info_t* info, int index) {
    (void)info;
    (void)index;
}

f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    struct copy_instance* instance = malloc(sizeof *instance);
    if (instance != NULL) instance->bytes = (size_t)width * height * 4;
    return instance;
}

void f0r_destruct(f0r_instance_t instance) { free(instance); }

void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    (void)instance;
    (void)param;
    (void)index;
}

void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    (void)instance;
    (void)param;
    (void)index;
}

void f0r_update(f0r_instance_t instance, double time, const uint32_t* in, uint32_t* out) {
    (void)time;
    memcpy(out, in, ((struct copy_instance*)instance)->bytes);
}

void f0r_update2(f0r_instance_t instance, double time, const uint32_t* in1, const uint32_t* in2,
                 const uint32_t* in3, uint32_t* out) {
    (void)in2;
    (void)in3;
    f0r_update(instance, time, in1, out);
}
