// Reading little-endian numbers at byte offsets, as a host reads records.
#pragma once

#include <cstdint>
#include <cstring>

namespace fxtest {

template <typename T>
T readAt(const void* base, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return value;
}

template <typename T>
void writeAt(void* base, size_t offset, T value) {
    std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

}  // namespace fxtest
