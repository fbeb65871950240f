// Frames and formats that the fieldfx program's tests build their cases from.
#pragma once

#include <cstdint>

#include "Video.h"

namespace fieldfx {

// A frame whose every stored byte differs from its neighbours.
inline Frame noiseFrame(const VideoFormat& f, uint32_t seed) {
    Frame frame;
    frame.data.resize(frameBytes(f));
    uint32_t h = seed * 2654435761u + 1;
    for (uint8_t& b : frame.data) {
        h ^= h << 13;
        h ^= h >> 17;
        h ^= h << 5;
        b = static_cast<uint8_t>(h);
    }
    return frame;
}

inline VideoFormat format(int w, int h, Chroma c, Interlace i) {
    VideoFormat f;
    f.width = w;
    f.height = h;
    f.chroma = c;
    f.interlace = i;
    return f;
}

}  // namespace fieldfx
