// libhostimage: opAllocImage and opFreeImage.
#include "fieldfx/HostBackend.h"

extern "C" {

FieldImage* opAllocImage(int32_t width, int32_t height, int32_t count, int32_t flags) {
    fieldfx::HostBackend* backend = fieldfx::installedHostBackend();
    if (backend == nullptr) return nullptr;
    try {
        return backend->allocImage(width, height, count, flags);
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
