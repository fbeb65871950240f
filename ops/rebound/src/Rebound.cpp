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
// Per-field set-up: the pivot and the swing angle. Double precision with the
// constants as written (not full-precision pi and pi / 2).

static const double kPi = 3.141592654;
static const double kHalfPi = 1.570796327;

// A field is at most 32767 pixels wide (its width is an i16).
static const int32_t kMaxWidth = 32767;

// The column terms of the pass: c * dx and s * dx for each column x, with
// dx = x - px. Worked out once per field instead of once per pixel.
static double columnCosDx[kMaxWidth];
static double columnSinDx[kMaxWidth];

struct Swing {
    int32_t px, py;  // the pivot
    double theta;
    double s, c;     // sin(theta) and cos(-theta)
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
    Swing swing{0, 0, 0.0, 0.0, 0.0};
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

// The swing of this field, with its sine and cosine and the column terms.
static Swing swingFor(int32_t corner, bool swingIn, uint32_t length, uint32_t position,
                      double rebounds, int32_t width, int32_t height) {
    Swing swing = swingAngle(corner, swingIn, length, position, rebounds, width, height);
    swing.s = std::sin(swing.theta);
    swing.c = std::cos(-swing.theta);
    for (int32_t x = 0; x < width; ++x) {
        const double dx = x - swing.px;
        columnCosDx[x] = swing.c * dx;
        columnSinDx[x] = swing.s * dx;
    }
    return swing;
}

// ---------------------------------------------------------------------------
// Pixel loops. One pass over the target: every target pixel whose sample
// position falls inside the field is replaced by the moving picture's whole
// sample; the others keep their bytes. opChkAbort is called after every row;
// its answer does not stop the pass. The sampler is taken by value, so that
// it stays in registers while the loop writes bytes.

// The row terms of the swing: s and c times 2 (y - py).
struct RowTerms {
    double sinDy2, cosDy2;
};

// Target pixel x of a row (p its first byte).
static inline void drawPixel(uint8_t* p, int32_t x, const Swing& swing, RowTerms t, double widthBound,
                             double heightBound, const FieldSampler& moving) {
    const double sx = columnCosDx[x] - t.sinDy2 + swing.px;
    const double sy = (columnSinDx[x] + t.cosDy2) * 0.5 + swing.py;
    // Written so that NaN fails: no conversion to an integer happens for a
    // position outside the field.
    if (!(sx >= 0.0 && sx < widthBound && sy >= 0.0 && sy < heightBound)) return;
    moving.sample(sx, sy, p);
}

static void drawRow(uint8_t* row, int32_t width, const Swing& swing, RowTerms t, double widthBound,
                    double heightBound, const FieldSampler& moving) {
    for (int32_t x = 0; x < width; ++x) drawPixel(row + x * PIXEL_BYTES, x, swing, t, widthBound, heightBound, moving);
}

#if defined(__x86_64__) || defined(__i386__)
static const bool kHasAvx2 = processorHasAvx2();

// drawRow four pixels at a time: the positions in vectors of four doubles,
// with the scalar operations in the same order, then sampleFourInside. A
// group of four with a position outside the field or a neighbour to clamp
// is drawn pixel by pixel, as is the tail of the row.
__attribute__((target("avx2"))) static void drawRowFours(uint8_t* row, int32_t width, const Swing& swing,
                                                         RowTerms t, double widthBound, double heightBound,
                                                         const FieldSampler& moving) {
    const __m256d sinDy2 = _mm256_set1_pd(t.sinDy2), cosDy2 = _mm256_set1_pd(t.cosDy2);
    const __m256d px = _mm256_set1_pd(swing.px), py = _mm256_set1_pd(swing.py), half = _mm256_set1_pd(0.5);
    const __m256d widths = _mm256_set1_pd(widthBound), heights = _mm256_set1_pd(heightBound);
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        uint8_t* p = row + x * PIXEL_BYTES;
        const __m256d sx = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(columnCosDx + x), sinDy2), px);
        const __m256d sy = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(_mm256_loadu_pd(columnSinDx + x), cosDy2), half), py);
        __m128i samples;
        if (sampleFourInside(moving, sx, sy, widths, heights, samples)) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), samples);
        } else {
            for (int32_t k = 0; k < 4; ++k) {
                drawPixel(p + k * PIXEL_BYTES, x + k, swing, t, widthBound, heightBound, moving);
            }
        }
    }
    for (; x < width; ++x) drawPixel(row + x * PIXEL_BYTES, x, swing, t, widthBound, heightBound, moving);
}
#endif

static void drawPass(uint8_t* target, int32_t width, int32_t height, bool canSample,
                     const Swing swing, const FieldSampler moving) {
    const double widthBound = width;
    const double heightBound = height;
    for (int32_t y = 0; y < height; ++y) {
        if (canSample) {
            const double dy2 = (y - swing.py) * 2.0;
            const RowTerms t{swing.s * dy2, swing.c * dy2};
            uint8_t* row = target + static_cast<size_t>(y) * static_cast<size_t>(width) * PIXEL_BYTES;
#if defined(__x86_64__) || defined(__i386__)
            if (kHasAvx2) {
                drawRowFours(row, width, swing, t, widthBound, heightBound, moving);
            } else {
                drawRow(row, width, swing, t, widthBound, heightBound, moving);
            }
#else
            drawRow(row, width, swing, t, widthBound, heightBound, moving);
#endif
        }
        opChkAbort();
    }
}

// ---------------------------------------------------------------------------
// Render: input 0 is fetched first and rules the geometry. The swung picture
// is drawn into the other field, which is handed back after the swung one is
// freed.

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

    const bool canSample = bindSamplingContext(outgoing, incoming);
    const int32_t width = samplingContext.fieldWidth;
    const int32_t height = samplingContext.fieldHeight;
    const bool swingIn = reboundMode.value == 0;
    const Swing swing = swingFor(hingeCorner.value, swingIn, length, position,
                                 static_cast<double>(reboundCount.value), width, height);

    FieldImage* target = swingIn ? outgoing : incoming;
    FieldImage* moving = swingIn ? incoming : outgoing;
    // The swung picture is the secondary field (input 1) in mode 0.
    if (height > 0) {
        drawPass(target->pixels, width, height, canSample, swing,
                 swingIn ? secondarySampler() : primarySampler());
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
