// Only operators are loaded: a library's exports are read from its file
// (ELF of 32 or 64 bits, either byte order, malformed ones refused) before
// it is loaded, so no other library's constructors ever run, whether it
// lies in the search path, is named on the command line or sits in the
// lib/ folder an installed fieldfx lives beside.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CliFixture.h"
#include "ElfExports.h"
#include "FfmpegFixture.h"
#include "LoadedOperator.h"
#include "Operator.h"

using namespace fxtest;

namespace {

const std::vector<std::string> kEntryPoints = {"GetOperatorInfo", "OperatorAction"};
const std::string kTraps = FIELDFX_TEST_TRAPS_DIR;

std::vector<bool> exportsOf(const std::string& bytes, std::string* problem = nullptr) {
    std::vector<bool> exported;
    const std::string why =
        fieldfx::readElfExports(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), kEntryPoints, exported);
    if (problem != nullptr) *problem = why;
    return exported;
}

// ---------------------------------------------------------------------------
// A minimal shared library image: one loadable segment holding the whole
// file at address 0, the dynamic segment, a classic hash table, the
// symbols and their names.

struct Symbol {
    std::string name;
    uint8_t info = 0x12;  // global function
    uint8_t other = 0;    // default visibility
    uint16_t section = 7;
};

class Image {
public:
    Image(bool wide, bool big) : wide_(wide), big_(big) {}
    std::string build(const std::vector<Symbol>& symbols) {
        const size_t header = wide_ ? 64 : 52, phEntry = wide_ ? 56 : 32, dynEntry = wide_ ? 16 : 8;
        const size_t symEntry = wide_ ? 24 : 16, n = symbols.size() + 1;
        const size_t dyn = header + 2 * phEntry, hash = dyn + 6 * dynEntry, syms = hash + 8 + 4 * (1 + n);
        const size_t strs = syms + n * symEntry;
        std::string names(1, '\0');
        std::vector<size_t> nameAt;
        for (const Symbol& s : symbols) {
            nameAt.push_back(names.size());
            names += s.name + '\0';
        }
        bytes_.assign(strs + names.size(), '\0');
        bytes_.replace(strs, names.size(), names);
        bytes_.replace(0, 4, "\x7f" "ELF");
        bytes_[4] = wide_ ? 2 : 1;
        bytes_[5] = big_ ? 2 : 1;
        bytes_[6] = 1;
        put(16, 3, 2);  // a shared object
        put(wide_ ? 32 : 28, header, wide_ ? 8 : 4);
        put(wide_ ? 54 : 42, phEntry, 2);
        put(wide_ ? 56 : 44, 2, 2);
        const uint32_t types[2] = {1, 2};
        const size_t offsets[2] = {0, dyn}, sizes[2] = {bytes_.size(), 6 * dynEntry};
        for (int i = 0; i < 2; ++i) {
            const size_t at = header + size_t(i) * phEntry;
            put(at, types[i], 4);
            put(at + (wide_ ? 8 : 4), offsets[i], wide_ ? 8 : 4);                 // offset
            put(at + (wide_ ? 16 : 8), offsets[i], wide_ ? 8 : 4);                // address
            put(at + (wide_ ? 32 : 16), sizes[i], wide_ ? 8 : 4);                 // bytes in the file
        }
        const uint64_t entries[6][2] = {{4, hash}, {5, strs}, {6, syms}, {10, names.size()}, {11, symEntry}, {0, 0}};
        for (int i = 0; i < 6; ++i) {
            put(dyn + size_t(i) * dynEntry, entries[i][0], wide_ ? 8 : 4);
            put(dyn + size_t(i) * dynEntry + dynEntry / 2, entries[i][1], wide_ ? 8 : 4);
        }
        put(hash, 1, 4);
        put(hash + 4, n, 4);
        for (size_t i = 1; i < n; ++i) {
            const Symbol& s = symbols[i - 1];
            const size_t at = syms + i * symEntry;
            put(at, nameAt[i - 1], 4);
            bytes_[at + (wide_ ? 4 : 12)] = char(s.info);
            bytes_[at + (wide_ ? 5 : 13)] = char(s.other);
            put(at + (wide_ ? 6 : 14), s.section, 2);
        }
        return bytes_;
    }

private:
    void put(size_t at, uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) bytes_[at + size_t(big_ ? bytes - 1 - i : i)] = char(value >> (8 * i));
    }
    bool wide_, big_;
    std::string bytes_;
};

TEST(ElfExports, BothClassesAndByteOrders) {
    struct Case {
        const char* what;
        Symbol info, action;
        std::vector<bool> expected;
    };
    const Case cases[] = {
        {"both exported", {"GetOperatorInfo"}, {"OperatorAction"}, {true, true}},
        {"weak", {"GetOperatorInfo", 0x22}, {"OperatorAction", 0x22}, {true, true}},
        {"protected", {"GetOperatorInfo", 0x12, 3}, {"OperatorAction"}, {true, true}},
        {"hidden", {"GetOperatorInfo", 0x12, 2}, {"OperatorAction"}, {false, true}},
        {"undefined", {"GetOperatorInfo"}, {"OperatorAction", 0x12, 0, 0}, {true, false}},
        {"data", {"GetOperatorInfo", 0x11}, {"OperatorAction", 0x11}, {false, false}},
        {"local", {"GetOperatorInfo", 0x02}, {"OperatorAction"}, {false, true}},
        {"other names", {"GetOperatorInfoX"}, {"OperatorActio"}, {false, false}},
    };
    for (bool wide : {false, true}) {
        for (bool big : {false, true}) {
            for (const Case& c : cases) {
                const std::string image = Image(wide, big).build({{"helper"}, c.info, c.action});
                std::string problem;
                EXPECT_EQ(exportsOf(image, &problem), c.expected) << c.what << (wide ? " 64" : " 32") << (big ? " BE" : " LE");
                EXPECT_EQ(problem, "");
                // Cut anywhere (but for the last name's end), it is refused or
                // read as far as it goes, never past its end.
                for (size_t size = 0; size + 1 < image.size(); ++size) {
                    const std::vector<bool> cut = exportsOf(image.substr(0, size), &problem);
                    EXPECT_TRUE(!problem.empty() || cut != (std::vector<bool>{true, true})) << size;
                }
            }
        }
    }
}

TEST(ElfExports, RealLibrariesAndDamagedCopies) {
    for (const std::string op : {"Blur", "Dye", "Patina", "Rotate"}) {
        if (!isBuiltOperator(op)) continue;
        std::vector<bool> exported;
        const std::string library = std::string(FIELDFX_LIB_DIR) + "/lib" + op + ".so";
        EXPECT_EQ(fieldfx::readElfExports(library, {"GetOperatorInfo", "OperatorAction", "OperatorReplay"}, exported), "");
        EXPECT_EQ(exported, (std::vector<bool>{true, true, op == "Patina"})) << op;
    }
    struct Case {
        std::string path, problem;
        std::vector<bool> exported;
    };
    Dl_info libc{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&std::strlen), &libc), 0);
    const Case cases[] = {
        {std::string(FIELDFX_LIB_DIR) + "/libhostcore.so", "", {false, false}},
        {libc.dli_fname, "", {false, false}},
        {kTraps + "/libTrapData.so", "", {false, false}},
        {FIELDFX_SOURCE_DIR "/README.md", "not an ELF file", {false, false}},
        {FIELDFX_LIB_DIR, "not a regular file", {false, false}},
        {"/nonexistent/libX.so", "No such file or directory", {false, false}},
    };
    for (const Case& c : cases) {
        std::vector<bool> exported;
        EXPECT_EQ(fieldfx::readElfExports(c.path, kEntryPoints, exported), c.problem) << c.path;
        EXPECT_EQ(exported, c.exported) << c.path;
    }
    if (!isBuiltOperator("Dye")) return;
    // Every byte of the headers and the dynamic section spoiled, and the
    // file cut at many lengths: refused or read, never a fault.
    const std::string dye = readFile(std::string(FIELDFX_LIB_DIR) + "/libDye.so");
    std::string problem;
    ASSERT_EQ(exportsOf(dye, &problem), (std::vector<bool>{true, true})) << problem;
    for (size_t at = 0; at < 4096 && at < dye.size(); ++at) {
        for (char value : {'\xff', '\x00', '\x80'}) {
            std::string spoiled = dye;
            spoiled[at] = value;
            (void)exportsOf(spoiled);
        }
    }
    for (size_t size = 0; size < dye.size(); size += dye.size() / 97 + 1) (void)exportsOf(dye.substr(0, size));
}

// ---------------------------------------------------------------------------
// The program never loads a library that is not an operator.

TEST(OnlyOperatorsAreLoaded, LibrariesWithConstructorsInThePathAreNeverLoaded) {
    TempDir dir;
    Clip clip;
    writeFile(dir / "in.y4m", clip.bytes());
    const std::string trapFile = dir / "sprung.txt";
    const std::string env = "FIELDFX_TRAP_FILE=" + quote(trapFile) + " ";
    struct Case {
        std::string args;
        int status;
        std::string message;
    };
    const std::string in = quote(dir / "in.y4m"), out = " -o " + quote(dir / "out.y4m");
    const Case cases[] = {
        {"list", 0, ""},
        {"info Trap", 1, "libTrap.so: not an operator library (no GetOperatorInfo)"},
        {"info TrapInfo", 1, "libTrapInfo.so: not an operator library (no OperatorAction)"},
        {"info TrapAction", 1, "libTrapAction.so: not an operator library (no GetOperatorInfo)"},
        {"info TrapData", 1, "libTrapData.so: not an operator library (no GetOperatorInfo)"},
        {"render Trap " + in + out, 1, "not an operator library"},
        {"render " + quote(kTraps + "/libTrapInfo.so") + " " + in + out, 1, "not an operator library"},
        {"demo --seconds 0.04 --quiet -o " + quote(dir / "demo"), 0, ""},
    };
    for (const std::string& where : {"--ops " + quote(kTraps), std::string("FIELDFX_OPS")}) {
        for (const Case& c : cases) {
            const bool option = where != "FIELDFX_OPS";
            const Outcome r = runFieldfx(c.args + (option ? " " + where : std::string()) + " >/dev/null", dir,
                                         env + (option ? "" : "FIELDFX_OPS=" + quote(kTraps) + " "));
            EXPECT_EQ(r.status, c.status) << c.args << " " << where << "\n" << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            EXPECT_FALSE(exists(trapFile)) << c.args << " " << where << " loaded " << readFile(trapFile);
        }
    }
}

// Libraries that export the entry points but turn out not to be operators
// (a tag list without an end, a descriptor in unmapped memory) are unloaded
// again; operators stay loaded.
TEST(OnlyOperatorsAreLoaded, RejectedLibrariesAreUnloaded) {
    const auto found = fieldfx::listOperators({kTestOps});
    auto loaded = [](const std::string& name) {
        void* handle = dlopen((kTestOps + "/lib" + name + ".so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) dlclose(handle);
        return handle != nullptr;
    };
    EXPECT_FALSE(loaded("Endless"));
    EXPECT_FALSE(loaded("Wild"));
    EXPECT_TRUE(loaded("Passthrough"));
    EXPECT_EQ(found.size(), 3u);  // Passthrough, Tally, Hoard
}

// The libraries whose constructors run are the same whether or not the
// search path holds a whole system library folder.
TEST(OnlyOperatorsAreLoaded, ASystemLibraryFolderInThePathLoadsNothing) {
    TempDir dir;
    Dl_info libc{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&std::strlen), &libc), 0);
    const std::string folder = std::string(libc.dli_fname).substr(0, std::string(libc.dli_fname).rfind('/'));
    auto initialised = [&](const std::string& env) {
        std::istringstream log(run(env + "LD_DEBUG=files " + kProgram + " list 2>&1 >/dev/null"));
        std::set<std::string> libraries;
        for (std::string line; std::getline(log, line);) {
            const size_t at = line.find("calling init: ");
            if (at != std::string::npos) libraries.insert(line.substr(at + 14));
        }
        return libraries;
    };
    const std::set<std::string> alone = initialised("");
    EXPECT_FALSE(alone.empty());
    EXPECT_EQ(initialised("FIELDFX_OPS=" + quote(folder) + " "), alone);
}

// An installed fieldfx looks for operators in <prefix>/lib/fieldfx only,
// not in the rest of <prefix>/lib.
TEST(OnlyOperatorsAreLoaded, AnInstalledProgramSearchesItsOwnFolderOnly) {
    if (!isBuiltOperator("Dye")) GTEST_SKIP();
    TempDir dir;
    const std::string build = std::string(FIELDFX_BIN_DIR) + "/..";
    ASSERT_EQ(std::system(("cmake --install " + quote(build) + " --prefix " + quote(dir / "prefix") + " >/dev/null").c_str()), 0);
    ASSERT_EQ(std::system(("cp " + quote(kTraps + "/libTrap.so") + " " + quote(std::string(FIELDFX_LIB_DIR) + "/libDye.so") +
                           " " + quote(dir / "prefix/lib")).c_str()), 0);
    ASSERT_EQ(std::rename((dir / "prefix/lib/libDye.so").c_str(), (dir / "prefix/lib/libStray.so").c_str()), 0);
    const std::string listed = run("cd / && env -u FIELDFX_OPS FIELDFX_TRAP_FILE=" + quote(dir / "sprung.txt") + " " +
                                   quote(dir / "prefix/bin/fieldfx") + " list 2>&1");
    EXPECT_NE(listed.find("Dye "), std::string::npos) << listed;
    EXPECT_EQ(listed.find("Stray"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("Trap"), std::string::npos) << listed;
    EXPECT_FALSE(exists(dir / "sprung.txt"));
}

}  // namespace
