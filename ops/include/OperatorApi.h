// The operator interface: the records an operator library shares with its host,
// the command codes, the tag list words and the host services it imports.
//
// Every record has a fixed byte layout. On a 32-bit build an address takes four
// bytes; on a 64-bit build it takes eight and the fields after it move by four.
// Both layouts are pinned below by static_assert.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// ---------------------------------------------------------------------------
// Operator tag list: pointer-wide words, (tag, value) pairs, then one word 0.

typedef uintptr_t OperatorTag;

enum : uint32_t {
    OPE_TAG_BASE = 0x4F504500u,   // the bytes "O", "P", "E" in the top three bytes

    OPE_TAG_ZERO = OPE_TAG_BASE + 0,      // value 0 in every operator
    OPE_TAG_INPUTS = OPE_TAG_BASE + 1,    // 1 for an effect on one input, 0 for a transition
    OPE_TAG_ACTION = OPE_TAG_BASE + 3,    // address of OperatorAction
    OPE_TAG_PARAM1 = OPE_TAG_BASE + 4,    // addresses of parameter descriptors 1..4
    OPE_TAG_PARAM2 = OPE_TAG_BASE + 5,
    OPE_TAG_PARAM3 = OPE_TAG_BASE + 6,
    OPE_TAG_PARAM4 = OPE_TAG_BASE + 7,
    OPE_TAG_VERSION = OPE_TAG_BASE + 13,  // value 2 in every operator
    OPE_TAG_REVISION = OPE_TAG_BASE + 16, // address of the revision-identification text
};

// ---------------------------------------------------------------------------
// Parameter descriptors. The host writes the user's setting into the value
// field (or the colour bytes) in place; the render reads it from there.

enum : uint16_t {
    PARAM_CHOICE = 0,
    PARAM_COLOR = 1,
    PARAM_SLIDER = 2,
    PARAM_POINT = 3,
};

enum : uint32_t {
    CHOICE_STYLE_TEXT = 0,    // entries are text ids
    CHOICE_STYLE_NUMBERS = 1, // entries are numbers shown unchanged
    POINT_STYLE = 2,
};

struct ParamDescriptor {
    uint16_t kind;
    uint16_t label;  // text id
    uint32_t style;
};

struct ChoiceParam {
    ParamDescriptor head;
    const uint32_t* entries;  // words ended by a word 0
    int32_t value;            // index of the chosen entry
};

struct ColorParam {
    ParamDescriptor head;
    uint8_t color[4];  // one pixel, byte 0 first
};

struct SliderParam {
    ParamDescriptor head;
    uint32_t text2;  // label + 1
    uint32_t reserved;
    int32_t minimum;
    int32_t maximum;
    int32_t value;
};

struct PointPair {
    int16_t x;
    int16_t y;
};

struct PointParam {
    ParamDescriptor head;
    PointPair pairs[4];  // the third pair is the value
};

// ---------------------------------------------------------------------------
// Commands and the render request.

// Commands 4..7 are known commands that need no work; they, and every
// unknown command, return 0.
enum : uint16_t {
    CMD_START = 1,
    CMD_FINISH = 2,
    CMD_RENDER = 3,
};

enum : uint8_t {
    FLAG_REDUCED_SIZE = 1u << 0,  // scale pixel distances by scaleNum / scaleDen
    FLAG_LOWER_FIELD = 1u << 1,   // this field lies one line lower in its frame
    FLAG_SIXTY_FIELDS = 1u << 2,  // 60 fields a second instead of 50
};

struct OperatorRequest {
    uint16_t command;
    uint16_t unused2;
    uint8_t flags;
    uint8_t unused5[3];
    uint32_t length;    // fields in the run
    uint32_t position;  // field to render, 0 at the first field
    uint8_t unused16[8];
    int16_t scaleNum;
    int16_t scaleDen;
    uint8_t unused28[16];
    int16_t pixelAspect;  // pixel height in thousandths of its width
    uint16_t unused46;
};

// ---------------------------------------------------------------------------
// Field images and pixels.

struct FieldImage {
    uint8_t* pixels;  // row y starts at pixels + 4 * y * width
    int16_t width;    // pixels in a row, also the row stride
    int16_t height;
    int16_t regionLeft;  // valid region: the part of the field that holds picture
    int16_t regionTop;
    int16_t regionWidth;
    int16_t regionHeight;
};

enum : int {
    PIXEL_BYTES = 4,
    PIXEL_KEY = 0,   // 255 opaque
    PIXEL_CR = 1,    // red colour difference (Cr), 128 neutral
    PIXEL_CB = 2,    // blue colour difference (Cb), 128 neutral
    PIXEL_LUMA = 3,  // 16 black, 235 white
    // The earlier names of bytes 1 and 2, for code written before them.
    PIXEL_CHROMA1 = PIXEL_CR,
    PIXEL_CHROMA2 = PIXEL_CB,
};

// Opaque black, 0xFF 0x80 0x80 0x10 read as a little-endian word.
enum : uint32_t { BLACK_PIXEL = 0x108080FFu };

// ---------------------------------------------------------------------------
// Exports of every operator library.

uintptr_t* GetOperatorInfo(void);
int32_t OperatorAction(OperatorRequest* request);

typedef uintptr_t* (*GetOperatorInfoFn)(void);
typedef int32_t (*OperatorActionFn)(OperatorRequest* request);

// ---------------------------------------------------------------------------
// Optional export: replay of a run (Patina only). A host looks it up by name
// at load (dlsym); an operator without it renders any position on its own.
//
// OperatorReplay lets a host start a stateful run at any position and get
// from there on exactly the fields of a run rendered in order from position
// 0, without rendering the fields before it.
//
// Call it right after a CMD_START that returned 0, before any render, with a
// request like the run's render requests: command CMD_RENDER and the flags,
// length, scaleNum, scaleDen and pixelAspect the run uses (its position is
// not read), and with the parameter values of the run in the descriptors.
// positions[0 .. count-1] are the positions of the render calls the run
// makes, in order, up to and including the first call whose field the host
// wants to see.
//
// It returns k, 0 <= k < count: the run state is now exactly what it would
// be just before call k after rendering calls 0 .. k-1, where call k is the
// last of the listed calls that makes a new film picture (an update; the
// first call of a run always does). No field is fetched, no image obtained
// and no pixel touched. The host then renders calls k .. count-1 with
// OperatorAction(CMD_RENDER) as usual, discards every output but the last,
// and carries on with the run from there.
//
// Later in a run, between renders, it skips ahead the same way:
// positions[] then lists the calls that follow the last call rendered, up to
// and including the first one the host wants to see, and k is the last of
// them that makes an update, or count-1 when none does (the film picture
// made before stays). A host that renders a run in stretches (worker
// processes) jumps from the end of one stretch to the start of the next so.
//
// - count 0 returns 0 and changes nothing.
// - No work image (no successful start), a null request, a null positions
//   array with count > 0, or count above 2^31 - 1: one failure record, as a
//   failed render writes it, and -1; the run state is unchanged.
// - The calls before k are taken to succeed, on fields of the run's
//   geometry whose region is the work image's. filmAge, which sets the
//   picture rate, is read once for all of them: a host whose filmAge changes
//   among the replayed calls renders those calls instead. tintAmount and
//   contrastLevel only shape film pictures, which the replay does not make.
// - On progressive material, both fields of frame f at position 2f, the
//   positions listed are 0, 0, 2, 2, 4, 4, …; the replay follows them as the
//   renders would.
// - The cost is a few operations per listed call plus about one draw of the
//   generator per scratch line for each update (the grain and the specks are
//   skipped by jumping the generator ahead), whatever the field size.
int32_t OperatorReplay(OperatorRequest* request, const uint32_t* positions, uint32_t count);

typedef int32_t (*OperatorReplayFn)(OperatorRequest* request, const uint32_t* positions, uint32_t count);

// ---------------------------------------------------------------------------
// Host services (libhostcore, libhostimage, liblogger).

FieldImage* opGetField(int32_t input, int32_t position);
int32_t opPutField(FieldImage* image);
int32_t opChkAbort(void);
// A scratch image. The operators always ask for (-1, -1, 1, 0): width and
// height -1 for those of the run's fields, one image, no flags (see
// allocFieldShapedImage in OperatorSupport.h).
FieldImage* opAllocImage(int32_t width, int32_t height, int32_t count, int32_t flags);
void opFreeImage(FieldImage* image);
void loggerMessage(int32_t level, int32_t line, const char* file, uint32_t code, const char* text);

}  // extern "C"

// ---------------------------------------------------------------------------
// Layout checks for both address widths.

#if UINTPTR_MAX == 0xFFFFFFFFu
#define OPERATOR_ABI_PTR 4
#else
#define OPERATOR_ABI_PTR 8
#endif

#define OPERATOR_ABI_AFTER_PTR(off32) ((off32) + OPERATOR_ABI_PTR - 4)

static_assert(sizeof(void*) == OPERATOR_ABI_PTR, "address width");
static_assert(sizeof(OperatorTag) == OPERATOR_ABI_PTR, "tag list words are address-wide");

static_assert(offsetof(ParamDescriptor, kind) == 0);
static_assert(offsetof(ParamDescriptor, label) == 2);
static_assert(offsetof(ParamDescriptor, style) == 4);
static_assert(sizeof(ParamDescriptor) == 8);

static_assert(offsetof(ChoiceParam, entries) == 8);
static_assert(offsetof(ChoiceParam, value) == OPERATOR_ABI_AFTER_PTR(12));
static_assert(sizeof(ChoiceParam) == (OPERATOR_ABI_PTR == 4 ? 16 : 24));

static_assert(offsetof(ColorParam, color) == 8);
static_assert(sizeof(ColorParam) == 12);

static_assert(offsetof(SliderParam, text2) == 8);
static_assert(offsetof(SliderParam, reserved) == 12);
static_assert(offsetof(SliderParam, minimum) == 16);
static_assert(offsetof(SliderParam, maximum) == 20);
static_assert(offsetof(SliderParam, value) == 24);
static_assert(sizeof(SliderParam) == 28);

static_assert(offsetof(PointParam, pairs) == 8);
static_assert(offsetof(PointParam, pairs) + 2 * sizeof(PointPair) == 16, "value pair at 16");
static_assert(sizeof(PointParam) == 24);

static_assert(offsetof(OperatorRequest, command) == 0);
static_assert(offsetof(OperatorRequest, flags) == 4);
static_assert(offsetof(OperatorRequest, length) == 8);
static_assert(offsetof(OperatorRequest, position) == 12);
static_assert(offsetof(OperatorRequest, scaleNum) == 24);
static_assert(offsetof(OperatorRequest, scaleDen) == 26);
static_assert(offsetof(OperatorRequest, pixelAspect) == 44);

static_assert(offsetof(FieldImage, pixels) == 0);
static_assert(offsetof(FieldImage, width) == OPERATOR_ABI_AFTER_PTR(4));
static_assert(offsetof(FieldImage, height) == OPERATOR_ABI_AFTER_PTR(6));
static_assert(offsetof(FieldImage, regionLeft) == OPERATOR_ABI_AFTER_PTR(8));
static_assert(offsetof(FieldImage, regionTop) == OPERATOR_ABI_AFTER_PTR(10));
static_assert(offsetof(FieldImage, regionWidth) == OPERATOR_ABI_AFTER_PTR(12));
static_assert(offsetof(FieldImage, regionHeight) == OPERATOR_ABI_AFTER_PTR(14));
