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
// Per-pass set-up. All geometry is double precision with these constants as
// written (not full-precision pi / 2 and 2 pi).

static const double kHalfPi = 1.570796327;
static const double kTwoPi = 6.283185308;

// More trail copies than the slider allows would mean one full pass each;
// larger values are held to the slider's maximum.
static const int32_t kMaxTrailCount = 9;

// A field is at most 32767 pixels wide (its width is an i16).
static const int32_t kMaxWidth = 32767;

// The column terms of the current pass: c * u and s * u for each column x,
// with u = ((x - cx) * length) / d(q). They depend on the column and the pass
// only, so they are worked out once per pass instead of once per pixel.
static double columnCosU[kMaxWidth];
static double columnSinU[kMaxWidth];

struct PassGeometry {
    double cx, cy;      // centre of the frame
    double length;      // the run length as a double
    double distance;    // d(q)
    double s, c;        // sine and cosine of the pass's angle
    double widthBound;  // W and H as doubles for the coverage test
    double heightBound;
};

// d(q) and the angle of the pass at geometry position q: in mode 0 the
// picture grows with q, otherwise it shrinks with it. length - q is formed in
// 32-bit unsigned arithmetic. A run of length 0 or d(q) = 0 makes the
// coordinates infinite or not a number, which the coverage test rejects.
static PassGeometry passGeometry(uint32_t q, uint32_t length, double turnsValue, bool growIn,
                                 int32_t width, int32_t height) {
    PassGeometry g;
    g.cx = width * 0.5;
    g.cy = height * 0.5;
    g.length = static_cast<double>(length);
    g.widthBound = width;
    g.heightBound = height;
    double theta;
    if (growIn) {
        g.distance = static_cast<double>(q);
        theta = std::sin((g.distance * kHalfPi) / g.length) * (turnsValue * -kTwoPi);
    } else {
        g.distance = static_cast<double>(length - q);
        theta = std::sin((g.distance * kHalfPi) / g.length) * (turnsValue * kTwoPi);
    }
    g.s = std::sin(theta);
    g.c = std::cos(theta);
    for (int32_t x = 0; x < width; ++x) {
        const double u = ((x - g.cx) * g.length) / g.distance;
        columnCosU[x] = g.c * u;
        columnSinU[x] = g.s * u;
    }
    return g;
}

// ---------------------------------------------------------------------------
// Pixel loops. One drawing pass over the target: every target pixel whose
// sample position falls inside the field takes the moving picture's sample;
// the others keep their bytes. trailWeight < 0: the final pass, the whole
// sample replaces the pixel. Otherwise a trail pass with D = trailWeight:
// bytes 1..3 become (target * D + sample * (255 - D)) / 255, byte 0 stays.
// opChkAbort is called after every row; its answer does not stop the pass.
// The geometry and the sampler are taken by value, so that they stay in
// registers while the loop writes bytes.

static void drawPass(uint8_t* target, int32_t width, int32_t height, bool canSample,
                     const PassGeometry g, const FieldSampler moving, int32_t trailWeight) {
    const uint32_t sampleWeight = trailWeight < 0 ? 255u : 255u - static_cast<uint32_t>(trailWeight);
    for (int32_t y = 0; y < height; ++y) {
        if (canSample) {
            const double dy2 = (y - g.cy) * 2.0;
            const double v = (g.length * dy2) / g.distance;
            const double sinV = g.s * v;
            const double cosV = g.c * v;
            uint8_t* p = target + static_cast<size_t>(y) * static_cast<size_t>(width) * PIXEL_BYTES;
            for (int32_t x = 0; x < width; ++x, p += PIXEL_BYTES) {
                const double sx = columnCosU[x] - sinV + g.cx;
                const double sy = (cosV + columnSinU[x]) * 0.5 + g.cy;
                // Written so that NaN fails: no conversion to an integer
                // happens for a position outside the field.
                if (!(sx >= 0.0 && sx < g.widthBound && sy >= 0.0 && sy < g.heightBound)) continue;
                if (trailWeight < 0) {
                    moving.sample(sx, sy, p);
                } else {
                    uint8_t sample[PIXEL_BYTES];
                    moving.sample<1>(sx, sy, sample);  // byte 0 is not blended
                    p[1] = mixByStrength(sample[1], p[1], sampleWeight);
                    p[2] = mixByStrength(sample[2], p[2], sampleWeight);
                    p[3] = mixByStrength(sample[3], p[3], sampleWeight);
                }
            }
        }
        opChkAbort();
    }
}

// ---------------------------------------------------------------------------
// Render: input 1 is fetched first and rules the geometry. The trail copies
// (oldest and faintest first) and then the picture itself are drawn into the
// target, which is handed back after the moving picture is freed.

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

    const bool canSample = bindSamplingContext(incoming, outgoing);
    const int32_t width = samplingContext.fieldWidth;
    const int32_t height = samplingContext.fieldHeight;
    const double turnsValue = turns.value;
    const int32_t trails = trailCount.value < kMaxTrailCount ? trailCount.value : kMaxTrailCount;
    const bool growIn = rotateMode.value == 0;

    FieldImage* target = growIn ? outgoing : incoming;
    FieldImage* moving = growIn ? incoming : outgoing;
    // The moving picture is the primary field (input 1) in mode 0.
    const FieldSampler sampler = growIn ? primarySampler() : secondarySampler();
    auto pass = [&](uint32_t q, int32_t trailWeight) {
        const PassGeometry g = passGeometry(q, length, turnsValue, growIn, width, height);
        drawPass(target->pixels, width, height, canSample, g, sampler, trailWeight);
    };

    for (int32_t k = trails; k > 0; --k) {
        const uint32_t back = static_cast<uint32_t>(k);
        if (position > back) pass(position - back, (k * 255) / (trails + 1));
    }
    pass(position, -1);

    opFreeImage(moving);
    return opPutField(target);
}

// ---------------------------------------------------------------------------
// Exports.

OPERATOR_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

OPERATOR_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    return dispatchCommand(request, renderField);
}
