// Rotate: a transition in which one picture spins about the centre of the
// frame while it scales between full size and nothing. In mode 0 the
// incoming picture (input 1) grows in over the outgoing one; in any other
// mode the outgoing picture (input 0) shrinks away and uncovers the incoming
// one. Fainter copies at the geometry of the previous few positions are
// blended in first as a trail.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "FieldSampling.h"
#include "OperatorSupport.h"
#include "TransitionDrawing.h"
#include "TruncatedPi.h"

// ---------------------------------------------------------------------------
// Descriptors and tag list. The host writes its settings into these.

static const char kSource[] = "src\\Rotate";
static const uint32_t kMessageCode = 0x0B800000u;
static const char kRevision[] = "$Id: Rotate.cpp,v 1.0 2014/03/24 $";

static const uint32_t rotateModeEntries[] = {731, 732, 0};

static SliderParam turns = {{PARAM_SLIDER, 710, 0}, 711, 0, -9, 9, 4};
static SliderParam trailCount = {{PARAM_SLIDER, 720, 0}, 721, 0, 0, 9, 3};
static ChoiceParam rotateMode = {{PARAM_CHOICE, 730, 0}, rotateModeEntries, 1};

static uintptr_t tagList[] = {
    OPERATOR_TAG_LIST_HEAD(0, kRevision),
    OPERATOR_TAG_PARAM(1, turns),
    OPERATOR_TAG_PARAM(2, trailCount),
    OPERATOR_TAG_PARAM(3, rotateMode),
    0,
};

// ---------------------------------------------------------------------------
// Per-pass set-up. All geometry is double precision with pi as written (see
// TruncatedPi.h).

// More trail copies than the slider allows would mean one full pass each;
// larger values are held to the slider's maximum.
static const int32_t kMaxTrailCount = 9;

// The terms of the pass at geometry position q (see PassTerms), about the
// centre of the frame cx = W * 0.5, cy = H * 0.5, with a distance d(q) and
// an angle: in mode 0 the picture grows with q, otherwise it shrinks with
// it. Column x gives c * u and s * u with u = ((x - cx) * length) / d(q),
// row y gives s * v and c * v with v = (length * 2 (y - cy)) / d(q).
// length - q is formed in 32-bit unsigned arithmetic. A run of length 0 or
// d(q) = 0 makes the positions infinite or not a number, which the pass's
// coverage test rejects.
static void fillPassTerms(PassTerms& terms, uint32_t q, uint32_t length, double turnsValue, bool growIn,
                          int32_t width, int32_t height) {
    const double cx = width * 0.5;
    const double cy = height * 0.5;
    const double runLength = static_cast<double>(length);
    double distance, theta;
    if (growIn) {
        distance = static_cast<double>(q);
        theta = std::sin((distance * kHalfPi) / runLength) * (turnsValue * -kTwoPi);
    } else {
        distance = static_cast<double>(length - q);
        theta = std::sin((distance * kHalfPi) / runLength) * (turnsValue * kTwoPi);
    }
    const double s = std::sin(theta);
    const double c = std::cos(theta);
    for (int32_t x = 0; x < width; ++x) {
        const double u = ((x - cx) * runLength) / distance;
        terms.columnCos[x] = c * u;
        terms.columnSin[x] = s * u;
    }
    for (int32_t y = 0; y < height; ++y) {
        const double dy2 = (y - cy) * 2.0;  // in frame lines
        const double v = (runLength * dy2) / distance;
        terms.rowSin[y] = s * v;
        terms.rowCos[y] = c * v;
    }
    terms.originX = cx;
    terms.originY = cy;
}

// The terms of the pass being drawn, and the pixels of each row that the
// final pass replaces, kept here because they are too large for the stack;
// filled and read within one render.
static PassTerms passTerms;
static RowSpan finalCover[kMaxFieldExtent];

// ---------------------------------------------------------------------------
// Render: input 1 is fetched first and rules the geometry. The trail copies
// (oldest and faintest first, each blended with weight D = k * 255 /
// (trails + 1)) and then the picture itself are drawn into the target, which
// is handed back after the moving picture is freed.

static int32_t renderField(const OperatorRequest& request) {
    const uint32_t position = request.position;
    const uint32_t length = request.length;
    FieldImage* incoming = opGetField(1, static_cast<int32_t>(position));
    if (incoming == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    FieldImage* outgoing = opGetField(0, static_cast<int32_t>(position));
    if (outgoing == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    // Input 0 is addressed with input 1's stride and region: fields of
    // different sizes cannot be combined.
    if (outgoing->width != incoming->width || outgoing->height != incoming->height) {
        return logFailure(__LINE__, kSource, kMessageCode);
    }

    SamplingContext fields;
    const bool canSample = bindSamplingContext(incoming, outgoing, fields);
    const int32_t width = fields.fieldWidth;
    const int32_t height = fields.fieldHeight;
    const double turnsValue = turns.value;
    const int32_t trails = trailCount.value < kMaxTrailCount ? trailCount.value : kMaxTrailCount;
    const bool growIn = rotateMode.value == 0;

    FieldImage* target = growIn ? outgoing : incoming;
    FieldImage* moving = growIn ? incoming : outgoing;
    // The moving picture is the primary field (input 1) in mode 0.
    const FieldSampler sampler = growIn ? fields.primarySampler() : fields.secondarySampler();
    // The final pass replaces every pixel it covers, so the trail copies
    // leave those pixels alone (when the covered pixels are known exactly).
    const bool anyTrail = trails > 0 && position > 1;
    bool finalCovered = false;
    if (anyTrail && canSample) {
        fillPassTerms(passTerms, position, length, turnsValue, growIn, width, height);
        finalCovered = coveredSpans(passTerms, width, height, finalCover);
    }
    auto pass = [&](uint32_t q, int32_t trailWeight, const RowSpan* replacedLater) {
        fillPassTerms(passTerms, q, length, turnsValue, growIn, width, height);
        drawPass(target->pixels, width, height, canSample, passTerms, sampler, trailWeight, replacedLater);
    };

    for (int32_t k = trails; k > 0; --k) {
        const uint32_t back = static_cast<uint32_t>(k);
        if (position > back) pass(position - back, (k * 255) / (trails + 1), finalCovered ? finalCover : nullptr);
    }
    pass(position, kReplacePixel, nullptr);

    opFreeImage(moving);
    return opPutField(target);
}

// ---------------------------------------------------------------------------
// Exports.

OPERATOR_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

OPERATOR_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    return dispatchCommand(request, renderField);
}
