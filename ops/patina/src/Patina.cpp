// Patina: the look of worn cinema film. The picture is renewed only 16 or 24
// times a second and held in between; each new film picture is softened,
// grained, stripped of its colour, tinted toward sepia and given a flickering
// brightness under a dull ceiling; vertical scratch lines wander across it,
// dust specks, hairs and now and then a blot are stamped on it; and in every
// other half second it jumps up or down by a few rows on odd fields.
//
// Unlike the other operators Patina keeps state over a run: the start command
// seeds the random generator, resets the counters, takes a work image that
// holds the film picture between fields and lays out the scratch lines; the
// finish command gives the work image back.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BoxBlur.h"
#include "OperatorSupport.h"
#include "PatinaSprites.inc"

// ---------------------------------------------------------------------------
// Descriptors and tag list. The host writes its settings into these.

static const char kSource[] = "src\\Patina";
static const uint32_t kMessageCode = 0x0B810000u;
static const char kRevision[] = "$Id: Patina.cpp,v 1.0 2014/03/24 $";

static const uint32_t filmAgeEntries[] = {811, 812, 813, 0};
static ChoiceParam filmAge = {{PARAM_CHOICE, 810, CHOICE_STYLE_TEXT}, filmAgeEntries, 0};
static SliderParam tintAmount = {{PARAM_SLIDER, 820, 0}, 821, 0, 0, 40, 20};
static SliderParam contrastLevel = {{PARAM_SLIDER, 830, 0}, 831, 0, 1, 100, 50};
static SliderParam filmCondition = {{PARAM_SLIDER, 840, 0}, 841, 0, 1, 100, 50};

static uintptr_t tagList[] = {
    OPERATOR_TAG_LIST_HEAD(1, kRevision),
    OPERATOR_TAG_PARAM(1, filmAge),
    OPERATOR_TAG_PARAM(2, tintAmount),
    OPERATOR_TAG_PARAM(3, contrastLevel),
    OPERATOR_TAG_PARAM(4, filmCondition),
    0,
};

// ---------------------------------------------------------------------------
// Run state, all set by the start command.

struct ScratchLine {
    int32_t x;      // absolute image column
    int32_t depth;  // 0..48, subtracted from the brightness
    int32_t born;   // position of the last placement, compared unsigned
    int32_t life;   // 25..300 positions
};

struct DirtSprite {
    const uint8_t* mask;  // width * height coverage bytes, row by row
    int32_t width;
    int32_t height;
};

constexpr int32_t kLineTableSize = 50;
constexpr int32_t kSpeckCount = 80;
constexpr int32_t kBlotCount = 5;
constexpr int32_t kDrawMax = 32767;  // every draw lies in 0..kDrawMax
constexpr int32_t kBlack = 16;
constexpr int32_t kGrainWhite = 235;
constexpr uint8_t kNoColour = 128;

static FieldImage* workImage = nullptr;
static int32_t updateCount = 0;
static int32_t flickerGain = 192;
static int32_t lumaCeiling = 192;
static int32_t grainAmplitude = -43;
static int32_t jumpRange = 0;
static int32_t lineCount = 0;
static ScratchLine lineTable[kLineTableSize];
static int32_t jumpOffset = 0;
static int32_t steadyPhase = 0;
static DirtSprite speckSprites[kSpeckCount];
static DirtSprite blotSprites[kBlotCount];

// The classic 15-bit linear congruential generator: after seeding with 0 the
// draws are 38, 7719, 21238, 2437, 8855, ... Every draw of the operator goes
// through drawRandom, in the order the run makes them.
static uint32_t randomState = 0;
constexpr uint32_t kRandomMultiplier = 214013u;
constexpr uint32_t kRandomIncrement = 2531011u;

static inline void seedRandom(uint32_t seed) { randomState = seed; }

static inline int32_t drawRandom() {
    randomState = randomState * kRandomMultiplier + kRandomIncrement;
    return static_cast<int32_t>((randomState >> 16) & 0x7FFFu);
}

// A step of the generator is the affine map s -> m * s + c (mod 2^32), so n
// steps are one such map too: m^n and c * (m^(n-1) + ... + 1), composed by
// squaring in O(log n). A replay skips draws whose values leave no trace in
// the run state with one application of such a map.
struct RandomJump {
    uint32_t multiplier;
    uint32_t increment;
};

// `second` applied after `first`.
static constexpr RandomJump composeJumps(RandomJump first, RandomJump second) {
    return RandomJump{second.multiplier * first.multiplier,
                      second.multiplier * first.increment + second.increment};
}

static RandomJump jumpOver(uint64_t draws) {
    RandomJump total{1u, 0u};
    RandomJump power{kRandomMultiplier, kRandomIncrement};
    for (; draws != 0; draws >>= 1) {
        if ((draws & 1u) != 0) total = composeJumps(total, power);
        power = composeJumps(power, power);
    }
    return total;
}

static inline void skipDraws(const RandomJump& jump) {
    randomState = randomState * jump.multiplier + jump.increment;
}

// randomSpread(a) = draw / q - a with q = 32767 / (2a), a q of 0 taken as 1.
// For a negative a, q is negative and the quotient is the negated quotient by
// |q|, so the result still lies in -|a|..|a|. The divisor depends only on a
// and is worked out once; the quotient by |q| is a multiply and shift,
// exact for every draw: with m = floor(2^32 / |q|) + 1 the product
// draw * m / 2^32 exceeds draw / |q| by draw * e / (|q| * 2^32), e = m|q| - 2^32
// <= |q|, which stays below 1 / |q| because draw * e < 2^30 < 2^32.
struct Spread {
    int32_t amplitude;
    int32_t sign;         // sign of q
    uint64_t multiplier;  // floor(2^32 / |q|) + 1
};

static Spread spreadFor(int32_t amplitude) {
    const int32_t twice = 2 * amplitude;  // |amplitude| <= 43
    int32_t q = twice != 0 ? kDrawMax / twice : 0;
    if (q == 0) q = 1;
    const uint32_t magnitude = static_cast<uint32_t>(q < 0 ? -q : q);
    return Spread{amplitude, q < 0 ? -1 : 1, ((uint64_t{1} << 32) / magnitude) + 1};
}

static inline int32_t spreadDraw(const Spread& spread) {
    const uint64_t r = static_cast<uint64_t>(drawRandom());
    const int32_t quotient = static_cast<int32_t>((r * spread.multiplier) >> 32);
    return spread.sign * quotient - spread.amplitude;
}

// ---------------------------------------------------------------------------
// Per-field set-up: settings and the numbers they give.

// filmAge has three entries; a value outside them takes the nearest one.
static int32_t filmAgeIndex() {
    const int32_t age = filmAge.value;
    return age < 0 ? 0 : age > 2 ? 2 : age;
}

static int32_t clampSetting(int32_t value, int32_t low, int32_t high) {
    return value < low ? low : value > high ? high : value;
}

static const int32_t kGrainBase[3] = {43, 35, 23};
static const int32_t kSofteningLength[3] = {5, 3, 0};  // 0: copied unsoftened

// New film pictures per field position: 16 or 24 a second at 50 fields
// (flags bit 2 clear) and at 60 fields (set).
static double pictureRate(int32_t age, bool sixtyFields) {
    static const double kRate[3][2] = {
        {0.32, 0.26666666666666666},
        {0.48, 0.4},
        {0.48, 0.4},
    };
    return kRate[age][sixtyFields ? 1 : 0];
}

// What decides the course of a run from call to call: the picture rate and
// the steady-phase period (30 positions at 60 fields a second, else 25).
struct RunTiming {
    double rate;
    uint32_t period;
};

static RunTiming runTiming(int32_t age, uint8_t flags) {
    const bool sixtyFields = (flags & FLAG_SIXTY_FIELDS) != 0;
    return RunTiming{pictureRate(age, sixtyFields), sixtyFields ? 30u : 25u};
}

// A call makes a new film picture while the count of pictures made lags
// behind position * rate; a run from position 0 starts with one.
static bool isUpdate(uint32_t position, double rate, int32_t count) {
    return static_cast<double>(position) * rate >= static_cast<double>(count);
}

// The tint moves the film picture's colour from (128, 128) toward (196, 74)
// by t / 200. t is the slider value, limited to 0..200 so that the two bytes
// stay between the neutral and the fixed pair.
struct TintPair {
    uint8_t first;
    uint8_t second;
};

static TintPair tintPair(int32_t amount) {
    const int32_t t = clampSetting(amount, 0, 200);
    return TintPair{static_cast<uint8_t>((196 * t + 128 * (200 - t)) / 200),
                    static_cast<uint8_t>((74 * t + 128 * (200 - t)) / 200)};
}

// filmCondition 1..100 (a value outside is taken as the nearest end).
static int32_t conditionSetting() { return clampSetting(filmCondition.value, 1, 100); }

// Scratch lines at start: half of 100 - filmCondition, scaled on a
// reduced-size run. A scale with denominator 0 leaves the count as it is; a
// scale above 1 is limited to the records the table has.
static int32_t scratchLineCount(int32_t condition, const OperatorRequest& request) {
    int32_t count = ((100 - condition) * 50) / 100;
    if ((request.flags & FLAG_REDUCED_SIZE) != 0 && request.scaleDen != 0) {
        count = (count * request.scaleNum) / request.scaleDen;  // |count * num| < 2^21
    }
    return count > kLineTableSize ? kLineTableSize : count;
}

static void fillDirtSprites() {
    size_t offset = 0;
    for (int32_t i = 0; i < kSpeckCount; ++i) {
        speckSprites[i] = DirtSprite{kSpeckMasks.data() + offset, kSpeckSizes[i].width,
                                     kSpeckSizes[i].height};
        offset += size_t(kSpeckSizes[i].width) * size_t(kSpeckSizes[i].height);
    }
    offset = 0;
    for (int32_t i = 0; i < kBlotCount; ++i) {
        blotSprites[i] = DirtSprite{kBlotMasks.data() + offset, kBlotSizes[i].width,
                                    kBlotSizes[i].height};
        offset += size_t(kBlotSizes[i].width) * size_t(kBlotSizes[i].height);
    }
}

// Three draws: column, depth, lifetime. With an empty region the column is
// meaningless but the draws are still made; drawing checks the column.
static void placeLine(ScratchLine& line, const PixelRect& region) {
    line.x = region.left + (drawRandom() * (region.width - 1)) / kDrawMax;
    line.depth = (drawRandom() * 48) / kDrawMax;
    const int32_t life = (drawRandom() * 300) / kDrawMax;
    line.life = life < 25 ? 25 : life;
}

static void layOutScratchLines(const PixelRect& region) {
    for (int32_t i = 0; i < lineCount; ++i) {
        placeLine(lineTable[i], region);
        lineTable[i].born = 0;
    }
}

// ---------------------------------------------------------------------------
// Pixel loops. `stride` is the image width in pixels; every loop stays inside
// `region`, which lies inside the image.

template <typename Byte>
static inline Byte* pixelAt(Byte* pixels, int32_t stride, int32_t x, int32_t y) {
    return pixels + (static_cast<ptrdiff_t>(y) * stride + x) * PIXEL_BYTES;
}

static inline uint8_t darken(uint8_t luma, int32_t amount) {
    const int32_t v = luma - amount;
    return static_cast<uint8_t>(v < kBlack ? kBlack : v);
}

// Softens bytes 1 to 3 of the whole field into the work image (or copies them
// for the youngest film), then writes the grained, colourless brightness of
// the work image back into the field's region: one draw per region pixel,
// row by row from the top.
static void softenAndGrain(const FieldImage& field, uint8_t* work, const PixelRect& region,
                           int32_t age, const BlurMemory& softening) {
    const int32_t width = field.width;
    const int32_t height = field.height;
    const int32_t length = kSofteningLength[age];
    if (length > 0) {
        for (int32_t channel = PIXEL_CR; channel <= PIXEL_LUMA; ++channel) {
            BlurBoth(field.pixels, work, width, height, length, channel, softening);
        }
    } else if (width > 0 && height > 0) {
        const size_t count = size_t(width) * size_t(height);
        for (size_t i = 0; i < count; ++i) {
            std::memcpy(work + i * PIXEL_BYTES + 1, field.pixels + i * PIXEL_BYTES + 1, 3);
        }
    }

    const Spread spread = spreadFor(grainAmplitude);
    for (int32_t y = region.top; y < region.top + region.height; ++y) {
        uint8_t* f = pixelAt(field.pixels, width, region.left, y);
        const uint8_t* w = pixelAt(work, width, region.left, y);
        for (int32_t x = 0; x < region.width; ++x, f += PIXEL_BYTES, w += PIXEL_BYTES) {
            int32_t v = w[PIXEL_LUMA] + spreadDraw(spread);
            v = v < kBlack ? kBlack : v > kGrainWhite ? kGrainWhite : v;
            f[PIXEL_CR] = kNoColour;
            f[PIXEL_CB] = kNoColour;
            f[PIXEL_LUMA] = static_cast<uint8_t>(v);
        }
    }
}

// Builds the film picture in the work image's region from the field's grained
// brightness: the tint pair, the flicker gain, the contrast offset and the
// ceiling. gain is 192 or 224, so the product is at most 255 * 224 and div255
// is exact; the result lies in 0..lumaCeiling.
static void applyTone(const FieldImage& field, uint8_t* work, const PixelRect& region,
                      TintPair tint, int32_t offset) {
    const uint32_t gain = static_cast<uint32_t>(flickerGain);
    const int32_t ceiling = lumaCeiling;
    for (int32_t y = region.top; y < region.top + region.height; ++y) {
        const uint8_t* f = pixelAt(field.pixels, field.width, region.left, y);
        uint8_t* w = pixelAt(work, field.width, region.left, y);
        for (int32_t x = 0; x < region.width; ++x, f += PIXEL_BYTES, w += PIXEL_BYTES) {
            int32_t b = static_cast<int32_t>(div255(f[PIXEL_LUMA] * gain)) + offset;
            if (b > ceiling) b = ceiling;
            w[PIXEL_CR] = tint.first;
            w[PIXEL_CB] = tint.second;
            w[PIXEL_LUMA] = static_cast<uint8_t>(b);
        }
    }
}

// Renews, draws and steps every line in table order: one draw for the step,
// three more for a renewal. A renewal falls on the first update whose
// position exceeds born + life (unsigned). Three of four steps go left.
// Without a work image (a replay) the lines move as they would but are not
// drawn.
static void updateScratchLines(uint8_t* work, int32_t stride, const PixelRect& region,
                               uint32_t position) {
    const int32_t left = region.left;
    const int32_t right = region.left + region.width;  // one past the last column
    for (int32_t i = 0; i < lineCount; ++i) {
        ScratchLine& line = lineTable[i];
        if (position > static_cast<uint32_t>(line.born) + static_cast<uint32_t>(line.life)) {
            placeLine(line, region);
            line.born = static_cast<int32_t>(position);
        }
        if (work != nullptr && line.x >= left && line.x < right) {
            for (int32_t y = region.top; y < region.top + region.height; ++y) {
                uint8_t* p = pixelAt(work, stride, line.x, y);
                p[PIXEL_LUMA] = darken(p[PIXEL_LUMA], line.depth);
            }
        }
        const int32_t r = drawRandom();
        line.x += (r > 24574 ? 1 : 0) - (r < 24574 ? 1 : 0);  // random: no branch to mispredict
        if (line.x < left) line.x = right - 1;
        if (line.x >= right) line.x = left;
    }
}

// Lowers the brightness under the mask by (m * depth) / 255, never below 16.
// A sprite reaching the right or bottom edge of the region is moved so that
// it ends one column (row) short of it. A sprite larger than the region would
// then start left of or above it; such a stamp is cut to the region.
static void stampSprite(uint8_t* work, int32_t stride, const PixelRect& region,
                        const DirtSprite& sprite, int32_t sx, int32_t sy, int32_t depth) {
    const int32_t right = region.left + region.width;
    const int32_t bottom = region.top + region.height;
    if (sx + sprite.width >= right) sx = right - 1 - sprite.width;
    if (sy + sprite.height >= bottom) sy = bottom - 1 - sprite.height;
    const int32_t c0 = sx < region.left ? region.left - sx : 0;
    const int32_t j0 = sy < region.top ? region.top - sy : 0;
    const uint32_t d = static_cast<uint32_t>(depth);  // 0..48: m * d <= 12240
    for (int32_t j = j0; j < sprite.height && sy + j < bottom; ++j) {
        const uint8_t* m = sprite.mask + static_cast<ptrdiff_t>(j) * sprite.width;
        uint8_t* p = pixelAt(work, stride, sx + c0, sy + j);
        for (int32_t c = c0; c < sprite.width && sx + c < right; ++c, p += PIXEL_BYTES) {
            p[PIXEL_LUMA] = darken(p[PIXEL_LUMA], static_cast<int32_t>(div255(m[c] * d)));
        }
    }
}

// 4 * lineCount specks at random places, four draws each: column, row,
// sprite, depth.
constexpr int32_t kSpecksPerLine = 4;
constexpr int32_t kDrawsPerSpeck = 4;

static void scatterSpecks(uint8_t* work, int32_t stride, const PixelRect& region) {
    for (int32_t n = 0; n < kSpecksPerLine * lineCount; ++n) {
        const int32_t sx = region.left + (drawRandom() * region.width) / kDrawMax;
        const int32_t sy = region.top + (drawRandom() * region.height) / kDrawMax;
        const int32_t k = (drawRandom() * (kSpeckCount - 1)) / kDrawMax;
        const int32_t depth = (drawRandom() * 48) / kDrawMax;
        stampSprite(work, stride, region, speckSprites[k], sx, sy, depth);
    }
}

// On badly worn film (40 lines or more) one draw decides whether a blot falls
// on this picture; the chance rises from 5 % at 40 lines by 3 % a line.
static int32_t blotThreshold(int32_t lines) { return (7044905 - 98301 * lines) / 100; }

// Without a work image (a replay) the draws are made and nothing is stamped.
static void dropBlot(uint8_t* work, int32_t stride, const PixelRect& region) {
    if (drawRandom() <= blotThreshold(lineCount)) return;
    const int32_t sx = region.left + (drawRandom() * region.width) / kDrawMax;
    const int32_t sy = region.top + (drawRandom() * region.height) / kDrawMax;
    const int32_t k = (drawRandom() * (kBlotCount - 1)) / kDrawMax;
    const int32_t depth = (drawRandom() * 48) / kDrawMax;
    if (work != nullptr) stampSprite(work, stride, region, blotSprites[k], sx, sy, depth);
}

// Two draws. A computed offset survives about one update in three; otherwise
// the picture rests one row up (full size) or in place (reduced size).
static void decideJump(bool reducedSize) {
    const int32_t r1 = drawRandom();
    const int32_t r2 = drawRandom();
    if (reducedSize) {
        jumpOffset = ((r1 - 16383) * (jumpRange / 2)) / 16383 + 1;
        if (r2 > 10922) jumpOffset = 0;
    } else {
        jumpOffset = ((r1 - 16383) * jumpRange) / 16383 + 2;
        if (r2 > 10922) jumpOffset = 1;
    }
}

// Region row i of the field gets region row i + shift of the work image, or
// black where that row lies outside the region: a positive shift moves the
// picture up with black rows at the bottom, a negative one down.
static void copyOut(FieldImage& field, const uint8_t* work, const PixelRect& region,
                    int32_t shift) {
    const size_t rowBytes = size_t(region.width) * PIXEL_BYTES;
    for (int32_t i = 0; i < region.height; ++i) {
        uint8_t* out = pixelAt(field.pixels, field.width, region.left, region.top + i);
        const int32_t from = i + shift;
        if (from >= 0 && from < region.height) {
            std::memcpy(out, pixelAt(work, field.width, region.left, region.top + from), rowBytes);
        } else {
            const uint32_t black = BLACK_PIXEL;
            for (int32_t x = 0; x < region.width; ++x) {
                std::memcpy(out + size_t(x) * PIXEL_BYTES, &black, PIXEL_BYTES);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Command bodies.

static int32_t startRun(const OperatorRequest& request) {
    fillDirtSprites();
    seedRandom(0);
    updateCount = 0;
    jumpOffset = 0;
    steadyPhase = 0;
    // A start without a finish after the last run would otherwise lose the
    // earlier work image: give it back before taking the new one.
    if (workImage != nullptr) opFreeImage(workImage);
    workImage = allocFieldShapedImage();
    if (workImage == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    const int32_t condition = conditionSetting();
    jumpRange = (4 * (101 - condition)) / 100;
    // randomSpread(a) of the first draw after seeding: that draw is 38, below
    // q for every base, so the amplitude is always -a. The draw is still made
    // so that every later draw keeps its place.
    drawRandom();
    grainAmplitude = -kGrainBase[filmAgeIndex()];
    lumaCeiling = 192;
    flickerGain = 192;

    lineCount = scratchLineCount(condition, request);
    if (lineCount < 1) return 0;
    layOutScratchLines(clippedRegion(*workImage));
    return 0;
}

static void finishRun() {
    if (workImage != nullptr) opFreeImage(workImage);
    workImage = nullptr;
}

// The draws a replay skips instead of making them: the grain's one per
// region pixel and the specks' four per speck. Their values leave no trace
// in the run state but the generator's.
struct ReplaySkips {
    RandomJump grain;
    RandomJump specks;
};

static ReplaySkips replaySkips(const PixelRect& region) {
    const uint64_t pixels = region.empty() ? 0u : uint64_t(region.width) * uint64_t(region.height);
    const uint64_t speckDraws =
        lineCount > 0 ? uint64_t(kSpecksPerLine * kDrawsPerSpeck) * uint64_t(lineCount) : 0u;
    return ReplaySkips{jumpOver(pixels), jumpOver(speckDraws)};
}

// One update: the flicker and the count, the film picture from the field,
// the scratch lines, the dirt and the jump decision. A replay passes no field
// and its skips: every draw is then made or skipped in the same order and
// every piece of run state changes as it would, without touching a pixel.
// updateCount never overflows: it rises only while it is at most
// position * rate <= (2^32 - 1) * 0.48, below 2^31 - 1.
static void makeFilmPicture(FieldImage* field, const PixelRect& region, int32_t age,
                            const OperatorRequest& request, const ReplaySkips* skips,
                            const BlurMemory* softening) {
    flickerGain ^= 32;
    ++updateCount;
    uint8_t* work = nullptr;
    const int32_t stride = workImage->width;
    if (field != nullptr) {
        work = workImage->pixels;
        softenAndGrain(*field, work, region, age, *softening);
        applyTone(*field, work, region, tintPair(tintAmount.value),
                  100 - clampSetting(contrastLevel.value, 1, 100));
    } else {
        skipDraws(skips->grain);
    }
    if (lineCount > 0) {
        updateScratchLines(work, stride, region, request.position);
        if (work != nullptr) {
            scatterSpecks(work, stride, region);
        } else {
            skipDraws(skips->specks);
        }
        if (lineCount >= 40) dropBlot(work, stride, region);
    }
    decideJump((request.flags & FLAG_REDUCED_SIZE) != 0);
}

// Everything a render call does to the run state: the update, when one is
// due, and the steady phase, which flips at every multiple of its period.
static void advanceRun(FieldImage* field, const PixelRect& region, int32_t age,
                       const OperatorRequest& request, const ReplaySkips* skips,
                       const BlurMemory* softening) {
    const RunTiming timing = runTiming(age, request.flags);
    if (isUpdate(request.position, timing.rate, updateCount)) {
        makeFilmPicture(field, region, age, request, skips, softening);
    }
    if (request.position % timing.period == 0) steadyPhase ^= 1;
}

static int32_t renderField(const OperatorRequest& request) {
    // Without a work image (no successful start) there is no film picture to
    // show: the render fails before it asks for the field.
    if (workImage == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    FieldImage* field = opGetField(0, static_cast<int32_t>(request.position));
    if (field == nullptr) return logFailure(__LINE__, kSource, kMessageCode);

    // The work image has the geometry of the run's fields; a field of any
    // other size cannot be matched with it and goes back as delivered.
    if (field->width != workImage->width || field->height != workImage->height) {
        return opPutField(field);
    }

    const PixelRect region = clippedRegion(*field);
    const int32_t age = filmAgeIndex();
    // The softening's working memory is taken before anything changes: a
    // render that is due to make a film picture and cannot get it fails and
    // leaves the run as it was.
    const bool softened =
        kSofteningLength[age] > 0 && isUpdate(request.position, runTiming(age, request.flags).rate, updateCount);
    const BlurMemory softening(softened ? field->width : 0, softened ? field->height : 0);
    if (!softening.taken()) {
        opFreeImage(field);
        return logFailure(__LINE__, kSource, kMessageCode);
    }
    advanceRun(field, region, age, request, nullptr, &softening);

    const bool shifted = jumpOffset != 0 && steadyPhase == 0 && (request.position & 1u) != 0;
    copyOut(*field, workImage->pixels, region, shifted ? jumpOffset : 0);
    return opPutField(field);
}

// Brings the run to the state before call k of the listed render calls, k
// the last of them that makes a film picture (the last call when none does),
// and returns k (see OperatorApi.h). The calls before k run as the renders
// would, with the work image's region, minus the pixel work.
static int32_t replayRun(const OperatorRequest& request, const uint32_t* positions, uint32_t count) {
    // k is returned as an i32: a longer list has no answer.
    if (workImage == nullptr || positions == nullptr || count > uint32_t(INT32_MAX)) {
        return logFailure(__LINE__, kSource, kMessageCode);
    }

    const int32_t age = filmAgeIndex();
    const double rate = runTiming(age, request.flags).rate;
    uint32_t last = count - 1;
    int32_t pictures = updateCount;
    for (uint32_t i = 0; i < count; ++i) {
        if (isUpdate(positions[i], rate, pictures)) {
            last = i;
            ++pictures;
        }
    }

    const PixelRect region = clippedRegion(*workImage);
    const ReplaySkips skips = replaySkips(region);
    OperatorRequest call = request;
    for (uint32_t i = 0; i < last; ++i) {
        call.position = positions[i];
        advanceRun(nullptr, region, age, call, &skips, nullptr);
    }
    return static_cast<int32_t>(last);
}

// ---------------------------------------------------------------------------
// Exports.

OPERATOR_EXPORT uintptr_t* GetOperatorInfo(void) { return tagList; }

OPERATOR_EXPORT int32_t OperatorAction(OperatorRequest* request) {
    return dispatchCommand(request, renderField, startRun, finishRun);
}

OPERATOR_EXPORT int32_t OperatorReplay(OperatorRequest* request, const uint32_t* positions,
                                       uint32_t count) {
    if (count == 0) return 0;
    if (request == nullptr) return logFailure(__LINE__, kSource, kMessageCode);
    return replayRun(*request, positions, count);
}
