// Stand-in operator libraries for testing the fieldfx program.
//
// Passthrough: an effect that hands every field back unchanged, except that
// at the position in its first parameter it logs a failure and returns -1,
// and that with its second parameter set it writes the request it got into
// the first two pixels: flags, scaleNum, scaleDen, position; pixelAspect
// (low, high byte), length (low, high byte). At the position in its third
// parameter it crashes (abort), as a faulty operator might. With its fourth
// parameter set it fetches its field twice and fails unless both fetches
// give the same field; it hands back the second. At the start of a run it
// appends the descriptors its process holds open (0 to 1023) as a line to
// the file $FAKE_FD_CENSUS, when that is set.
// Its fields depend on nothing before them, which it tells a host by
// exporting an OperatorReplay that leaves every call to be rendered.
// With FAKE_ENDLESS_TAG_LIST: a library whose tag list never ends.
// With FAKE_WILD_DESCRIPTOR: its parameter points into unmapped memory.
// With FAKE_STATEFUL: Tally, an effect with state over the run. Every third
// render call (0, 3, 6, ...) is an update that keeps the luma of the
// field's first pixel; every call writes into the luma of the first four
// pixels: the luma kept at the last update, the number of updates, the
// number of calls before this one in the run, and the position. With its
// OperatorReplay the state is brought to the last update at or before the
// call asked for (or, skipping ahead with no update on the way, to that
// call); with FAKE_NO_REPLAY (Hoard) the library has none.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "OperatorApi.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

#ifdef FAKE_ENDLESS_TAG_LIST

static uintptr_t tagList[256];

FAKE_EXPORT uintptr_t* GetOperatorInfo(void) {
    for (uintptr_t& word : tagList) word = OPE_TAG_BASE + 2;
    return tagList;
}

FAKE_EXPORT int32_t OperatorAction(OperatorRequest*) { return 0; }

#elif defined(FAKE_STATEFUL)

FAKE_EXPORT int32_t OperatorAction(OperatorRequest* request);

static SliderParam unused = {{PARAM_SLIDER, 960, 0}, 961, 0, 0, 1, 0};
static uintptr_t tagList[] = {
    OPE_TAG_ZERO,    0,
    OPE_TAG_INPUTS,  1,
    OPE_TAG_ACTION,  reinterpret_cast<uintptr_t>(&OperatorAction),
    OPE_TAG_VERSION, 2,
    OPE_TAG_PARAM1,  reinterpret_cast<uintptr_t>(&unused),
    0,
};
static uint32_t calls, updates;
static uint8_t kept;

FAKE_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

FAKE_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    if (request == nullptr) return -1;
    if (request->command == CMD_START) {
        calls = updates = 0;
        kept = 0;
        return 0;
    }
    if (request->command != CMD_RENDER) return 0;
    FieldImage* field = opGetField(0, static_cast<int32_t>(request->position));
    if (field == nullptr || field->width < 4 || field->height < 1) {
        if (field != nullptr) opFreeImage(field);
        loggerMessage(4, __LINE__, "src\\Tally", 0x0BFF0000u, " ");
        return -1;
    }
    if (calls % 3 == 0) {
        kept = field->pixels[3];
        ++updates;
    }
    const uint8_t written[4] = {kept, uint8_t(updates), uint8_t(calls), uint8_t(request->position)};
    for (int i = 0; i < 4; ++i) field->pixels[4 * i + 3] = written[i];
    ++calls;
    return opPutField(field);
}

#ifndef FAKE_NO_REPLAY
// The listed calls are calls `calls` .. calls + count - 1 of the run: from
// its start, or after the last call rendered when a host skips ahead.
FAKE_EXPORT int32_t OperatorReplay(OperatorRequest*, const uint32_t*, uint32_t count) {
    if (count == 0) return 0;
    const uint32_t last = calls + (count - 1);
    const uint32_t update = last - last % 3;  // the last update at or before the last call
    const uint32_t skipTo = update >= calls ? update : last;
    const uint32_t k = skipTo - calls;
    calls = skipTo;
    updates = (skipTo + 2) / 3;  // the updates among calls 0 .. skipTo - 1
    return static_cast<int32_t>(k);
}
#endif

#else

FAKE_EXPORT int32_t OperatorAction(OperatorRequest* request);

// Nothing carries from one call to the next: every call is rendered as is.
FAKE_EXPORT int32_t OperatorReplay(OperatorRequest*, const uint32_t*, uint32_t count) {
    return count == 0 ? 0 : static_cast<int32_t>(count - 1);
}

static SliderParam failAt = {{PARAM_SLIDER, 910, 0}, 911, 0, -1, 100000, -1};
static SliderParam probe = {{PARAM_SLIDER, 920, 0}, 921, 0, 0, 1, 0};
static SliderParam crashAt = {{PARAM_SLIDER, 930, 0}, 931, 0, -1, 100000, -1};
static SliderParam fetchTwice = {{PARAM_SLIDER, 940, 0}, 941, 0, 0, 1, 0};
static const char kRevision[] = "$Id: Passthrough.cpp,v 1.0 2014/03/24 $";
static uintptr_t tagList[] = {
    OPE_TAG_ZERO,     0,
    OPE_TAG_INPUTS,   1,
    OPE_TAG_ACTION,   reinterpret_cast<uintptr_t>(&OperatorAction),
    OPE_TAG_REVISION, reinterpret_cast<uintptr_t>(kRevision),
    OPE_TAG_VERSION,  2,
#ifdef FAKE_WILD_DESCRIPTOR
    OPE_TAG_PARAM1,   0x1000,
#else
    OPE_TAG_PARAM1,   reinterpret_cast<uintptr_t>(&failAt),
#endif
    OPE_TAG_PARAM2,   reinterpret_cast<uintptr_t>(&probe),
    OPE_TAG_PARAM3,   reinterpret_cast<uintptr_t>(&crashAt),
    OPE_TAG_PARAM4,   reinterpret_cast<uintptr_t>(&fetchTwice),
    0,
};

FAKE_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

static void takeDescriptorCensus() {
    const char* path = std::getenv("FAKE_FD_CENSUS");
    if (path == nullptr) return;
    std::string line;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) line += std::to_string(fd) + " ";
    }
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

FAKE_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    if (request != nullptr && request->command == CMD_START) takeDescriptorCensus();
    if (request == nullptr || request->command != CMD_RENDER) return 0;
    const int32_t position = static_cast<int32_t>(request->position);
    if (position == crashAt.value) std::abort();
    FieldImage* field = opGetField(0, position);
    if (field == nullptr || position == failAt.value) {
        loggerMessage(4, __LINE__, "src\\Passthrough", 0x0BFF0000u, " ");
        return -1;
    }
    if (fetchTwice.value != 0) {
        FieldImage* again = opGetField(0, position);
        const bool same = again != nullptr && again != field && again->width == field->width &&
                          again->height == field->height && again->regionLeft == field->regionLeft &&
                          again->regionTop == field->regionTop && again->regionWidth == field->regionWidth &&
                          again->regionHeight == field->regionHeight &&
                          std::memcmp(again->pixels, field->pixels, size_t(field->width) * size_t(field->height) * 4) == 0;
        opFreeImage(field);
        if (!same) {
            if (again != nullptr) opFreeImage(again);
            loggerMessage(4, __LINE__, "src\\Passthrough", 0x0BFF0001u, " ");
            return -1;
        }
        field = again;
    }
    if (probe.value != 0 && field->width >= 2 && field->height >= 1) {
        const uint8_t request0[8] = {
            request->flags, uint8_t(request->scaleNum), uint8_t(request->scaleDen), uint8_t(request->position),
            uint8_t(request->pixelAspect), uint8_t(request->pixelAspect >> 8), uint8_t(request->length),
            uint8_t(request->length >> 8)};
        for (int i = 0; i < 8; ++i) field->pixels[i] = request0[i];
    }
    return opPutField(field);
}

#endif
