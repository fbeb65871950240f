// Reading little-endian numbers at byte offsets, as a host reads records.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

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

// FNV-1a over the bytes, for golden checksums. Some golden tables were
// recorded with the offset basis 1469598103934665603 instead of the usual one.
constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ull;
constexpr uint64_t kRecordedBasis = 1469598103934665603ull;

inline uint64_t fnv1a(const std::vector<uint8_t>& bytes, uint64_t basis = kFnvBasis) {
    uint64_t h = basis;
    for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
    return h;
}

}  // namespace fxtest
