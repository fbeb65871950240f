// liblogger: loggerMessage.
#include "fieldfx/HostBackend.h"

extern "C" {

void loggerMessage(int32_t level, int32_t line, const char* file, uint32_t code, const char* text) {
    fieldfx::HostBackend* backend = fieldfx::installedHostBackend();
    if (backend == nullptr) {
        fieldfx::printLogRecord(level, line, file, code, text);
        return;
    }
    try {
        backend->logMessage(level, line, file, code, text);
    } catch (...) {
        fieldfx::printLogRecord(level, line, file, code, text);
    }
}

}  // extern "C"
