// The MLT module's logic without rendering: MLT properties (plain values and
// keyframe strings) turned into the host's per-field settings, compared with
// what `fieldfx render --set` makes of the same values; the metadata as
// MLT's own reader reads it; Kdenlive's category file merged.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Describe.h"
#include "Error.h"
#include "Services.h"
#include "Settings.h"

using namespace fieldfx;
using namespace fieldfx::mlt;

namespace {

// The built operator libraries, loaded once for every test.
const LoadedService& loaded(const std::string& id) {
    static std::map<std::string, std::unique_ptr<LoadedService>> cache;
    auto& slot = cache[id];
    if (!slot) slot = loadService(*serviceById(id), {FIELDFX_LIB_DIR});
    return *slot;
}

struct Properties {
    mlt_properties p = mlt_properties_new();
    ~Properties() { mlt_properties_close(p); }
};

size_t indexOf(const LoadedService& s, const std::string& name) {
    const std::vector<Parameter>& parameters = s.library->parameters();
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].name == name) return i;
    }
    ADD_FAILURE() << "no parameter " << name;
    return 0;
}

bool sameValue(const Parameter& p, const ParamValue& a, const ParamValue& b) {
    switch (p.kind()) {
    case PARAM_COLOR: return std::equal(a.color, a.color + 4, b.color);
    case PARAM_POINT: return a.x == b.x && a.y == b.y;
    default:          return a.number == b.number;
    }
}

// A property's text, or "(unset)".
std::string text(mlt_properties m, const char* key) {
    const char* value = mlt_properties_get(m, key);
    return value != nullptr ? value : "(unset)";
}

std::string keysText(const Setting& s) {
    std::string text;
    for (const Keyframe& k : s.keys) text += describeValue(*s.parameter, k.value) + "@" + std::to_string(k.position) + " ";
    return text;
}

struct SettingCase {
    const char* service;
    const char* name;
    const char* mltValue;  // as the property holds it
    int frames;            // the service's length
    const char* setValue;  // the same for `fieldfx render --set NAME=...`; nullptr: the initial value
    const char* problem;   // a problem line holds this; nullptr: no problem
};

void PrintTo(const SettingCase& c, std::ostream* out) { *out << c.service << " " << c.name << "=" << c.mltValue; }

class MltSettings : public testing::TestWithParam<SettingCase> {};

}  // namespace

// Key frame k lands on field 2k; values are read as --set reads them.
TEST_P(MltSettings, EqualTheCommandLineSetting) {
    const SettingCase& c = GetParam();
    const LoadedService& s = loaded(c.service);
    Properties props;
    mlt_properties_set(props.p, c.name, c.mltValue);
    const ServiceSettings got = settingsFromProperties(props.p, *s.library, s.initial, c.frames);
    ASSERT_EQ(got.settings.size(), s.library->parameters().size());
    const size_t i = indexOf(s, c.name);
    const Setting& setting = got.settings[i];
    Setting want;
    if (c.setValue != nullptr) {
        want = parseSetting(*s.library, std::string(c.name) + "=" + c.setValue, Rational{50, 1});
    } else {
        want.parameter = setting.parameter;
        want.keys.push_back(Keyframe{0, s.initial[i]});
    }
    ASSERT_EQ(setting.parameter, want.parameter);
    ASSERT_EQ(setting.keys.size(), want.keys.size()) << keysText(setting) << " instead of " << keysText(want);
    for (size_t k = 0; k < want.keys.size(); ++k) {
        EXPECT_EQ(setting.keys[k].position, want.keys[k].position) << keysText(setting);
        EXPECT_TRUE(sameValue(*setting.parameter, setting.keys[k].value, want.keys[k].value))
            << keysText(setting) << " instead of " << keysText(want);
    }
    std::string problems;
    for (const std::string& p : got.problems) problems += p + "\n";
    if (c.problem == nullptr) {
        EXPECT_TRUE(got.problems.empty()) << problems;
    } else {
        EXPECT_NE(problems.find(c.problem), std::string::npos) << problems;
    }
    // Reading leaves the property as it was: read again, it gives the same.
    const ServiceSettings again = settingsFromProperties(props.p, *s.library, s.initial, c.frames);
    EXPECT_EQ(keysText(again.settings[i]), keysText(setting));
    // The other parameters keep their initial values.
    for (size_t j = 0; j < got.settings.size(); ++j) {
        if (j == i) continue;
        ASSERT_EQ(got.settings[j].keys.size(), 1u);
        EXPECT_TRUE(sameValue(s.library->parameters()[j], got.settings[j].keys[0].value, s.initial[j]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, MltSettings,
    testing::Values(
        // Sliders: whole numbers in the operator's units, held to the range.
        SettingCase{"fieldfx.blur", "blurSize", "12", 50, "12", nullptr},
        SettingCase{"fieldfx.blur", "blurSize", " 12.5 ", 50, "13", nullptr},
        SettingCase{"fieldfx.blur", "blurSize", "40", 50, "25", "40 is out of range 1..25; held to 25"},
        SettingCase{"fieldfx.blur", "blurSize", "-1e300", 50, "1", "held to 1"},
        SettingCase{"fieldfx.blur", "blurSize", "abc", 50, nullptr, "keeps its initial value 5"},
        SettingCase{"fieldfx.blur", "blurSize", "nan", 50, nullptr, "'nan' is not a number"},
        SettingCase{"fieldfx.blur", "blurSize", "", 50, nullptr, nullptr},
        // Keyframes: linear, discrete (held to the field before the next
        // key), smooth (a key on every frame on MLT's curve; colours linear),
        // counted from the end, bad keys.
        SettingCase{"fieldfx.blur", "blurSize", "0=5;10=15", 50, "5@0,15@20", nullptr},
        SettingCase{"fieldfx.blur", "blurSize", "0|=5;10=15;11=20", 50, "5@0,5@19,15@20,20@22", nullptr},
        SettingCase{"fieldfx.blur", "blurSize", "0|=5;1=15", 50, "5@0,5@1,15@2", nullptr},
        SettingCase{"fieldfx.blur", "blurSize", "0~=5;2=15", 50, "5@0,10@2,15@4", nullptr},
        SettingCase{"fieldfx.blur", "blurSize", "0=5;1~=5;3=25;4=2", 50, "5@0,5@2,16@4,25@6,2@8", nullptr},
        SettingCase{"fieldfx.limelight", "spotCenter", "0~=0 0;2=100 50", 50, "0,0@0,50,25@2,100,50@4", nullptr},
        SettingCase{"fieldfx.dye", "tintColor", "0~=#000000;10=#ffffff", 50, "#000000@0,#FFFFFF@20",
                    "smooth keyframes of a colour are rendered as linear ones"},
        SettingCase{"fieldfx.blur", "fadePercent", "0=10;-1=90", 25, "10@0,90@48", nullptr},
        SettingCase{"fieldfx.blur", "fadePercent", "0=10;5=x;10=30", 25, "10@0,30@20",
                    "fadePercent at frame 5: 'x' is not a number; this key is left out"},
        SettingCase{"fieldfx.blur", "fadePercent", "3=10", 25, "10@6", nullptr},
        // Choices: text in any case, index, stepped whatever the key type.
        SettingCase{"fieldfx.blur", "blurDirection", "columns", 50, "Columns", nullptr},
        SettingCase{"fieldfx.blur", "blurDirection", "2", 50, "Rows and columns", nullptr},
        SettingCase{"fieldfx.blur", "blurDirection", "1.0", 50, "Columns", nullptr},
        SettingCase{"fieldfx.blur", "blurDirection", "Diagonal", 50, nullptr, "'Diagonal' is not one of its entries"},
        SettingCase{"fieldfx.blur", "blurDirection", "9", 50, nullptr, "out of range 0..2"},
        SettingCase{"fieldfx.blur", "fadeMode", "0=Fade in;10|=Fade out;20~=1", 50, "0@0,1@20,1@40", nullptr},
        SettingCase{"fieldfx.rebound", "hingeCorner", "6", 50, "6", nullptr},
        SettingCase{"fieldfx.rebound", "hingeCorner", "7", 50, nullptr, "'7' is not one of its entries"},
        // Colours: MLT's forms, alpha unused; converted as --set converts #RRGGBB.
        SettingCase{"fieldfx.dye", "tintColor", "#ff8000", 50, "#FF8000", nullptr},
        SettingCase{"fieldfx.dye", "tintColor", "0xff800040", 50, "#FF8000", nullptr},
        SettingCase{"fieldfx.dye", "tintColor", "#40ff8000", 50, "#FF8000", nullptr},
        SettingCase{"fieldfx.dye", "tintColor", "red", 50, "#FF0000", nullptr},
        SettingCase{"fieldfx.dye", "tintColor", "0=#000000;10=#ffffff", 50, "#000000@0,#FFFFFF@20", nullptr},
        SettingCase{"fieldfx.dye", "tintColor", "banana", 50, nullptr, "'banana' is not a colour"},
        // Points: X Y in field pixels and rows, or a rectangle's centre.
        SettingCase{"fieldfx.limelight", "spotCenter", "100 50", 50, "100,50", nullptr},
        SettingCase{"fieldfx.limelight", "spotCenter", "100,50", 50, "100,50", nullptr},
        SettingCase{"fieldfx.limelight", "spotCenter", "50 50 100 100", 50, "100,50", nullptr},
        SettingCase{"fieldfx.limelight", "spotCenter", "50 51 101 100 1", 50, "101,51", nullptr},
        SettingCase{"fieldfx.limelight", "spotCenter", "0|=0 0;10=100 50", 50, "0,0@0,0,0@19,100,50@20", nullptr},
        SettingCase{"fieldfx.limelight", "spotCenter", "40000 -3", 50, "32767,-3", "held to 32767,-3"},
        SettingCase{"fieldfx.limelight", "spotCenter", "50% 50%", 50, nullptr, "given in percent"},
        SettingCase{"fieldfx.limelight", "spotCenter", "1 2 3", 50, nullptr, "is not a point"}));

// A property set by number (as editors' sliders do) reads as its text.
TEST(MltSettingsSet, NumbersAndAnimationsSetThroughTheApi) {
    const LoadedService& s = loaded("fieldfx.underwater");
    Properties props;
    mlt_properties_set_double(props.p, "waveCount", 7.4);
    mlt_properties_anim_set_double(props.p, "waveSpeed", 2, 0, 30, mlt_keyframe_linear);
    mlt_properties_anim_set_double(props.p, "waveSpeed", 20, 29, 30, mlt_keyframe_discrete);
    const ServiceSettings got = settingsFromProperties(props.p, *s.library, s.initial, 30);
    EXPECT_TRUE(got.problems.empty());
    EXPECT_EQ(got.settings[indexOf(s, "waveCount")].keys[0].value.number, 7);
    const Setting& speed = got.settings[indexOf(s, "waveSpeed")];
    ASSERT_EQ(speed.keys.size(), 2u);
    EXPECT_EQ(speed.keys[1].position, 58);
    // Between the keys the host interpolates per field, MLT per frame; on
    // the frames' first fields they agree.
    for (int frame = 0; frame < 30; ++frame) {
        const double mltValue = mlt_properties_anim_get_double(props.p, "waveSpeed", frame, 30);
        EXPECT_EQ(valueAt(speed, fieldOfFrame(frame)).number, std::lround(mltValue)) << "frame " << frame;
    }
}

// Smooth keys as Kdenlive writes them, mixed with linear and discrete ones:
// on every frame's first field the host has MLT's own value, rounded and
// held to the range (the curve overshoots 25 after frame 10).
TEST(MltSettingsSet, SmoothKeysFollowMltsCurve) {
    const LoadedService& s = loaded("fieldfx.blur");
    Properties props;
    mlt_properties_set(props.p, "blurSize", "0=3;4~=20;10~=24;14|=2;16~=9;20=1");
    const ServiceSettings got = settingsFromProperties(props.p, *s.library, s.initial, 24);
    EXPECT_TRUE(got.problems.empty());
    const Setting& size = got.settings[indexOf(s, "blurSize")];
    for (int frame = 0; frame < 24; ++frame) {
        const double mltValue = mlt_properties_anim_get_double(props.p, "blurSize", frame, 24);
        EXPECT_EQ(valueAt(size, fieldOfFrame(frame)).number, std::clamp<long>(std::lround(mltValue), 1, 25))
            << "frame " << frame << ", MLT's " << mltValue;
    }
}

// Editors write key positions as times (Kdenlive: "00:00:01.000=50"),
// read at the profile's rate.
TEST(MltSettingsSet, TimesCountFramesAtTheProfileRate) {
    const LoadedService& s = loaded("fieldfx.glow");
    Properties props;
    auto* profile = static_cast<mlt_profile>(calloc(1, sizeof(mlt_profile_s)));
    profile->frame_rate_num = 25;
    profile->frame_rate_den = 1;
    mlt_properties_set_data(props.p, "_profile", profile, 0, reinterpret_cast<mlt_destructor>(mlt_profile_close),
                            nullptr);
    mlt_properties_set(props.p, "blurSize", "00:00:00.000=5;00:00:00.400=15");
    const ServiceSettings got = settingsFromProperties(props.p, *s.library, s.initial, 50);
    EXPECT_TRUE(got.problems.empty());
    const Setting& size = got.settings[indexOf(s, "blurSize")];
    ASSERT_EQ(size.keys.size(), 2u);
    EXPECT_EQ(size.keys[1].position, 20);
    EXPECT_EQ(size.keys[1].value.number, 15);
}

// ---------------------------------------------------------------------------
// Metadata: what MLT's YAML reader makes of it equals the descriptors.

TEST(MltMetadata, MltReadsEveryParameterAsTheDescriptorsHaveIt) {
    char path[] = "/tmp/fieldfx-mlt-yaml-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const ServiceInfo& info : services()) {
        const LoadedService& s = loaded(info.id);
        std::ofstream(path) << metadataYaml(s, "1.2");
        mlt_properties meta = mlt_properties_parse_yaml(path);
        ASSERT_NE(meta, nullptr);
        EXPECT_EQ(text(meta, "identifier"), info.id.c_str());
        EXPECT_EQ(text(meta, "type"), info.known->transition ? "transition" : "filter");
        EXPECT_EQ(text(meta, "title"), info.known->name);
        EXPECT_EQ(text(meta, "version"), "1.2");
        auto* parameters = static_cast<mlt_properties>(mlt_properties_get_data(meta, "parameters", nullptr));
        ASSERT_NE(parameters, nullptr);
        const std::vector<Parameter>& descriptors = s.library->parameters();
        ASSERT_EQ(mlt_properties_count(parameters), int(descriptors.size())) << info.id;
        for (size_t i = 0; i < descriptors.size(); ++i) {
            const Parameter& p = descriptors[i];
            auto* m = static_cast<mlt_properties>(mlt_properties_get_data_at(parameters, int(i), nullptr));
            ASSERT_NE(m, nullptr);
            EXPECT_EQ(text(m, "identifier"), p.name);
            EXPECT_EQ(text(m, "type"), mltType(p));
            EXPECT_EQ(text(m, "animation"), "yes");
            EXPECT_EQ(text(m, "mutable"), "yes");
            EXPECT_EQ(text(m, "default"), mltValue(p, s.initial[i])) << p.name;
            if (p.kind() == PARAM_SLIDER) {
                EXPECT_EQ(mlt_properties_get_int(m, "minimum"), p.slider()->minimum);
                EXPECT_EQ(mlt_properties_get_int(m, "maximum"), p.slider()->maximum);
            }
            if (p.kind() == PARAM_CHOICE) {
                auto* values = static_cast<mlt_properties>(mlt_properties_get_data(m, "values", nullptr));
                ASSERT_NE(values, nullptr);
                ASSERT_EQ(mlt_properties_count(values), int(p.entries.size()));
                for (size_t e = 0; e < p.entries.size(); ++e) {
                    EXPECT_EQ(std::string(mlt_properties_get_value(values, int(e))), entryText(p, e));
                }
            }
            // The default, set on a service, gives the initial value back.
            Properties props;
            mlt_properties_set(props.p, p.name.c_str(), mlt_properties_get(m, "default"));
            const ServiceSettings back = settingsFromProperties(props.p, *s.library, s.initial, 10);
            EXPECT_TRUE(back.problems.empty()) << p.name;
            EXPECT_TRUE(sameValue(p, back.settings[i].keys[0].value, s.initial[i])) << p.name;
        }
        mlt_properties_close(meta);
    }
    std::remove(path);
}

// Every parameter of every service is in its Kdenlive file, with the
// descriptor's range and default; Shotcut's files exist for filters only.
TEST(MltMetadata, EditorFilesCarryTheDescriptorsRanges) {
    for (const ServiceInfo& info : services()) {
        const LoadedService& s = loaded(info.id);
        const std::vector<DescribedFile> files = describeService(s, "1");
        ASSERT_EQ(files.size(), info.known->transition ? 2u : 4u) << info.id;
        const std::string& xml = files[1].text;
        EXPECT_NE(xml.find(std::string("<") + (info.known->transition ? "transition" : "effect") + " tag=\"" +
                           info.id + "\" id=\"" + info.id + "\">"),
                  std::string::npos);
        for (size_t i = 0; i < s.library->parameters().size(); ++i) {
            const Parameter& p = s.library->parameters()[i];
            const size_t at = xml.find("name=\"" + p.name + "\"");
            ASSERT_NE(at, std::string::npos) << info.id << " " << p.name;
            const std::string line = xml.substr(at, xml.find('\n', at) - at);
            if (p.kind() == PARAM_SLIDER) {
                EXPECT_NE(line.find("default=\"" + std::to_string(s.initial[i].number) + "\""), std::string::npos);
                EXPECT_NE(line.find("min=\"" + std::to_string(p.slider()->minimum) + "\""), std::string::npos);
                EXPECT_NE(line.find("max=\"" + std::to_string(p.slider()->maximum) + "\""), std::string::npos);
            }
        }
        if (!info.known->transition) {
            EXPECT_NE(files[2].text.find("mlt_service: '" + info.id + "'"), std::string::npos);
            for (const Parameter& p : s.library->parameters()) {
                EXPECT_NE(files[3].text.find("'" + p.name + "'"), std::string::npos) << info.id << " " << p.name;
            }
        }
    }
}

// The Kdenlive default of a point is a rectangle whose centre is the point.
TEST(MltMetadata, KdenliveRectangleStandsForTheInitialPoint) {
    const LoadedService& s = loaded("fieldfx.limelight");
    const std::string xml = kdenliveXml(s);
    const size_t at = xml.find("default=\"", xml.find("name=\"spotCenter\""));
    const std::string rect = xml.substr(at + 9, xml.find('"', at + 9) - at - 9);
    Properties props;
    mlt_properties_set(props.p, "spotCenter", rect.c_str());
    const ServiceSettings back = settingsFromProperties(props.p, *s.library, s.initial, 10);
    const size_t i = indexOf(s, "spotCenter");
    EXPECT_TRUE(sameValue(s.library->parameters()[i], back.settings[i].keys[0].value, s.initial[i])) << rect;
}

// ---------------------------------------------------------------------------
// Kdenlive's category file

TEST(KdenliveCategories, AddsEachEffectToItsGroupOnce) {
    const std::string file =
        "<?xml version=\"1.0\"?>\n<data name=\"effects\" version=\"0\">\n"
        "<group list=\"a,b\">\n<text>Blur and Sharpen</text>\n</group>\n"
        "<group list=\"\">\n<text>Stylize</text>\n</group>\n"
        "<group list=\"fieldfx.dye\">\n<text>Mine</text>\n</group>\n"
        "</data>\n";
    const std::string merged = mergeKdenliveCategories(file, services());
    EXPECT_NE(merged.find("<group list=\"a,b,fieldfx.blur\">\n<text>Blur and Sharpen</text>"), std::string::npos)
        << merged;
    EXPECT_NE(merged.find("<group list=\"fieldfx.patina,fieldfx.glow,fieldfx.limelight\">\n<text>Stylize</text>"),
              std::string::npos)
        << merged;
    // Listed already: left in its group, not added to Color.
    EXPECT_NE(merged.find("<group list=\"fieldfx.dye\">\n<text>Mine</text>"), std::string::npos) << merged;
    EXPECT_EQ(merged.find("<text>Color and Image correction</text>"), std::string::npos) << merged;
    // A group the file lacks is added; transitions are not effects.
    EXPECT_NE(merged.find("<group list=\"fieldfx.underwater\">\n<text>Transform, Distort and Perspective</text>"),
              std::string::npos)
        << merged;
    EXPECT_EQ(merged.find("fieldfx.rotate"), std::string::npos);
    EXPECT_EQ(mergeKdenliveCategories(merged, services()), merged);
    EXPECT_THROW(mergeKdenliveCategories("<html></html>", services()), UserError);
}
