// Blur: box-blurs bytes 1, 2 and 3 of every pixel along the rows, the columns
// or both into a scratch image, then mixes the blurred picture with the
// untouched one by a strength that fades in or out over the run. The scratch
// image is the rendered field.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BlurWindow.h"
#include "BoxBlur.h"
#include "FadeStrength.h"
#include "OperatorSupport.h"

// ---------------------------------------------------------------------------
// Descriptors and tag list. The host writes its settings into these.

static const char kSource[] = "src\\Blur";
static const uint32_t kMessageCode = 0x0B7A0000u;
static const char kRevision[] = "$Id: Blur.cpp,v 1.0 2014/03/24 $";

static const uint32_t directionEntries[] = {121, 122, 123, 0};
static const uint32_t fadeModeEntries[] = {141, 142, 143, 144, 0};

static SliderParam blurSize = {{PARAM_SLIDER, 110, 0}, 111, 0, 1, 25, 5};
static ChoiceParam blurDirection = {{PARAM_CHOICE, 120, 0}, directionEntries, 2};
static SliderParam fadePercent = {{PARAM_SLIDER, 130, 0}, 131, 0, 0, 100, 50};
static ChoiceParam fadeMode = {{PARAM_CHOICE, 140, 0}, fadeModeEntries, FADE_IN};

static uintptr_t tagList[] = {
    OPERATOR_TAG_LIST_HEAD(1, kRevision),
    OPERATOR_TAG_PARAM(1, blurSize),
    OPERATOR_TAG_PARAM(2, blurDirection),
    OPERATOR_TAG_PARAM(3, fadePercent),
    OPERATOR_TAG_PARAM(4, fadeMode),
    0,
};

enum : int32_t { BLUR_ROWS = 0, BLUR_COLUMNS = 1, BLUR_BOTH = 2 };

// ---------------------------------------------------------------------------
// Pixel work.

// The kernel of one direction for bytes 1, 2 and 3, field into scratch; any
// other direction blurs nothing. (Both directions are blurred and mixed in
// one kernel, BlurBothPictureMixed.)
static void blurChannels(const uint8_t* field, uint8_t* scratch, int32_t width, int32_t height,
                         int32_t window, int32_t direction) {
    decltype(&BlurVertical) kernel = nullptr;
    switch (direction) {
    case BLUR_ROWS:    kernel = BlurHorizontal; break;
    case BLUR_COLUMNS: kernel = BlurVertical; break;
    default:           return;
    }
    kernel(field, scratch, width, height, window, PIXEL_CR);
    kernel(field, scratch, width, height, window, PIXEL_CB);
    kernel(field, scratch, width, height, window, PIXEL_LUMA);
}

// scratch byte <- (scratch byte * s + field byte * (255 - s)) / 255 for all
// four bytes of every pixel. At s = 255 that leaves the scratch image as it
// is and at s = 0 it is the field, so both are done without the arithmetic.
static void mixWithField(uint8_t* scratch, const uint8_t* field, size_t bytes, uint32_t s) {
    if (s == 255u) return;
    if (s == 0u) {
        std::memcpy(scratch, field, bytes);
        return;
    }
    runInWidestBuild([&]() ISA_BODY { mixBytesByStrength(scratch, field, bytes, s); });
}

// ---------------------------------------------------------------------------
// Render: the whole field, not only its valid region, is blurred.

static int32_t renderField(const OperatorRequest& request) {
    const int32_t position = static_cast<int32_t>(request.position);
    FieldImage* field = opGetField(0, position);
    if (field == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    FieldImage* scratch = allocFieldShapedImage();
    if (scratch == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    const int32_t width = field->width;
    const int32_t height = field->height;
    const int32_t window = blurWindowLength(blurSize.value, request);
    const int32_t direction = blurDirection.value;
    const int32_t length = static_cast<int32_t>(request.length);
    const uint32_t strength =
        static_cast<uint32_t>(FadeStrength(fadeMode.value, fadePercent.value, length, position));

    if (width > 0 && height > 0) {
        // At strength 0 the mix gives back every byte of the field whatever
        // the scratch image holds, so the blur is left out. Both directions
        // are blurred and mixed in one kernel, row by row; it may need
        // working memory, and a render without it fails (the one-direction
        // kernels need none).
        if (strength != 0 && direction == BLUR_BOTH) {
            if (!BlurBothPictureMixed(field->pixels, scratch->pixels, width, height, window, strength)) {
                opFreeImage(scratch);
                opFreeImage(field);
                return logFailure(__LINE__, kSource, kMessageCode);
            }
        } else {
            if (strength != 0) blurChannels(field->pixels, scratch->pixels, width, height, window, direction);
            const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * PIXEL_BYTES;
            mixWithField(scratch->pixels, field->pixels, bytes, strength);
        }
    }
    opFreeImage(field);
    return opPutField(scratch);
}

// ---------------------------------------------------------------------------
// Exports.

OPERATOR_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

OPERATOR_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    return dispatchCommand(request, renderField);
}
