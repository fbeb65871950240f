// Rebound: a transition in which one picture swings about a corner of the
// frame like a flap on a hinge. In mode 0 the incoming picture (input 1)
// swings in, lands and rebounds with shrinking swings until it rests at the
// end of the run; in any other mode the outgoing picture (input 0) swings
// out and rebounds off its fully opened position until it is gone.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "FieldSampling.h"
#include "OperatorSupport.h"
#include "TransitionDrawing.h"
#include "TruncatedPi.h"

// ---------------------------------------------------------------------------
// Descriptors and tag list. The host writes its settings into these. The
// corner choice lists plain numbers that the host shows unchanged.

static const char kSource[] = "src\\Rebound";
static const uint32_t kMessageCode = 0x0B7B0000u;
static const char kRevision[] = "$Id: Rebound.cpp,v 1.0 2014/03/24 $";

static const uint32_t hingeCornerEntries[] = {2, 4, 6, 8, 0};
static const uint32_t reboundModeEntries[] = {221, 222, 0};

static ChoiceParam hingeCorner = {{PARAM_CHOICE, 210, CHOICE_STYLE_NUMBERS}, hingeCornerEntries, 0};
static ChoiceParam reboundMode = {{PARAM_CHOICE, 220, CHOICE_STYLE_TEXT}, reboundModeEntries, 1};
static SliderParam reboundCount = {{PARAM_SLIDER, 230, 0}, 231, 0, 1, 9, 3};

static uintptr_t tagList[] = {
    OPERATOR_TAG_LIST_HEAD(0, kRevision),
    OPERATOR_TAG_PARAM(1, hingeCorner),
    OPERATOR_TAG_PARAM(2, reboundMode),
    OPERATOR_TAG_PARAM(3, reboundCount),
    0,
};

// ---------------------------------------------------------------------------
// Per-field set-up: the pivot and the swing angle. Double precision with pi
// as written (see TruncatedPi.h).

struct Swing {
    int32_t px, py;  // the pivot
    double theta;
};

// The pivot lies on an outer corner of the frame. Corners 0 and 2 use the
// rebound factor aP formed from the position, corners 1 and 3 the factor aR
// formed from the fields remaining; the two are equal in exact arithmetic but
// round differently, so each is used exactly where it belongs. Any other
// corner leaves the picture unmoved about (0, 0). A run of length 0 gives an
// angle that is not a number, and nothing is covered.
static Swing swingAngle(int32_t corner, bool swingIn, uint32_t length, uint32_t position,
                      double rebounds, int32_t width, int32_t height) {
    const double L = static_cast<double>(length);
    const double P = static_cast<double>(position);
    const double r = static_cast<double>(length - position);
    const double arches = rebounds * kPi + kHalfPi;
    Swing swing{0, 0, 0.0};
    switch (corner) {
    case 0: swing.px = width; swing.py = 0; break;
    case 1: swing.px = width; swing.py = height; break;
    case 2: swing.px = 0; swing.py = height; break;
    case 3: swing.px = 0; swing.py = 0; break;
    default: return swing;
    }
    if (corner == 0 || corner == 2) {
        const double aP = std::fabs(std::sin((arches * P) / L + kHalfPi));
        if (swingIn) {
            swing.theta = ((r * kHalfPi) / L) * aP;
        } else {
            const double aR = std::fabs(std::sin((arches * r) / L));
            swing.theta = ((r * -kHalfPi) / L) * aR + kHalfPi;
        }
    } else {
        if (swingIn) {
            const double aR = std::fabs(std::sin((arches * r) / L));
            swing.theta = ((r * -kHalfPi) / L) * aR;
        } else {
            const double aP = std::fabs(std::sin((arches * P) / L + kHalfPi));
            swing.theta = ((r * kHalfPi) / L) * aP - kHalfPi;
        }
    }
    return swing;
}

// The terms of the swing (see PassTerms), about the pivot: column x gives
// c * dx and s * dx with dx = x - px, row y gives s and c times 2 (y - py)
// (in frame lines), with s = sin(theta) and c = cos(-theta).
static void fillPassTerms(PassTerms& terms, const Swing& swing, int32_t width, int32_t height) {
    const double s = std::sin(swing.theta);
    const double c = std::cos(-swing.theta);
    for (int32_t x = 0; x < width; ++x) {
        const double dx = x - swing.px;
        terms.columnCos[x] = c * dx;
        terms.columnSin[x] = s * dx;
    }
    for (int32_t y = 0; y < height; ++y) {
        const double dy2 = (y - swing.py) * 2.0;
        terms.rowSin[y] = s * dy2;
        terms.rowCos[y] = c * dy2;
    }
    terms.originX = swing.px;
    terms.originY = swing.py;
}

// The terms of the pass being drawn, kept here because they are too large
// for the stack; filled and read within one render.
static PassTerms passTerms;

// ---------------------------------------------------------------------------
// Render: input 0 is fetched first and rules the geometry. The swung picture
// is drawn into the other field, replacing every pixel it covers; that field
// is handed back after the swung one is freed.

static int32_t renderField(const OperatorRequest& request) {
    const uint32_t position = request.position;
    const uint32_t length = request.length;
    FieldImage* outgoing = opGetField(0, static_cast<int32_t>(position));
    if (outgoing == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    FieldImage* incoming = opGetField(1, static_cast<int32_t>(position));
    if (incoming == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    // Input 1 is addressed with input 0's stride and region: fields of
    // different sizes cannot be combined.
    if (incoming->width != outgoing->width || incoming->height != outgoing->height) {
        return logFailure(__LINE__, kSource, kMessageCode);
    }

    SamplingContext fields;
    const bool canSample = bindSamplingContext(outgoing, incoming, fields);
    const int32_t width = fields.fieldWidth;
    const int32_t height = fields.fieldHeight;
    const bool swingIn = reboundMode.value == 0;
    const Swing swing = swingAngle(hingeCorner.value, swingIn, length, position,
                                   static_cast<double>(reboundCount.value), width, height);

    FieldImage* target = swingIn ? outgoing : incoming;
    FieldImage* moving = swingIn ? incoming : outgoing;
    // The swung picture is the secondary field (input 1) in mode 0.
    if (height > 0) {
        fillPassTerms(passTerms, swing, width, height);
        drawPass(target->pixels, width, height, canSample, passTerms,
                 swingIn ? fields.secondarySampler() : fields.primarySampler(), kReplacePixel);
    }

    opFreeImage(moving);
    return opPutField(target);
}

// ---------------------------------------------------------------------------
// Exports.

OPERATOR_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

OPERATOR_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    return dispatchCommand(request, renderField);
}
