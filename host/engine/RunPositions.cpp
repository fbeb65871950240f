#include "RunPositions.h"

#include "OperatorApi.h"

namespace fieldfx {

int64_t runLength(int64_t frames, Interlace scan) {
    if (frames <= 0) return 0;
    return scan == Interlace::Progressive ? 2 * frames - 1 : 2 * frames;
}

FieldCall fieldCall(int64_t frame, int place, Interlace scan) {
    FieldCall call;
    call.field = fieldAt(scan, place);
    call.position = scan == Interlace::Progressive ? 2 * frame : 2 * frame + place;
    call.flags = call.field == 1 ? static_cast<uint8_t>(FLAG_LOWER_FIELD) : 0;
    return call;
}

}  // namespace fieldfx
