// libhostimage: opAllocImage and opFreeImage.
#include "fieldfx/HostBackend.h"

extern "C" {

FieldImage* opAllocImage(int32_t a, int32_t b, int32_t c, int32_t d) {
    fieldfx::HostBackend* backend = fieldfx::installedHostBackend();
    if (backend == nullptr) return nullptr;
    try {
        return backend->allocImage(a, b, c, d);
    } catch (...) {
        return nullptr;
    }
}

void opFreeImage(FieldImage* image) {
    fieldfx::HostBackend* backend = fieldfx::installedHostBackend();
    if (backend == nullptr) return;
    try {
        backend->freeImage(image);
    } catch (...) {
    }
}

}  // extern "C"
