// The fieldfx program's own logic, without running it: YUV4MPEG2 headers,
// chroma conversion, field split and weave, colours, parameter values and
// keyframes, and the option parsers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Catalogue.h"
#include "Error.h"
#include "FrameIndex.h"
#include "LoadedOperator.h"
#include "fieldfx/HostBackend.h"
#include "Operator.h"
#include "Options.h"
#include "RunPositions.h"
#include "Render.h"
#include "Run.h"
#include "Values.h"
#include "Video.h"
#include "VideoFixtures.h"
#include "Y4m.h"

using namespace fieldfx;

// ---------------------------------------------------------------------------
// YUV4MPEG2 headers

TEST(Y4mHeader, ReadsEveryField) {
    const VideoFormat f = parseY4mHeader("YUV4MPEG2 W720 H576 F30000:1001 Ib A59:54 C420paldv XYSCSS=420PALDV", "t");
    EXPECT_EQ(f.width, 720);
    EXPECT_EQ(f.height, 576);
    EXPECT_TRUE(f.rate == (Rational{30000, 1001}));
    EXPECT_EQ(f.interlace, Interlace::BottomFirst);
    EXPECT_EQ(f.aspect.num, 59);
    EXPECT_EQ(f.aspect.den, 54);
    EXPECT_EQ(f.chroma, Chroma::C420paldv);
    EXPECT_EQ(parseY4mHeader(formatY4mHeader(f), "t").chroma, Chroma::C420paldv);
}

TEST(Y4mHeader, DefaultsAreProgressive420) {
    const VideoFormat f = parseY4mHeader("YUV4MPEG2 W4 H2 F25:1", "t");
    EXPECT_EQ(f.chroma, Chroma::C420jpeg);
    EXPECT_EQ(f.interlace, Interlace::Progressive);
    EXPECT_FALSE(f.aspect.known());
}

TEST(Y4mHeader, RejectsWhatItCannotHandle) {
    const struct {
        const char* line;
        const char* message;
    } cases[] = {
        {"YUV4MPEG W4 H4", "not a YUV4MPEG2 stream"},
        {"", "not a YUV4MPEG2 stream"},
        {"YUV4MPEG2 W4 F25:1", "no frame size"},
        {"YUV4MPEG2 W-4 H4", "bad frame size"},
        {"YUV4MPEG2 W4x H4", "bad frame size"},
        {"YUV4MPEG2 W4 H4 F25", "bad frame rate"},
        {"YUV4MPEG2 W4 H4 F0:1", "bad frame rate"},
        {"YUV4MPEG2 W4 H4 Ax", "bad pixel aspect"},
        {"YUV4MPEG2 W4 H4 C420p10", "unsupported chroma format '420p10'"},
        {"YUV4MPEG2 W4 H4 Cmono", "unsupported chroma format"},
        {"YUV4MPEG2 W4 H4 Im", "mixed interlacing"},
        {"YUV4MPEG2 W4 H4 Iz", "bad interlace flag"},
        {"YUV4MPEG2 W5 H4 C420jpeg", "even width"},
        {"YUV4MPEG2 W4 H3 C444", "height must be even"},
        {"YUV4MPEG2 W4 H6 It C420mpeg2", "multiple of 4"},
        {"YUV4MPEG2 W40000 H4 C444", "not supported"},
    };
    for (const auto& c : cases) {
        try {
            parseY4mHeader(c.line, "clip.y4m");
            ADD_FAILURE() << c.line << " was accepted";
        } catch (const UserError& e) {
            EXPECT_EQ(e.subject(), "clip.y4m");
            EXPECT_NE(e.reason().find(c.message), std::string::npos) << c.line << ": " << e.what();
        }
    }
}

TEST(Y4mReader, ReadsFramesAndReportsTruncation) {
    const VideoFormat f = format(4, 2, Chroma::C444, Interlace::Progressive);
    std::string data = formatY4mHeader(f) + "\nFRAME\n" + std::string(24, 'a') + "FRAME Ixyz\n" + std::string(24, 'b');
    FILE* file = fmemopen(data.data(), data.size(), "rb");
    Y4mReader reader(file, "in");
    EXPECT_EQ(reader.countFrames(), -1) << "a memory stream cannot be counted";
    Frame frame;
    ASSERT_TRUE(reader.readFrame(frame));
    EXPECT_EQ(frame.data[0], 'a');
    ASSERT_TRUE(reader.readFrame(frame));
    EXPECT_EQ(frame.data[23], 'b');
    EXPECT_FALSE(reader.readFrame(frame));
    std::fclose(file);

    for (const std::string& bad : {data.substr(0, data.size() - 1), data + "FRAM", data + "JUNK\n"}) {
        std::string copy = bad;
        FILE* in = fmemopen(copy.data(), copy.size(), "rb");
        Y4mReader r(in, "in");
        EXPECT_THROW(while (r.readFrame(frame)) {}, UserError) << bad.size();
        std::fclose(in);
    }
}

// ---------------------------------------------------------------------------
// Chroma conversion and fields

TEST(Chroma, StoredFramesSurviveTheRoundTripInEveryLayout) {
    const Chroma layouts[] = {Chroma::C420jpeg, Chroma::C420mpeg2, Chroma::C420paldv,
                              Chroma::C422,     Chroma::C444,      Chroma::C444alpha};
    for (const Chroma c : layouts) {
        for (const Interlace i : {Interlace::Progressive, Interlace::TopFirst}) {
            const VideoFormat f = format(12, 8, c, i);
            // A frame packed from a picture is a fixed point of expand/pack.
            const Frame first = packFrame(f, expandFrame(f, noiseFrame(f, 7)));
            const Frame again = packFrame(f, expandFrame(f, first));
            EXPECT_EQ(first.data, again.data) << chromaName(c) << " interlace " << int(i);
            // Up-sampling replicates or interpolates and down-sampling
            // averages the replicas or picks the co-sited samples, so even
            // arbitrary stored chroma comes back exactly.
            EXPECT_EQ(first.data, noiseFrame(f, 7).data) << chromaName(c) << " interlace " << int(i);
        }
    }
}

TEST(Chroma, InterlacedFourTwoZeroKeepsTheFieldsApart) {
    // Chroma rows of the top field (even chroma rows) hold 200, of the bottom
    // field 50: each field must see only its own.
    VideoFormat f = format(4, 8, Chroma::C420jpeg, Interlace::TopFirst);
    Frame frame;
    frame.data.assign(frameBytes(f), 100);
    uint8_t* cb = frame.data.data() + 32;
    for (int row = 0; row < 4; ++row) std::memset(cb + row * 2, row % 2 == 0 ? 200 : 50, 2);
    const Picture p = expandFrame(f, frame);
    for (int y = 0; y < 8; ++y) EXPECT_EQ(p.cb[size_t(y) * 4], y % 2 == 0 ? 200 : 50) << "line " << y;

    f.interlace = Interlace::Progressive;  // progressive mixes neighbouring lines
    const Picture q = expandFrame(f, frame);
    EXPECT_EQ(q.cb[0], q.cb[4]);
}

TEST(Fields, SplitAndWeaveInBothOrders) {
    const VideoFormat f = format(6, 4, Chroma::C444alpha, Interlace::TopFirst);
    const Picture p = expandFrame(f, noiseFrame(f, 3));
    EXPECT_EQ(fieldAt(Interlace::TopFirst, 0), 0);
    EXPECT_EQ(fieldAt(Interlace::BottomFirst, 0), 1);
    EXPECT_EQ(fieldAt(Interlace::Progressive, 1), 1);
    Picture woven;
    woven.resize(6, 4);
    for (int field = 0; field < 2; ++field) {
        FieldImage* image = fieldOf(p, field);
        ASSERT_EQ(image->height, 2);
        // Line 2r+field of the frame is row r of the field, as key, Cr, Cb, Y'.
        const uint8_t* px = image->pixels + (1 * 6 + 5) * 4;
        const size_t i = size_t(2 + field) * 6 + 5;
        EXPECT_EQ(px[0], p.a[i]);
        EXPECT_EQ(px[1], p.cr[i]);
        EXPECT_EQ(px[2], p.cb[i]);
        EXPECT_EQ(px[3], p.y[i]);
        weaveField(woven, field, *image);
        deleteFieldImage(image);
    }
    EXPECT_EQ(woven.y, p.y);
    EXPECT_EQ(woven.cb, p.cb);
    EXPECT_EQ(woven.cr, p.cr);
    EXPECT_EQ(woven.a, p.a);
}

TEST(Fields, ScalingAveragesAndScalesTheRegion) {
    FieldImage* image = newFieldImage(4, 2);
    for (int i = 0; i < 8; ++i) image->pixels[4 * i + 3] = static_cast<uint8_t>(i < 4 ? 10 * (i % 2) : 100);
    image->regionLeft = 2;
    image->regionWidth = 2;
    FieldImage* half = scaleField(*image, 2, 1);
    EXPECT_EQ(half->pixels[3], (0 + 10 + 100 + 100 + 2) / 4);
    EXPECT_EQ(half->regionLeft, 1);
    EXPECT_EQ(half->regionWidth, 1);
    deleteFieldImage(image);
    deleteFieldImage(half);
}

TEST(Colour, Bt601LimitedRange) {
    const struct {
        int r, g, b;
        uint8_t y, cb, cr;
    } cases[] = {
        {0, 0, 0, 16, 128, 128},      {255, 255, 255, 235, 128, 128}, {0, 255, 255, 170, 166, 16},
        {255, 0, 0, 81, 90, 240},     {0, 0, 255, 41, 240, 110},
    };
    for (const auto& c : cases) {
        const YCbCr v = rgbToYCbCr(c.r, c.g, c.b);
        EXPECT_EQ(v.y, c.y);
        EXPECT_EQ(v.cb, c.cb);
        EXPECT_EQ(v.cr, c.cr);
        uint8_t rgb[3];
        yCbCrToRgb(v.y, v.cb, v.cr, rgb);
        EXPECT_NEAR(rgb[0], c.r, 2);
        EXPECT_NEAR(rgb[1], c.g, 2);
        EXPECT_NEAR(rgb[2], c.b, 2);
    }
}

TEST(Format, FlagsAndPixelAspect) {
    EXPECT_TRUE(isSixtyFields({30000, 1001}));
    EXPECT_TRUE(isSixtyFields({60, 2}));
    EXPECT_FALSE(isSixtyFields({25, 1}));
    EXPECT_FALSE(isSixtyFields({60, 1}));
    EXPECT_EQ(pixelAspectOf({0, 0}), 1000);
    EXPECT_EQ(pixelAspectOf({1, 1}), 1000);
    EXPECT_EQ(pixelAspectOf({16, 15}), 938);
    EXPECT_EQ(pixelAspectOf({10, 11}), 1100);
}

// ---------------------------------------------------------------------------
// Parameter values, through descriptors that live in the test.

namespace {

const uint32_t kEntries[] = {121, 122, 123, 0};
const uint32_t kNumbers[] = {2, 4, 6, 8, 0};

struct Descriptors {
    SliderParam slider{{PARAM_SLIDER, 110, 0}, 111, 0, 1, 25, 5};
    ChoiceParam choice{{PARAM_CHOICE, 120, 0}, kEntries, 2};
    ChoiceParam numbers{{PARAM_CHOICE, 210, 1}, kNumbers, 0};
    ColorParam color{{PARAM_COLOR, 310, 0}, {0xFF, 0x10, 0xA6, 0xAA}};
    PointParam point{{PARAM_POINT, 530, 2}, {{10, 5}, {10, 5}, {100, 50}, {10, 5}}};
};

Parameter parameter(const char* name, void* descriptor, std::vector<uint32_t> entries = {}) {
    Parameter p;
    p.name = name;
    p.descriptor = static_cast<ParamDescriptor*>(descriptor);
    p.entries = std::move(entries);
    return p;
}

}  // namespace

TEST(Values, ParseAndValidate) {
    Descriptors d;
    const Parameter slider = parameter("blurSize", &d.slider);
    const Parameter choice = parameter("blurDirection", &d.choice, {121, 122, 123});
    const Parameter numbers = parameter("hingeCorner", &d.numbers, {2, 4, 6, 8});
    const Parameter color = parameter("tintColor", &d.color);
    const Parameter point = parameter("spotCenter", &d.point);

    EXPECT_EQ(parseValue(slider, "1").number, 1);
    EXPECT_EQ(parseValue(slider, " 25 ").number, 25);
    EXPECT_EQ(parseValue(choice, "0").number, 0);
    EXPECT_EQ(parseValue(choice, "columns").number, 1);
    EXPECT_EQ(parseValue(choice, "Rows and columns").number, 2);
    EXPECT_EQ(parseValue(numbers, "6").number, 2);
    const ParamValue cyan = parseValue(color, "#00ffff");
    EXPECT_EQ(std::vector<uint8_t>(cyan.color, cyan.color + 4), (std::vector<uint8_t>{0xFF, 0x10, 0xA6, 0xAA}));
    const ParamValue p = parseValue(point, "-3, 700");
    EXPECT_EQ(p.x, -3);
    EXPECT_EQ(p.y, 700);

    const struct {
        const Parameter* parameter;
        const char* text;
        const char* message;
    } bad[] = {
        {&slider, "0", "0 is out of range 1..25"},    {&slider, "26", "out of range 1..25"},
        {&slider, "2.5", "not a whole number"},       {&slider, "", "not a whole number"},
        {&slider, "99999999999999", "not a whole number"},
        {&choice, "3", "out of range 0..2"},          {&choice, "Diagonal", "not one of its entries"},
        {&numbers, "3", "not one of its entries (2, 4, 6, 8)"},
        {&color, "00FFFF", "not a colour"},           {&color, "#00FFF", "not a colour"},
        {&color, "#00FFGG", "not a colour"},          {&point, "100", "not a point"},
        {&point, "1,40000", "out of range"},
    };
    for (const auto& c : bad) {
        try {
            parseValue(*c.parameter, c.text);
            ADD_FAILURE() << c.text << " was accepted";
        } catch (const UserError& e) {
            EXPECT_EQ(e.subject(), c.parameter->name);
            EXPECT_NE(e.reason().find(c.message), std::string::npos) << c.text << ": " << e.what();
        }
    }
}

TEST(Values, WriteGoesIntoTheDescriptor) {
    Descriptors d;
    const Parameter color = parameter("tintColor", &d.color);
    const Parameter point = parameter("spotCenter", &d.point);
    writeValue(color, parseValue(color, "#FF0000"));
    EXPECT_EQ(d.color.color[PIXEL_CR], 240) << "byte 1 is Cr";
    EXPECT_EQ(d.color.color[PIXEL_CB], 90) << "byte 2 is Cb";
    writeValue(point, parseValue(point, "7,8"));
    EXPECT_EQ(d.point.pairs[2].x, 7);
    EXPECT_EQ(d.point.pairs[2].y, 8);
    EXPECT_EQ(d.point.pairs[1].x, 10) << "only the value pair changes";
}

TEST(Keyframes, InterpolateLinearlyOrStep) {
    Descriptors d;
    Parameter slider = parameter("blurSize", &d.slider);
    Parameter choice = parameter("blurDirection", &d.choice, {121, 122, 123});
    Parameter point = parameter("spotCenter", &d.point);
    Setting s{&slider, {{10, parseValue(slider, "1")}, {20, parseValue(slider, "21")}, {30, parseValue(slider, "5")}}};
    const struct {
        int64_t position;
        int32_t value;
    } expected[] = {{0, 1}, {10, 1}, {11, 3}, {15, 11}, {20, 21}, {25, 13}, {29, 7}, {30, 5}, {99, 5}};
    for (const auto& e : expected) EXPECT_EQ(valueAt(s, e.position).number, e.value) << e.position;

    Setting c{&choice, {{0, parseValue(choice, "0")}, {10, parseValue(choice, "2")}}};
    EXPECT_EQ(valueAt(c, 9).number, 0);
    EXPECT_EQ(valueAt(c, 10).number, 2);

    Setting p{&point, {{0, parseValue(point, "0,0")}, {4, parseValue(point, "10,-10")}}};
    EXPECT_EQ(valueAt(p, 1).x, 3);  // 2.5 rounds away from zero
    EXPECT_EQ(valueAt(p, 1).y, -3);
}

TEST(Keyframes, ParsesSettingsOfARealOperator) {
    const auto dye = OperatorLibrary::load(std::string(FIELDFX_LIB_DIR) + "/libDye.so");
    const Rational fieldRate{50, 1};
    const Setting s = parseSetting(*dye, "FADEPERCENT=0@0,100@1.5s,40@200", fieldRate);
    EXPECT_EQ(s.parameter->name, "fadePercent");
    ASSERT_EQ(s.keys.size(), 3u);
    EXPECT_EQ(s.keys[1].position, 75);
    EXPECT_EQ(s.keys[1].value.number, 100);
    const Setting c = parseSetting(*dye, "tintColor=#FF0000@0,#0000FF@10", fieldRate);
    ASSERT_EQ(c.keys.size(), 2u);
    EXPECT_EQ(valueAt(c, 5).color[PIXEL_CB], (90 + 240 + 1) / 2);
    EXPECT_EQ(parseSetting(*dye, "fadePercent=7", fieldRate).keys.size(), 1u);

    const struct {
        const char* text;
        const char* message;
    } bad[] = {
        {"fadePercent", "NAME=VALUE"},
        {"speed=3", "Dye has no such parameter (it has: tintColor, fadePercent)"},
        {"fadePercent=10@5,20@5", "keyframe positions must rise"},
        {"fadePercent=10@5,20", "has no @POSITION"},
        {"fadePercent=10@x", "bad keyframe position"},
        {"fadePercent=10@-1", "bad keyframe position"},
        {"fadePercent=10@0,101@9", "out of range 0..100"},
    };
    for (const auto& c : bad) {
        try {
            parseSetting(*dye, c.text, fieldRate);
            ADD_FAILURE() << c.text << " was accepted";
        } catch (const UserError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.text << ": " << e.what();
        }
    }
}

// ---------------------------------------------------------------------------
// Options

TEST(Options, ParsesValuesAndRejectsUnknownOptions) {
    const Arguments a = parseArguments({"Dye", "in.y4m", "-o", "out.y4m", "--set", "a=1", "--set=b=2", "--quiet", "-"},
                                       {"-o", "--set"}, {"--quiet"}, "render");
    EXPECT_EQ(a.positional, (std::vector<std::string>{"Dye", "in.y4m", "-"}));
    EXPECT_EQ(a.values.at("--set"), (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_TRUE(a.has("--quiet"));
    EXPECT_THROW(parseArguments({"--bogus"}, {}, {}, "render"), UserError);
    EXPECT_THROW(parseArguments({"-o"}, {"-o"}, {}, "render"), UserError);
}

TEST(Options, RegionScaleFramesAndFieldOrder) {
    const Region r = parseRegion("8,4,16,20", 64, 24);
    EXPECT_EQ(r.left, 8);
    EXPECT_EQ(r.height, 20);
    for (const char* bad : {"8,4,16", "0,0,65,1", "0,0,1,25", "-1,0,1,1", "0,0,0,1", "a,b,c,d"}) {
        EXPECT_THROW(parseRegion(bad, 64, 24), UserError) << bad;
    }
    int n = 0, d = 0;
    parseScale("1/2", n, d);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(d, 2);
    for (const char* bad : {"2/1", "0/2", "1/0", "1", "1/2/3", "1/40000"}) EXPECT_THROW(parseScale(bad, n, d), UserError) << bad;
    EXPECT_EQ(parseFrames("--length", "12", {25, 1}), 12);
    EXPECT_EQ(parseFrames("--length", "2s", {25, 1}), 50);
    EXPECT_EQ(parseFrames("--length", "1.5s", {30000, 1001}), 45);
    EXPECT_THROW(parseFrames("--length", "-1", {25, 1}), UserError);
    EXPECT_THROW(parseFrames("--length", "xs", {25, 1}), UserError);
    EXPECT_EQ(parseFieldOrder("bff"), Interlace::BottomFirst);
    EXPECT_THROW(parseFieldOrder("top"), UserError);
    EXPECT_EQ(parsePixelFormat("yuv422p"), Chroma::C422);
    EXPECT_THROW(parsePixelFormat("rgb24"), UserError);
}

// ---------------------------------------------------------------------------
// Text catalogue: each entry describes a built operator library as its own
// descriptors do (inputs, parameters' kinds and labels in order), holds words
// for every text id those descriptors use (labels, sliders' second texts,
// choice entries that are text ids) and for no other, names every
// parameter, and no entry is left without a library.

TEST(Catalogue, AgreesWithTheDescriptorsOfEveryBuiltOperator) {
    const auto libraries = listOperators({FIELDFX_LIB_DIR});
    std::vector<std::string> found;
    std::vector<const KnownOperator*> matched;
    for (const auto& op : libraries) {
        SCOPED_TRACE(op->name());
        found.push_back(op->name());
        const auto& known = knownOperators();
        const auto entry = std::find_if(known.begin(), known.end(),
                                        [&](const KnownOperator& k) { return k.name == op->name(); });
        ASSERT_NE(entry, known.end()) << "no catalogue entry";
        EXPECT_EQ(knownOperator(*op), &*entry);
        matched.push_back(&*entry);
        EXPECT_EQ(entry->transition, op->isTransition());
        EXPECT_FALSE(operatorDescription(*op).empty());
        EXPECT_FALSE(operatorDescription(op->name()).empty());
        ASSERT_EQ(entry->parameters.size(), op->parameters().size());
        std::set<uint32_t> used;  // the text ids the descriptors use
        for (size_t i = 0; i < op->parameters().size(); ++i) {
            const Parameter& p = op->parameters()[i];
            const KnownParameter& k = entry->parameters[i];
            SCOPED_TRACE(k.name);
            EXPECT_EQ(p.kind(), k.kind);
            EXPECT_EQ(p.label(), k.label);
            EXPECT_EQ(parameterName(p.label()), k.name);
            EXPECT_EQ(p.name, k.name);
            used.insert(p.label());
            if (p.kind() == PARAM_SLIDER) used.insert(p.slider()->text2);
            if (p.kind() == PARAM_CHOICE && p.style() == CHOICE_STYLE_TEXT) used.insert(p.entries.begin(), p.entries.end());
        }
        std::set<uint32_t> catalogued;
        for (const CatalogueText& t : entry->texts) catalogued.insert(t.id);
        EXPECT_EQ(catalogued, used);
        for (uint32_t id : used) {
            EXPECT_TRUE(catalogueHas(id)) << id;
            EXPECT_NE(catalogueText(id), "text " + std::to_string(id));
        }
    }
    // Every built operator was found, and every entry matched one of them.
    std::vector<std::string> built = fxtest::builtOperators();
    std::sort(built.begin(), built.end());
    EXPECT_EQ(found, built);
    for (const KnownOperator& k : knownOperators()) {
        EXPECT_NE(std::find(matched.begin(), matched.end(), &k), matched.end()) << k.name << " matches no library";
    }
    EXPECT_EQ(catalogueText(999), "text 999");
    EXPECT_EQ(parameterName(999), "");
}

// Positions and flags of each field: interlaced fields in display order at
// two positions, progressive frames' fields at one.
TEST(RunPositions, FieldCallsAndRunLength) {
    struct Case {
        Interlace scan;
        int64_t frame;
        int place;
        int64_t position;
        int field;
    };
    const Case cases[] = {
        {Interlace::TopFirst, 0, 0, 0, 0},    {Interlace::TopFirst, 0, 1, 1, 1},
        {Interlace::TopFirst, 3, 1, 7, 1},    {Interlace::BottomFirst, 0, 0, 0, 1},
        {Interlace::BottomFirst, 2, 1, 5, 0}, {Interlace::Progressive, 0, 0, 0, 0},
        {Interlace::Progressive, 0, 1, 0, 1}, {Interlace::Progressive, 4, 1, 8, 1},
    };
    for (const Case& c : cases) {
        const FieldCall call = fieldCall(c.frame, c.place, c.scan);
        EXPECT_EQ(call.position, c.position) << int(c.scan) << " " << c.frame << " " << c.place;
        EXPECT_EQ(call.field, c.field);
        EXPECT_EQ(call.flags, c.field == 1 ? FLAG_LOWER_FIELD : 0);
    }
    EXPECT_EQ(runLength(5, Interlace::TopFirst), 10);
    EXPECT_EQ(runLength(5, Interlace::BottomFirst), 10);
    EXPECT_EQ(runLength(5, Interlace::Progressive), 9);  // the last frame at length - 1
    EXPECT_EQ(runLength(1, Interlace::Progressive), 1);
    EXPECT_EQ(runLength(0, Interlace::Progressive), 0);
}

// Which runs may start at any frame (worker stretches, chunks): every run of
// an operator whose fields depend only on their position; a Patina run
// through its replay while no setting changes over it, because the replay
// reads the settings once for all the calls it passes over.
TEST(Run, WhichRunsStartAnywhere) {
    const auto patina = OperatorLibrary::load(std::string(FIELDFX_LIB_DIR) + "/libPatina.so");
    const auto dye = OperatorLibrary::load(std::string(FIELDFX_LIB_DIR) + "/libDye.so");
    EXPECT_NE(patina->replay(), nullptr);
    EXPECT_EQ(dye->replay(), nullptr);
    const Rational fieldRate{50, 1};
    const struct {
        const OperatorLibrary* op;
        std::vector<const char*> settings;
        bool anywhere;
    } cases[] = {
        {dye.get(), {}, true},
        {dye.get(), {"fadePercent=0@0,100@9"}, true},
        {patina.get(), {}, true},
        {patina.get(), {"filmAge=1", "filmCondition=1"}, true},
        {patina.get(), {"tintAmount=5@0,5@40"}, true},  // keys, one value
        {patina.get(), {"filmCondition=3", "tintAmount=0@0,40@9"}, false},
        {patina.get(), {"filmAge=0@0,2@30"}, false},
    };
    for (const auto& c : cases) {
        RunSetup setup;
        setup.op = const_cast<OperatorLibrary*>(c.op);
        std::string described = c.op->name();
        for (const char* text : c.settings) {
            setup.settings.push_back(parseSetting(*c.op, text, fieldRate));
            described += std::string(" ") + text;
        }
        EXPECT_EQ(startsAnywhere(setup), c.anywhere) << described;
    }
}

// ---------------------------------------------------------------------------
// The operator table: a library is known by its inputs and parameters, not
// by its file's name, and only what is known stateless (or replays) may be
// split among processes.

TEST(OperatorTable, KnowsLibrariesByTheirParametersNotTheirNames) {
    char pattern[] = "/tmp/fieldfx-table-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string lib = FIELDFX_LIB_DIR, fakes = FIELDFX_TEST_OPS_DIR;
    const struct {
        std::string library;  // copied under another name first when `renamed` is set
        const char* renamed;
        const char* known;    // the table's name, or nullptr
        RunSplit split;
    } cases[] = {
        {lib + "/libBlur.so", nullptr, "Blur", RunSplit::AnyField},
        {lib + "/libRotate.so", nullptr, "Rotate", RunSplit::AnyField},
        {lib + "/libPatina.so", nullptr, "Patina", RunSplit::Replay},
        // Renamed, each is still what it is.
        {lib + "/libPatina.so", "libGrain.so", "Patina", RunSplit::Replay},
        {lib + "/libDye.so", "libTint.so", "Dye", RunSplit::AnyField},
        // Named like a known operator but with other parameters: unknown.
        {fakes + "/libHoard.so", "libBlur.so", nullptr, RunSplit::OneProcess},
        {fakes + "/libTally.so", nullptr, nullptr, RunSplit::Replay},
        {fakes + "/libPassthrough.so", nullptr, nullptr, RunSplit::Replay},
    };
    for (const auto& c : cases) {
        std::string path = c.library;
        if (c.renamed != nullptr) {
            path = dir + "/" + c.renamed;
            std::remove(path.c_str());
            ASSERT_EQ(std::system(("cp '" + c.library + "' '" + path + "'").c_str()), 0);
        }
        const auto op = OperatorLibrary::load(path);
        const KnownOperator* known = knownOperator(*op);
        EXPECT_EQ(known == nullptr ? std::string("(unknown)") : known->name,
                  c.known == nullptr ? std::string("(unknown)") : c.known) << path;
        EXPECT_EQ(runSplitOf(*op), c.split) << path;
        RunSetup setup;
        setup.op = op.get();
        EXPECT_EQ(startsAnywhere(setup), c.split != RunSplit::OneProcess) << path;
        EXPECT_EQ(operatorDescription(*op).empty(), c.known == nullptr) << path;
        if (c.split == RunSplit::OneProcess) {
            EXPECT_NE(whyInOrderOnly(*op).find("OperatorReplay"), std::string::npos);
        }
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    // Only Patina keeps state; the demo has settings only for what it knows.
    for (const KnownOperator& known : knownOperators()) {
        EXPECT_EQ(known.stateful, std::string(known.name) == "Patina") << known.name;
        EXPECT_NE(known.demoSettings, nullptr) << known.name;
    }
    const auto limelight = OperatorLibrary::load(lib + "/libLimelight.so");
    EXPECT_EQ(demoSettings(*limelight, 100), (std::vector<std::string>{"spotCenter=140,144@0,580,144@99", "spotSize=35"}));
    const auto hoard = OperatorLibrary::load(fakes + "/libHoard.so");
    EXPECT_TRUE(demoSettings(*hoard, 100).empty());
}

// Chunks cover the run exactly once, in order, in nearly equal whole frames.
TEST(Chunks, RangesCoverTheRunInNearlyEqualPieces) {
    for (int64_t frames : {1, 2, 7, 10, 100, 180000, 1073741823}) {
        for (int n : {1, 2, 3, 7, 16, 1000}) {
            if (n > frames) continue;
            int64_t expected = 0, smallest = frames, largest = 0;
            for (int k = 1; k <= n; ++k) {
                int64_t begin = 0, end = 0;
                chunkRange(frames, k, n, begin, end);
                ASSERT_EQ(begin, expected) << k << "/" << n << " of " << frames;
                smallest = std::min(smallest, end - begin);
                largest = std::max(largest, end - begin);
                expected = end;
            }
            EXPECT_EQ(expected, frames) << n << " chunks of " << frames;
            EXPECT_LE(largest - smallest, 1) << n << " chunks of " << frames;
            EXPECT_GE(smallest, 1) << n << " chunks of " << frames;
        }
    }
    int k = 0, n = 0;
    parseChunk("3/8", k, n);
    EXPECT_EQ(k, 3);
    EXPECT_EQ(n, 8);
    for (const char* bad : {"0/8", "9/8", "1/0", "-1/2", "1/100001", "1", "/2", "1/", "a/b", "1/2/3", "1.5/2"}) {
        EXPECT_THROW(parseChunk(bad, k, n), UserError) << bad;
    }
}

// ---------------------------------------------------------------------------
// Where a decode that gives frame i first starts, from the packets' times.

// Packets in the file's order, "pts/dts" with K for a key frame, in
// hundredths of a second (one frame each).
std::vector<VideoPacket> packetsOf(std::initializer_list<const char*> list) {
    std::vector<VideoPacket> packets;
    for (const char* text : list) {
        VideoPacket p;
        p.pts = std::strtoll(text, nullptr, 10) * 100;
        p.dts = std::strtoll(std::strchr(text, '/') + 1, nullptr, 10) * 100;
        p.key = std::strchr(text, 'K') != nullptr;
        packets.push_back(p);
    }
    return packets;
}

TEST(FrameIndex, SeeksToTheKeyFrameBeforeTheFrameByItsTime) {
    const Rational tb{1, 10000};  // a second is 10000: 100 frames
    // Closed groups with B-frames: I0 P3 B1 B2 | I4 P7 B5 B6.
    const auto closed = packetsOf({"0/-2K", "3/-1", "1/0", "2/1", "4/2K", "7/3", "5/4", "6/5"});
    // Open groups: the B-frames after I6 are shown before it and refer to P3.
    const auto open = packetsOf({"0/-1K", "3/0", "1/1", "2/2", "6/3K", "4/4", "5/5", "9/6", "7/7", "8/8"});
    struct Case {
        const char* name;
        const std::vector<VideoPacket>& packets;
        const char* container;
        int64_t frame, keyTime, framePts;
        bool fromStart;
    };
    const Case cases[] = {
        {"first frame", closed, "mov,mp4,m4a,3gp,3g2,mj2", 0, -200, 0, true},
        {"B-frame of the first group", closed, "mov,mp4,m4a,3gp,3g2,mj2", 2, -200, 200, true},
        {"second key frame, MP4 seeks by decoding time", closed, "mov,mp4,m4a,3gp,3g2,mj2", 4, 200, 400, false},
        {"B-frame of the second group", closed, "mov,mp4,m4a,3gp,3g2,mj2", 6, 200, 600, false},
        {"Matroska seeks by presentation time", closed, "matroska,webm", 5, 400, 500, false},
        {"leading B-frame of an open group: the group before", open, "matroska,webm", 4, 0, 400, true},
        {"key frame of an open group", open, "matroska,webm", 6, 600, 600, false},
        {"after it", open, "matroska,webm", 8, 600, 800, false},
        // A transport stream is searched a second (100 frames) before the
        // key frame: here, before the first packet.
        {"transport stream", open, "mpegts", 6, 300 - 10000, 600, true},
    };
    for (const Case& c : cases) {
        const FrameIndex index(c.packets, c.container, tb);
        EXPECT_EQ(index.whyNotSeekable(), "") << c.name;
        EXPECT_EQ(index.frames(), int64_t(c.packets.size())) << c.name;
        const FrameIndex::SeekPoint point = index.seekPointFor(c.frame);
        EXPECT_EQ(point.keyTime, c.keyTime) << c.name;
        EXPECT_EQ(point.framePts, c.framePts) << c.name;
        EXPECT_EQ(point.fromStart, c.fromStart) << c.name;
    }
    // Where a seek cannot be trusted to find the frame, the decode starts
    // at the start.
    EXPECT_NE(FrameIndex(closed, "avi", tb).whyNotSeekable(), "");
    const auto startsInside = packetsOf({"2/0K", "0/1", "1/2", "3/3"});
    FrameIndex inside(startsInside, "matroska,webm", tb);
    EXPECT_TRUE(inside.startsOpen());
    EXPECT_NE(inside.whyNotSeekable(), "");
    inside.dropFramesBefore(200);  // the decoder gives nothing before frame 2
    EXPECT_EQ(inside.frames(), 2);
    EXPECT_NE(FrameIndex(packetsOf({"0/0K", "1/1", "1/2"}), "matroska,webm", tb).whyNotSeekable(), "");
    // -ss counts from the container's start, in whole microseconds.
    EXPECT_EQ(seekSeconds(38400, {1, 12800}, 0), "3.000000");
    EXPECT_EQ(seekSeconds(270000, {1, 90000}, 1440000), "1.560000");
    EXPECT_EQ(seekSeconds(-1024, {1, 12800}, 0), "-0.080000");
    EXPECT_EQ(seekSeconds(1, {1, 3}, 0), "0.333333");
}
