// The frei0r plug-ins loaded into this process as a host loads them:
// their info and parameters, value handling (good, out of range and
// meaningless), instances that keep their own settings and runs, seeks,
// threads, odd frame sizes, and a plug-in whose operator is missing.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoadedOperator.h"

extern "C" {
#include <frei0r.h>
}

namespace {

namespace fs = std::filesystem;

struct Plugin {
    explicit Plugin(const std::string& path) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) throw std::runtime_error(dlerror());
        auto sym = [&](const char* name) {
            void* s = dlsym(handle, name);
            if (s == nullptr) throw std::runtime_error(std::string("no ") + name);
            return s;
        };
        init = reinterpret_cast<int (*)()>(sym("f0r_init"));
        info = reinterpret_cast<void (*)(f0r_plugin_info_t*)>(sym("f0r_get_plugin_info"));
        paramInfo = reinterpret_cast<void (*)(f0r_param_info_t*, int)>(sym("f0r_get_param_info"));
        construct = reinterpret_cast<f0r_instance_t (*)(unsigned, unsigned)>(sym("f0r_construct"));
        destruct = reinterpret_cast<void (*)(f0r_instance_t)>(sym("f0r_destruct"));
        set = reinterpret_cast<void (*)(f0r_instance_t, f0r_param_t, int)>(sym("f0r_set_param_value"));
        get = reinterpret_cast<void (*)(f0r_instance_t, f0r_param_t, int)>(sym("f0r_get_param_value"));
        update2 = reinterpret_cast<void (*)(f0r_instance_t, double, const uint32_t*, const uint32_t*, const uint32_t*,
                                            uint32_t*)>(sym("f0r_update2"));
    }
    ~Plugin() { dlclose(handle); }
    static std::string path(const std::string& name) { return std::string(FIELDFX_LIB_DIR) + "/frei0r-1/fieldfx_" + name + ".so"; }
    int index(const std::string& name) const {
        f0r_plugin_info_t i{};
        info(&i);
        for (int n = 0; n < i.num_params; ++n) {
            f0r_param_info_t p{};
            paramInfo(&p, n);
            if (name == p.name) return n;
        }
        return -1;
    }
    void* handle;
    int (*init)();
    void (*info)(f0r_plugin_info_t*);
    void (*paramInfo)(f0r_param_info_t*, int);
    f0r_instance_t (*construct)(unsigned, unsigned);
    void (*destruct)(f0r_instance_t);
    void (*set)(f0r_instance_t, f0r_param_t, int);
    void (*get)(f0r_instance_t, f0r_param_t, int);
    void (*update2)(f0r_instance_t, double, const uint32_t*, const uint32_t*, const uint32_t*, uint32_t*);
};

// One instance with its frames; every pixel differs from its neighbours.
struct Session {
    Session(Plugin& p, unsigned w, unsigned h, uint32_t seed = 1) : plugin(p), width(w), height(h) {
        instance = p.construct(w, h);
        for (int k = 0; k < 2; ++k) {
            frames[k].resize(size_t(w) * h);
            uint32_t x = seed * 2654435761u + uint32_t(k) * 40503u;
            for (uint32_t& px : frames[k]) px = x = x * 1664525u + 1013904223u;
        }
    }
    ~Session() { plugin.destruct(instance); }
    void setDouble(const char* name, double v) { plugin.set(instance, &v, plugin.index(name)); }
    void setString(const char* name, const char* text) { plugin.set(instance, &text, plugin.index(name)); }
    double getDouble(const char* name) {
        double v = -1;
        plugin.get(instance, &v, plugin.index(name));
        return v;
    }
    std::string getString(const char* name) {
        const char* text = nullptr;
        plugin.get(instance, &text, plugin.index(name));
        return text != nullptr ? text : "(null)";
    }
    std::vector<uint32_t> frame(double seconds) {
        std::vector<uint32_t> out(frames[0].size());
        plugin.update2(instance, seconds, frames[0].data(), frames[1].data(), nullptr, out.data());
        return out;
    }
    Plugin& plugin;
    unsigned width, height;
    f0r_instance_t instance;
    std::vector<uint32_t> frames[2];
};

struct Expected {
    const char* op;
    int type;
    std::vector<std::pair<const char*, int>> params;  // before length, frameRate, fieldOrder
};

const Expected kExpected[] = {
    {"blur", F0R_PLUGIN_TYPE_FILTER,
     {{"blurSize", F0R_PARAM_DOUBLE}, {"blurDirection", F0R_PARAM_STRING}, {"fadePercent", F0R_PARAM_DOUBLE},
      {"fadeMode", F0R_PARAM_STRING}}},
    {"dye", F0R_PLUGIN_TYPE_FILTER, {{"tintColor", F0R_PARAM_COLOR}, {"fadePercent", F0R_PARAM_DOUBLE}}},
    {"glow", F0R_PLUGIN_TYPE_FILTER,
     {{"blurSize", F0R_PARAM_DOUBLE}, {"glowGain", F0R_PARAM_STRING}, {"fadePercent", F0R_PARAM_DOUBLE},
      {"fadeMode", F0R_PARAM_STRING}}},
    {"limelight", F0R_PLUGIN_TYPE_FILTER,
     {{"spotSize", F0R_PARAM_DOUBLE}, {"edgeSoftness", F0R_PARAM_DOUBLE}, {"spotCenter", F0R_PARAM_POSITION},
      {"fadePercent", F0R_PARAM_DOUBLE}}},
    {"underwater", F0R_PLUGIN_TYPE_FILTER,
     {{"waveCount", F0R_PARAM_DOUBLE}, {"waveAmplitude", F0R_PARAM_DOUBLE}, {"waveSpeed", F0R_PARAM_DOUBLE},
      {"fadePercent", F0R_PARAM_DOUBLE}}},
    {"patina", F0R_PLUGIN_TYPE_FILTER,
     {{"filmAge", F0R_PARAM_STRING}, {"tintAmount", F0R_PARAM_DOUBLE}, {"contrastLevel", F0R_PARAM_DOUBLE},
      {"filmCondition", F0R_PARAM_DOUBLE}}},
    {"rotate", F0R_PLUGIN_TYPE_MIXER2,
     {{"turns", F0R_PARAM_DOUBLE}, {"trailCount", F0R_PARAM_DOUBLE}, {"rotateMode", F0R_PARAM_STRING}}},
    {"rebound", F0R_PLUGIN_TYPE_MIXER2,
     {{"hingeCorner", F0R_PARAM_STRING}, {"reboundMode", F0R_PARAM_STRING}, {"reboundCount", F0R_PARAM_DOUBLE}}},
};

void PrintTo(const Expected& e, std::ostream* out) { *out << e.op; }

std::string operatorName(const char* lower) {
    std::string name = lower;
    name[0] = char(std::toupper(name[0]));
    return name;
}

class EveryPlugin : public testing::TestWithParam<Expected> {};

TEST_P(EveryPlugin, DescribesItselfAndItsParametersInOrder) {
    const Expected& e = GetParam();
    if (!fxtest::isBuiltOperator(operatorName(e.op))) GTEST_SKIP();
    Plugin p(Plugin::path(e.op));
    ASSERT_EQ(p.init(), 1);
    f0r_plugin_info_t info{};
    p.info(&info);
    EXPECT_EQ(std::string(info.name), std::string("fieldfx_") + e.op);
    EXPECT_EQ(info.plugin_type, e.type);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
    EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
    auto expected = e.params;
    expected.insert(expected.end(), {{"length", F0R_PARAM_DOUBLE}, {"frameRate", F0R_PARAM_DOUBLE},
                                     {"fieldOrder", F0R_PARAM_STRING}});
    ASSERT_EQ(info.num_params, int(expected.size()));
    for (int i = 0; i < info.num_params; ++i) {
        f0r_param_info_t pi{};
        p.paramInfo(&pi, i);
        EXPECT_STREQ(pi.name, expected[size_t(i)].first);
        EXPECT_EQ(pi.type, expected[size_t(i)].second) << pi.name;
        EXPECT_NE(pi.explanation, nullptr);
    }
    Session run(p, 24, 16);
    ASSERT_NE(run.instance, nullptr);
    EXPECT_EQ(run.getDouble("length"), 10.0);
    EXPECT_EQ(run.getDouble("frameRate"), 25.0);
    EXPECT_EQ(run.getString("fieldOrder"), "progressive");
    // A frame of each size the hosts may hand over, including odd ones.
    for (auto [w, h] : std::vector<std::pair<unsigned, unsigned>>{{24, 16}, {13, 7}, {1, 1}, {8, 2}}) {
        Session odd(p, w, h);
        ASSERT_NE(odd.instance, nullptr);
        for (double t : {0.0, 0.04, 9.99, 100.0, -5.0, std::nan("")}) EXPECT_EQ(odd.frame(t).size(), size_t(w) * h);
    }
}

// Every whole slider value survives x = (v - min) / (max - min) and back.
TEST_P(EveryPlugin, SlidersReadBackEveryWholeValueExactly) {
    const Expected& e = GetParam();
    if (!fxtest::isBuiltOperator(operatorName(e.op))) GTEST_SKIP();
    Plugin p(Plugin::path(e.op));
    fxtest::LoadedOperator op(operatorName(e.op));
    Session run(p, 24, 16);
    int sliders = 0;
    for (int i = 0; i < int(e.params.size()); ++i) {
        if (e.params[size_t(i)].second != F0R_PARAM_DOUBLE) continue;
        const SliderParam* s = op.slider(i + 1);
        ASSERT_EQ(s->head.kind, PARAM_SLIDER);
        ++sliders;
        for (int v = s->minimum; v <= s->maximum; ++v) {
            const double x = double(v - s->minimum) / double(s->maximum - s->minimum);
            run.setDouble(e.params[size_t(i)].first, x);
            EXPECT_EQ(run.getDouble(e.params[size_t(i)].first), x) << e.params[size_t(i)].first << " " << v;
        }
    }
    EXPECT_GT(sliders, 0);
}

INSTANTIATE_TEST_SUITE_P(Plugins, EveryPlugin, testing::ValuesIn(kExpected),
                         [](const testing::TestParamInfo<Expected>& info) { return std::string(info.param.op); });

TEST(PluginValues, OutOfRangeIsHeldAndMeaninglessIsIgnored) {
    if (!fxtest::isBuiltOperator("Blur")) GTEST_SKIP();
    Plugin p(Plugin::path("blur"));
    Session run(p, 24, 16);
    const double nan = std::nan("");
    struct Case {
        std::function<void()> set;
        const char* name;
        bool isString;
        double number;
        const char* text;
    };
    const char* gstStyle = "Columns";  // a char* itself, as GStreamer passes a live change
    const Case cases[] = {
        {[&] { run.setDouble("blurSize", 0.5); }, "blurSize", false, 0.5, ""},
        {[&] { run.setDouble("blurSize", nan); }, "blurSize", false, 0.5, ""},
        {[&] { run.setDouble("blurSize", 7.5); }, "blurSize", false, 1.0, ""},
        {[&] { run.setDouble("blurSize", -std::numeric_limits<double>::infinity()); }, "blurSize", false, 0.0, ""},
        {[&] { run.setString("blurDirection", "columns"); }, "blurDirection", true, 0, "Columns"},
        {[&] { run.setString("blurDirection", "Diagonal"); }, "blurDirection", true, 0, "Columns"},
        {[&] { run.setString("blurDirection", "0"); }, "blurDirection", true, 0, "Rows"},
        {[&] { run.setString("blurDirection", "3"); }, "blurDirection", true, 0, "Rows"},
        {[&] { run.setString("blurDirection", ""); }, "blurDirection", true, 0, "Rows"},
        {[&] { p.set(run.instance, const_cast<char*>(gstStyle), p.index("blurDirection")); }, "blurDirection", true, 0, "Columns"},
        {[&] { run.setString("fadeMode", "Fade out and in"); }, "fadeMode", true, 0, "Fade out and in"},
        {[&] { run.setDouble("length", 2.5); }, "length", false, 2.5, ""},
        {[&] { run.setDouble("length", -1); }, "length", false, 2.5, ""},
        {[&] { run.setDouble("length", 0); }, "length", false, 2.5, ""},
        {[&] { run.setDouble("length", nan); }, "length", false, 2.5, ""},
        {[&] { run.setDouble("frameRate", 30); }, "frameRate", false, 30, ""},
        {[&] { run.setDouble("frameRate", 0); }, "frameRate", false, 30, ""},
        {[&] { run.setDouble("frameRate", nan); }, "frameRate", false, 30, ""},
        {[&] { run.setString("fieldOrder", "BFF"); }, "fieldOrder", true, 0, "bff"},
        {[&] { run.setString("fieldOrder", "sideways"); }, "fieldOrder", true, 0, "bff"},
        {[&] { run.setString("fieldOrder", "1"); }, "fieldOrder", true, 0, "tff"},
        {[&] { p.set(run.instance, nullptr, 0); }, "blurSize", false, 0.0, ""},
        {[&] { double v = 1; p.set(run.instance, &v, 99); p.set(run.instance, &v, -1); }, "blurSize", false, 0.0, ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        cases[i].set();
        if (cases[i].isString) EXPECT_EQ(run.getString(cases[i].name), cases[i].text) << "case " << i;
        else EXPECT_EQ(run.getDouble(cases[i].name), cases[i].number) << "case " << i;
    }
    EXPECT_EQ(run.frame(0.5).size(), 24u * 16u);
}

TEST(PluginValues, ColoursAndPointsAreHeldToTheirRange) {
    if (!fxtest::isBuiltOperator("Dye") || !fxtest::isBuiltOperator("Limelight")) GTEST_SKIP();
    Plugin dye(Plugin::path("dye"));
    Session run(dye, 24, 16);
    const int tint = dye.index("tintColor");
    f0r_param_color_t c{0.2f, 0.4f, 1.0f}, back{};
    dye.set(run.instance, &c, tint);
    dye.get(run.instance, &back, tint);
    EXPECT_EQ(back.r, 51 / 255.0f);
    EXPECT_EQ(back.g, 102 / 255.0f);
    EXPECT_EQ(back.b, 1.0f);
    f0r_param_color_t wild{-3.0f, 7.0f, 0.5f}, bad{std::nanf(""), 0, 0};
    dye.set(run.instance, &wild, tint);
    dye.set(run.instance, &bad, tint);  // ignored
    dye.get(run.instance, &back, tint);
    EXPECT_EQ(back.r, 0.0f);
    EXPECT_EQ(back.g, 1.0f);
    EXPECT_EQ(back.b, 128 / 255.0f);

    Plugin lime(Plugin::path("limelight"));
    Session spot(lime, 40, 20);
    const int centre = lime.index("spotCenter");
    f0r_param_position_t at{}, far{2.0, -1.0}, nowhere{std::nan(""), 0.5};
    lime.get(spot.instance, &at, centre);
    EXPECT_EQ(at.x, 100.0 / 40);  // the initial 100,50 in a 40x10 field
    EXPECT_EQ(at.y, 50.0 / 10);
    lime.set(spot.instance, &far, centre);
    lime.set(spot.instance, &nowhere, centre);  // ignored
    lime.get(spot.instance, &at, centre);
    EXPECT_EQ(at.x, 1.0);
    EXPECT_EQ(at.y, 0.0);
}

// The alpha byte goes through the operator as the key and comes back.
TEST(PluginFrames, AlphaComesBackThroughDye) {
    if (!fxtest::isBuiltOperator("Dye")) GTEST_SKIP();
    Plugin p(Plugin::path("dye"));
    Session run(p, 24, 16);
    const std::vector<uint32_t> out = run.frame(1.0);
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i] >> 24, run.frames[0][i] >> 24) << i;
    EXPECT_NE(out, run.frames[0]);
}

// Frames of a sequence, in order, from a fresh instance.
std::vector<std::vector<uint32_t>> sequence(Plugin& p, const std::vector<int>& frames, uint32_t seed,
                                            const std::function<void(Session&)>& settings) {
    Session run(p, 32, 16, seed);
    settings(run);
    std::vector<std::vector<uint32_t>> out;
    for (int f : frames) out.push_back(run.frame(f / 25.0));
    return out;
}

// Two instances in turns keep their own settings (and Patina its own run).
TEST(PluginInstances, InTurnsEqualEachAlone) {
    for (const char* op : {"blur", "patina", "rotate"}) {
        if (!fxtest::isBuiltOperator(operatorName(op))) continue;
        Plugin p(Plugin::path(op));
        auto first = [&](Session& r) { r.setDouble("length", 0.4); r.setString("fieldOrder", "tff"); };
        auto second = [&](Session& r) { r.setDouble("length", 0.2); r.setDouble(op == std::string("patina") ? "tintAmount" : "turns" , 1.0); };
        const std::vector<int> frames = {0, 1, 2, 3, 4};
        const auto aloneA = sequence(p, frames, 3, first), aloneB = sequence(p, frames, 4, second);
        Session a(p, 32, 16, 3), b(p, 32, 16, 4);
        first(a);
        second(b);
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(a.frame(frames[i] / 25.0), aloneA[i]) << op << " frame " << frames[i];
            EXPECT_EQ(b.frame(frames[i] / 25.0), aloneB[i]) << op << " frame " << frames[i];
        }
    }
}

// A seek, forwards or backwards, gives the frame a whole run gives. (Patina
// over a still: its frames are all alike, so the held film picture is too.)
TEST(PluginInstances, SeeksGiveTheFramesOfAWholeRun) {
    for (const char* op : {"patina", "underwater"}) {
        if (!fxtest::isBuiltOperator(operatorName(op))) continue;
        Plugin p(Plugin::path(op));
        auto settings = [](Session& r) { r.setDouble("length", 4.0); };
        std::vector<int> all(100);
        for (int f = 0; f < 100; ++f) all[size_t(f)] = f;
        const auto whole = sequence(p, all, 5, settings);
        const std::vector<int> jumps = {7, 6, 5, 11, 0, 3, 3, 10, 99, 60, 61, 98, 40};
        const auto jumped = sequence(p, jumps, 5, settings);
        for (size_t i = 0; i < jumps.size(); ++i) EXPECT_EQ(jumped[i], whole[size_t(jumps[i])]) << op << " " << jumps[i];
    }
}

// Instances on several threads at once give what one thread gives.
TEST(PluginInstances, ThreadsGiveWhatOneThreadGives) {
    if (!fxtest::isBuiltOperator("Glow") || !fxtest::isBuiltOperator("Patina")) GTEST_SKIP();
    Plugin glow(Plugin::path("glow")), patina(Plugin::path("patina"));
    const std::vector<int> frames = {0, 1, 2, 3, 4, 5};
    auto settings = [](int k) { return [k](Session& r) { r.setDouble("length", 0.1 * (k + 1)); }; };
    std::vector<std::vector<std::vector<uint32_t>>> expected, got(4);
    for (int k = 0; k < 4; ++k) expected.push_back(sequence(k % 2 ? patina : glow, frames, 7 + k, settings(k)));
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] { got[size_t(k)] = sequence(k % 2 ? patina : glow, frames, 7 + k, settings(k)); });
    }
    for (std::thread& t : threads) t.join();
    for (int k = 0; k < 4; ++k) EXPECT_EQ(got[size_t(k)], expected[size_t(k)]) << "thread " << k;
}

// Host threads set every kind of parameter (sliders, choices, length,
// frame rate, field order) while other threads render, on several
// instances of several plug-ins, Patina's private libraries among them.
// Afterwards each instance, given one set of values, renders what a fresh
// instance with those values renders.
TEST(PluginInstances, ParametersSetWhileOtherThreadsRender) {
    std::vector<std::unique_ptr<Plugin>> plugins;
    for (const char* op : {"patina", "blur", "rotate"}) {
        if (fxtest::isBuiltOperator(operatorName(op))) plugins.push_back(std::make_unique<Plugin>(Plugin::path(op)));
    }
    if (plugins.empty()) GTEST_SKIP();
    std::vector<std::unique_ptr<Session>> sessions;
    for (auto& p : plugins) {
        for (uint32_t seed : {1u, 2u}) sessions.push_back(std::make_unique<Session>(*p, 32, 16, seed));
    }
    // Every parameter of a session, set to a value that depends on `k`.
    auto setAll = [](Session& s, int k) {
        f0r_plugin_info_t info{};
        s.plugin.info(&info);
        for (int i = 0; i < info.num_params; ++i) {
            f0r_param_info_t param{};
            s.plugin.paramInfo(&param, i);
            const std::string name = param.name;
            if (name == "length") s.setDouble("length", 0.2 + 0.04 * (k % 5));
            else if (name == "frameRate") s.setDouble("frameRate", k % 2 ? 25 : 30);
            else if (name == "fieldOrder") s.setString("fieldOrder", k % 3 == 0 ? "tff" : k % 3 == 1 ? "bff" : "progressive");
            else if (param.type == F0R_PARAM_DOUBLE) s.setDouble(param.name, (k % 7) / 6.0);
            else if (param.type == F0R_PARAM_STRING) s.setString(param.name, k % 2 ? "1" : "0");
        }
    };
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < sessions.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int f = 0; f < 40; ++f) EXPECT_EQ(sessions[i]->frame(f / 25.0).size(), 32u * 16u);
        });
        threads.emplace_back([&, i] {
            for (int k = 0; !done; ++k) {
                setAll(*sessions[(i + size_t(k)) % sessions.size()], k);
                (void)sessions[i]->getDouble("length");
            }
        });
    }
    for (size_t i = 0; i < threads.size(); i += 2) threads[i].join();
    done = true;
    for (size_t i = 1; i < threads.size(); i += 2) threads[i].join();
    for (size_t i = 0; i < sessions.size(); ++i) {
        Session fresh(sessions[i]->plugin, 32, 16, i % 2 + 1);
        setAll(fresh, 4);
        setAll(*sessions[i], 4);
        for (int f : {0, 1, 2}) EXPECT_EQ(sessions[i]->frame(f / 25.0), fresh.frame(f / 25.0)) << i << " frame " << f;
    }
}

// Patina's private library copy lives in memory: instances are made and
// render wherever TMPDIR points (nowhere, at a file, at a folder that
// cannot be written or, where it can be mounted, one that allows no
// programs).
TEST(PluginInstances, PatinaNeedsNoTemporaryFolder) {
    if (!fxtest::isBuiltOperator("Patina")) GTEST_SKIP();
    const fs::path dir = fs::temp_directory_path() / ("fieldfx-frei0r-tmp-" + std::to_string(getpid()));
    fs::create_directories(dir / "readonly");
    fs::create_directories(dir / "noexec");
    fs::permissions(dir / "readonly", fs::perms::owner_read | fs::perms::owner_exec);
    { std::ofstream(dir / "file") << "x"; }
    std::vector<std::string> places = {(dir / "missing").string(), (dir / "file").string(), (dir / "readonly").string()};
    const std::string mount = "mount -t tmpfs -o noexec,size=1m tmpfs " + (dir / "noexec").string() + " 2>/dev/null";
    const bool mounted = std::system(mount.c_str()) == 0;
    if (mounted) places.push_back((dir / "noexec").string());
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before != nullptr ? before : "";
    Plugin p(Plugin::path("patina"));
    std::vector<std::vector<uint32_t>> frames;
    for (const std::string& place : places) {
        setenv("TMPDIR", place.c_str(), 1);
        Session a(p, 32, 16, 3), b(p, 32, 16, 3);
        ASSERT_NE(a.instance, nullptr) << place;
        ASSERT_NE(b.instance, nullptr) << place;
        frames.push_back(a.frame(0.04));
        EXPECT_EQ(b.frame(0.04), frames.back()) << place;
        EXPECT_NE(frames.back(), a.frames[0]) << place;
    }
    if (before != nullptr) setenv("TMPDIR", saved.c_str(), 1);
    else unsetenv("TMPDIR");
    if (mounted) {
        EXPECT_EQ(std::system(("umount " + (dir / "noexec").string()).c_str()), 0);
    }
    fs::permissions(dir / "readonly", fs::perms::owner_all);
    fs::remove_all(dir);
    for (const auto& f : frames) EXPECT_EQ(f, frames[0]);
}

// A plug-in without its operator library describes the problem and makes
// no instance.
TEST(PluginLoading, AMissingOperatorMakesNoInstance) {
    if (!fxtest::isBuiltOperator("Dye")) GTEST_SKIP();
    const fs::path dir = fs::temp_directory_path() / ("fieldfx-frei0r-test-" + std::to_string(getpid()));
    fs::create_directories(dir / "frei0r-1");
    fs::copy_file(Plugin::path("dye"), dir / "frei0r-1" / "fieldfx_dye.so", fs::copy_options::overwrite_existing);
    {
        Plugin p((dir / "frei0r-1" / "fieldfx_dye.so").string());
        EXPECT_EQ(p.init(), 0);
        f0r_plugin_info_t info{};
        p.info(&info);
        EXPECT_EQ(info.num_params, 0);
        EXPECT_NE(std::string(info.explanation).find("cannot find libDye.so"), std::string::npos) << info.explanation;
        EXPECT_EQ(p.construct(24, 16), nullptr);
    }
    fs::remove_all(dir);
}

}  // namespace
