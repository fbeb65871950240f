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

// The row terms of a pass: v = (length * 2 (y - cy)) / d(q) times s and c.
struct RowTerms {
    double sinV, cosV;
};

static RowTerms rowTerms(const PassGeometry& g, int32_t y) {
    const double dy2 = (y - g.cy) * 2.0;
    const double v = (g.length * dy2) / g.distance;
    return {g.s * v, g.c * v};
}

// Target pixel x of a row (p its first byte).
static inline void drawPixel(uint8_t* p, int32_t x, const PassGeometry& g, RowTerms t, const FieldSampler& moving,
                             int32_t trailWeight, uint32_t sampleWeight) {
    const double sx = columnCosU[x] - t.sinV + g.cx;
    const double sy = (t.cosV + columnSinU[x]) * 0.5 + g.cy;
    // Written so that NaN fails: no conversion to an integer happens for a
    // position outside the field.
    if (!(sx >= 0.0 && sx < g.widthBound && sy >= 0.0 && sy < g.heightBound)) return;
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

static void drawRow(uint8_t* row, int32_t width, const PassGeometry& g, RowTerms t, const FieldSampler& moving,
                    int32_t trailWeight, uint32_t sampleWeight) {
    for (int32_t x = 0; x < width; ++x) drawPixel(row + x * PIXEL_BYTES, x, g, t, moving, trailWeight, sampleWeight);
}

#if defined(__x86_64__) || defined(__i386__)
static const bool kHasAvx2 = processorHasAvx2();

// drawRow four pixels at a time: the positions in vectors of four doubles,
// with the scalar operations in the same order, then sampleFourInside. A
// group of four with a position outside the field or a neighbour to clamp
// is drawn pixel by pixel, as is the tail of the row.
__attribute__((target("avx2"))) static void drawRowFours(uint8_t* row, int32_t width, const PassGeometry& g,
                                                         RowTerms t, const FieldSampler& moving,
                                                         int32_t trailWeight, uint32_t sampleWeight) {
    const __m256d sinV = _mm256_set1_pd(t.sinV), cosV = _mm256_set1_pd(t.cosV);
    const __m256d cx = _mm256_set1_pd(g.cx), cy = _mm256_set1_pd(g.cy), half = _mm256_set1_pd(0.5);
    const __m256d widthBound = _mm256_set1_pd(g.widthBound), heightBound = _mm256_set1_pd(g.heightBound);
    // The trail mix in 16-bit lanes (every sum is at most 65025), byte 0 kept.
    const __m128i take = _mm_set1_epi16(static_cast<int16_t>(sampleWeight));
    const __m128i keep = _mm_set1_epi16(static_cast<int16_t>(255u - sampleWeight));
    const __m128i zero = _mm_setzero_si128();
    const __m128i firstBytes = _mm_set1_epi32(0xFF);
    auto mix = [&](__m128i s, __m128i q) {  // div255Narrow(s * take + q * keep)
        return div255Lanes(_mm_add_epi16(_mm_mullo_epi16(s, take), _mm_mullo_epi16(q, keep)));
    };
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        uint8_t* p = row + x * PIXEL_BYTES;
        const __m256d sx = _mm256_add_pd(_mm256_sub_pd(_mm256_loadu_pd(columnCosU + x), sinV), cx);
        const __m256d sy = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(cosV, _mm256_loadu_pd(columnSinU + x)), half), cy);
        __m128i samples;
        if (!sampleFourInside(moving, sx, sy, widthBound, heightBound, samples)) {
            for (int32_t k = 0; k < 4; ++k) {
                drawPixel(p + k * PIXEL_BYTES, x + k, g, t, moving, trailWeight, sampleWeight);
            }
        } else if (trailWeight < 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), samples);
        } else {
            const __m128i target = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i low = mix(_mm_unpacklo_epi8(samples, zero), _mm_unpacklo_epi8(target, zero));
            const __m128i high = mix(_mm_unpackhi_epi8(samples, zero), _mm_unpackhi_epi8(target, zero));
            const __m128i mixed = _mm_packus_epi16(low, high);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                             _mm_or_si128(_mm_and_si128(firstBytes, target), _mm_andnot_si128(firstBytes, mixed)));
        }
    }
    for (; x < width; ++x) drawPixel(row + x * PIXEL_BYTES, x, g, t, moving, trailWeight, sampleWeight);
}
#endif

static void drawPass(uint8_t* target, int32_t width, int32_t height, bool canSample,
                     const PassGeometry g, const FieldSampler moving, int32_t trailWeight) {
    const uint32_t sampleWeight = trailWeight < 0 ? 255u : 255u - static_cast<uint32_t>(trailWeight);
    for (int32_t y = 0; y < height; ++y) {
        if (canSample) {
            uint8_t* row = target + static_cast<size_t>(y) * static_cast<size_t>(width) * PIXEL_BYTES;
#if defined(__x86_64__) || defined(__i386__)
            if (kHasAvx2) {
                drawRowFours(row, width, g, rowTerms(g, y), moving, trailWeight, sampleWeight);
            } else {
                drawRow(row, width, g, rowTerms(g, y), moving, trailWeight, sampleWeight);
            }
#else
            drawRow(row, width, g, rowTerms(g, y), moving, trailWeight, sampleWeight);
#endif
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
