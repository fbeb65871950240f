// Where each field of a run sits: its run position, which field of the
// frame it is and its field flag, and how long the run is.
//
// Interlaced material: the two fields of frame f show two moments and are
// rendered at positions 2f and 2f+1 in display order; the run is 2N fields
// long for N frames.
//
// Progressive material: the two fields of frame f show one moment, so both
// are rendered at position 2f (top field first, then bottom) and nothing
// moves between the lines of a frame. The run length is 2N-1, so the last
// frame sits at position length-1 as the last field of an interlaced run
// does: fades and transitions still run from start to end, and positions
// keep counting in fields, so keyframes and seconds mean the same on both.
//
// Every path that renders fields (one process, workers, plug-ins) asks here.
#pragma once

#include <cstdint>

#include "Video.h"

namespace fieldfx {

struct FieldCall {
    int64_t position = 0;  // run position handed to the operator
    int field = 0;         // 0 the top field (even lines), 1 the bottom field
    uint8_t flags = 0;     // FLAG_LOWER_FIELD for the bottom field, else 0
};

// The run length the operator is told for a run of `frames` frames.
int64_t runLength(int64_t frames, Interlace scan);

// The field rendered at `place` (0 first, 1 second) of run frame `frame`.
FieldCall fieldCall(int64_t frame, int place, Interlace scan);

}  // namespace fieldfx
