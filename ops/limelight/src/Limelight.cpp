// Limelight: a round spot of light. Inside the spot the brightness stays as it
// was, outside it is halved, and across a soft rim it falls off linearly from
// full to half. Only the luma byte changes and the lit luma is held to 16..240.
// The effect fades in over the first and out over the last fadePercent / 2
// percent of the run by blending the lit luma with the field's own.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FadeStrength.h"
#include "OperatorSupport.h"

// ---------------------------------------------------------------------------
// Descriptors and tag list. The host writes its settings into these.

static const char kSource[] = "src\\Limelight";
static const uint32_t kMessageCode = 0x0B7E0000u;
static const char kRevision[] = "$Id: Limelight.cpp,v 1.0 2014/03/24 $";

static SliderParam spotSize = {{PARAM_SLIDER, 510, 0}, 511, 0, 1, 99, 50};
static SliderParam edgeSoftness = {{PARAM_SLIDER, 520, 0}, 521, 0, 0, 50, 10};
// Only the third pair (x in pixels, y in field rows) is read: the spot centre
// relative to the top-left corner of the field's valid region.
static PointParam spotCenter = {{PARAM_POINT, 530, POINT_STYLE}, {{10, 5}, {10, 5}, {100, 50}, {10, 5}}};
static SliderParam fadePercent = {{PARAM_SLIDER, 540, 0}, 541, 0, 0, 100, 50};

static uintptr_t tagList[] = {
    OPERATOR_TAG_LIST_HEAD(1, kRevision),
    OPERATOR_TAG_PARAM(1, spotSize),
    OPERATOR_TAG_PARAM(2, edgeSoftness),
    OPERATOR_TAG_PARAM(3, spotCenter),
    OPERATOR_TAG_PARAM(4, fadePercent),
    0,
};

// ---------------------------------------------------------------------------
// Per-field set-up: the spot geometry and the luma tables.
//
// The geometry is worked out in 64 bits. For parameters in their ranges and
// any field a host can describe every value fits 32 bits and the results are
// those of 32-bit arithmetic; in 64 bits no setting a host can write
// overflows: |R| < 2^40, |Ry| < 2^50, and the core radius saturates.

static const int32_t kSquarePixels = 1000;

struct Spot {
    int64_t radius;       // R, in pixels
    int64_t coreRadius;   // Rin: the fully lit core; the rim runs from Rin to R
    int64_t radiusLines;  // Ry: R in frame lines
    int32_t centreX;      // cx, a column: a clipped region corner plus an i16
    int32_t centreY;      // cy, a field row
    int64_t boxTop;       // y0
    int32_t pixelAspect;  // line height in thousandths of a pixel width, never 0
    int32_t lineOffset;   // 0, or 1 for the field that lies one line lower
    // The bounding box clipped to the image, inclusive; empty when
    // firstRow > lastRow or firstCol > lastCol.
    int32_t firstCol, lastCol, firstRow, lastRow;
    float r, rin;         // R and Rin as compared with a distance
    float rimWidth;       // R - Rin, or 1 when there is no rim (it is then never used)
};

// ((100 - softness) * R) / 100, with the product held to the 64-bit range.
// It leaves that range only for a softness beyond +-2^23, where the core
// radius is far outside any field either way.
static int64_t coreRadius(int32_t softness, int64_t radius) {
    const int64_t share = int64_t{100} - softness;
    int64_t product;
    if (__builtin_mul_overflow(share, radius, &product)) {
        product = (share < 0) != (radius < 0) ? INT64_MIN : INT64_MAX;
    }
    return product / 100;
}

static int32_t clampTo(int64_t value, int32_t low, int32_t high) {
    if (value < low) return low;
    if (value > high) return high;
    return static_cast<int32_t>(value);
}

static Spot spotGeometry(int32_t width, int32_t height, int32_t size, int32_t softness,
                         PointPair centre, const PixelRect& region, int32_t pixelAspect,
                         int32_t lineOffset) {
    Spot spot{};
    spot.radius = int64_t{height} * size / 100;
    spot.coreRadius = coreRadius(softness, spot.radius);
    // A pixel aspect of 0 says nothing about the pixel shape; it is taken as
    // square, the host's own default, instead of dividing by it.
    spot.pixelAspect = pixelAspect != 0 ? pixelAspect : kSquarePixels;
    spot.radiusLines = spot.radius * 1000 / spot.pixelAspect;
    spot.centreX = region.left + centre.x;
    spot.centreY = region.top + centre.y;
    spot.lineOffset = lineOffset;

    // The box reaches from the spot's left edge over 4R columns, and from
    // Ry / 2 rows above the centre over 2Ry rows. It is the effect's own
    // extent, not the circle's bounds: it runs 2R past the spot on the right
    // and Ry below it, and cuts the spot's top rows off; only pixels inside
    // it can be lit, so its exact size fixes which pixels keep their light.
    const int64_t x0 = int64_t{spot.centreX} - spot.radius;
    const int64_t x1 = x0 + 4 * spot.radius - 1;
    spot.boxTop = spot.centreY - spot.radiusLines / 2;
    const int64_t y1 = spot.boxTop + 2 * spot.radiusLines - 1;
    spot.firstCol = clampTo(x0, 0, width);
    spot.lastCol = clampTo(x1, -1, width - 1);
    spot.firstRow = clampTo(spot.boxTop, 0, height);
    spot.lastRow = clampTo(y1, -1, height - 1);

    spot.r = static_cast<float>(spot.radius);
    spot.rin = static_cast<float>(spot.coreRadius);
    const int64_t rimWidth = spot.radius - spot.coreRadius;
    spot.rimWidth = rimWidth > 0 ? static_cast<float>(rimWidth) : 1.0f;
    return spot;
}

// Final luma of a pixel of luma m that lies outside the spot, and of one in
// its core, each blended with m by the strength s. Outside, m * 0.5 limited
// to 16..240 and truncated is max(m / 2, 16): m * 0.5 never exceeds 127.5 and
// falls below 16 exactly when m < 32. In the core the lit luma is m limited.
struct LumaTables {
    uint8_t outside[256];
    uint8_t core[256];
};

static void fillLumaTables(LumaTables& tables, uint32_t s) {
    for (uint32_t m = 0; m < 256; ++m) {
        const uint32_t halved = m / 2 < 16 ? 16 : m / 2;
        const uint32_t limited = m < 16 ? 16 : (m > 240 ? 240 : m);
        tables.outside[m] = mixByStrength(halved, m, s);
        tables.core[m] = mixByStrength(limited, m, s);
    }
}

// ---------------------------------------------------------------------------
// Pixel work. Each scratch row starts as a copy of the field's row, so bytes
// 0..2 are the field's (the blend of a byte with itself is that byte); only
// the luma byte of each pixel is then rewritten, in place.

// Distance from the centre of a pixel dx columns from it, on a row whose
// squared vertical distance is dy2: dx converted to single precision, squared
// and added in single precision, the root taken of the sum widened to double
// precision and rounded back to single. |dx| < 2^17 converts exactly.
static float distance(int32_t dx, float dy2) {
    const float dxf = static_cast<float>(dx);
    const float sum = dxf * dxf + dy2;
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

// Largest k in 0..maxReach with distance(k, dy2) <= limit, or -1 if there is
// none. Every step of distance() rounds monotonically, so the distance never
// falls as |dx| grows, and distance(dx) <= limit holds exactly for |dx| <= k.
static int32_t reachWithin(float limit, float dy2, int32_t maxReach) {
    if (!(distance(0, dy2) <= limit)) return -1;
    int32_t low = 0;  // distance(low) <= limit
    int32_t high = maxReach;
    while (low < high) {
        const int32_t mid = low + (high - low + 1) / 2;
        if (distance(mid, dy2) <= limit) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return low;
}

// Lit luma of a pixel of luma m at distance d in the rim (Rin < d <= R, so
// R - Rin >= 1), limited to 16..240 and truncated, in single precision in the
// order written.
static uint32_t rimLuma(float m, float d, const Spot& spot) {
    const float v = ((d - spot.rin) * 255.0f) / spot.rimWidth;
    float n = ((255.0f - v) * m + (m * 0.5f) * v) / 255.0f;
    if (n > 240.0f) {
        n = 240.0f;
    } else if (n < 16.0f) {
        n = 16.0f;
    }
    return static_cast<uint32_t>(n);
}

// Luma of columns from..to-1 of a row through one of the tables.
static void lumaFromTable(uint8_t* row, int32_t from, int32_t to, const uint8_t* table) {
    for (int32_t j = from; j < to; ++j) {
        uint8_t& luma = row[j * PIXEL_BYTES + PIXEL_LUMA];
        luma = table[luma];
    }
}

// Luma of columns from..to-1 of a box row, all in the rim, blended by s.
static void lumaRim(uint8_t* row, int32_t from, int32_t to, float dy2, const Spot& spot, uint32_t s) {
    const uint32_t keep = 255u - s;
    for (int32_t j = from; j < to; ++j) {
        uint8_t& luma = row[j * PIXEL_BYTES + PIXEL_LUMA];
        const uint32_t lit = rimLuma(luma, distance(j - spot.centreX, dy2), spot);
        luma = static_cast<uint8_t>(div255(lit * s + luma * keep));
    }
}

static int32_t clampRange(int32_t value, int32_t low, int32_t high) {
    return value < low ? low : (value > high ? high : value);
}

// Row i of the box. The columns whose distance is at most Rin (the core) and
// at most R follow from two reaches per row, so the row falls into runs:
// outside, rim, core, rim, outside. Only the rim takes a root per pixel; the
// core and the outside, within the box or not, come from the tables.
static void lumaBoxRow(uint8_t* row, int32_t width, int32_t i, const Spot& spot,
                       const LumaTables& tables, uint32_t s) {
    const int64_t lines = 2 * int64_t{i} - 2 * spot.boxTop - spot.radiusLines;
    const int64_t dy = lines * spot.pixelAspect / 1000 + spot.lineOffset;
    const float dyf = static_cast<float>(dy);
    const float dy2 = dyf * dyf;
    const int32_t cx = spot.centreX;
    const int32_t maxReach = std::max(std::abs(cx - spot.firstCol), std::abs(spot.lastCol - cx));
    // A core pixel is tested first, so it counts as lit even when Rin > R.
    const int32_t core = reachWithin(spot.rin, dy2, maxReach);
    const int32_t lit = std::max(reachWithin(spot.r, dy2, maxReach), core);

    // Runs [litFrom, coreFrom) rim, [coreFrom, coreTo) core, [coreTo, litTo)
    // rim, all within the box; a reach of -1 gives empty runs.
    const int32_t boxEnd = spot.lastCol + 1;
    const int32_t litFrom = clampRange(cx - lit, spot.firstCol, boxEnd);
    const int32_t litTo = clampRange(cx + lit + 1, litFrom, boxEnd);
    const int32_t coreFrom = clampRange(cx - core, litFrom, litTo);
    const int32_t coreTo = clampRange(cx + core + 1, coreFrom, litTo);
    lumaFromTable(row, 0, litFrom, tables.outside);
    lumaRim(row, litFrom, coreFrom, dy2, spot, s);
    lumaFromTable(row, coreFrom, coreTo, tables.core);
    lumaRim(row, coreTo, litTo, dy2, spot, s);
    lumaFromTable(row, litTo, width, tables.outside);
}

static void lightField(const uint8_t* field, uint8_t* scratch, int32_t width, int32_t height,
                       const Spot& spot, uint32_t s) {
    const size_t rowBytes = static_cast<size_t>(width) * PIXEL_BYTES;
    if (s == 0) {  // the blend gives back the field itself
        std::memcpy(scratch, field, rowBytes * static_cast<size_t>(height));
        return;
    }
    LumaTables tables;
    fillLumaTables(tables, s);
    const bool boxCols = spot.firstCol <= spot.lastCol;
    for (int32_t i = 0; i < height; ++i) {
        // The row is copied whole and its luma rewritten while it is in cache.
        uint8_t* row = scratch + rowBytes * static_cast<size_t>(i);
        std::memcpy(row, field + rowBytes * static_cast<size_t>(i), rowBytes);
        if (boxCols && i >= spot.firstRow && i <= spot.lastRow) {
            lumaBoxRow(row, width, i, spot, tables, s);
        } else {
            lumaFromTable(row, 0, width, tables.outside);
        }
    }
}

// ---------------------------------------------------------------------------
// Render: the whole image is lit, not only its valid region; the spot centre
// is relative to the corner of the valid region, cut to the image.

static int32_t renderField(const OperatorRequest& request) {
    const int32_t position = static_cast<int32_t>(request.position);
    FieldImage* field = opGetField(0, position);
    if (field == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    FieldImage* scratch = allocFieldShapedImage();
    if (scratch == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    const int32_t width = field->width;
    const int32_t height = field->height;
    const int32_t size = spotSize.value;
    const int32_t softness = edgeSoftness.value;
    const PointPair centre = spotCenter.pairs[2];
    const int32_t length = static_cast<int32_t>(request.length);
    const int32_t halfRamp = fadeRampLength(length, fadePercent.value) / 2;
    const uint32_t strength = static_cast<uint32_t>(inOutStrength(length, position, halfRamp, 255));
    const int32_t lineOffset = (request.flags & FLAG_LOWER_FIELD) != 0 ? 1 : 0;

    if (width > 0 && height > 0) {
        const Spot spot = spotGeometry(width, height, size, softness, centre, clippedRegion(*field),
                                       request.pixelAspect, lineOffset);
        lightField(field->pixels, scratch->pixels, width, height, spot, strength);
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
