// Fuzz target for output names and fieldfx join's arguments. The input is
// up to six texts separated by NUL bytes: an output name, then chunk names.
// - A numbered name the parser accepts must make the names printf makes
//   from it (the parser lets nothing else through), and read them back.
// - The output name's checks, and each text as a chunk note, which must
//   read back exactly as written.
// - join, with the chunk names inside a scratch directory that holds a few
//   chunks of one run (YUV4MPEG2 and PNG, with their notes) and the output
//   in a directory of its own there, must end in a UserError or a joined
//   output, never a crash. Encoded outputs (ffmpeg) and standard output
//   are left out.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ChunkNote.h"
#include "Error.h"
#include "Join.h"
#include "OutputPath.h"
#include "Png.h"
#include "SequenceName.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void writeText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// The scratch directory and the chunk files in it, made once.
struct Scratch {
    std::string dir;
    Scratch() {
        char pattern[] = "/tmp/fieldfx-names-fuzz-XXXXXX";
        dir = mkdtemp(pattern);
        const std::string frame = "FRAME\n" + std::string(8 * 4 * 3 / 2, 'x');
        writeText(dir + "/c1.y4m", "YUV4MPEG2 W8 H4 F25:1 It A1:1 C420jpeg\n" + frame + frame);
        writeText(dir + "/c2.y4m", frame + frame);
        writeText(dir + "/c1.y4m.chunk", "fieldfx chunk 1/2: frames 0 to 1 of 4, run 0123456789abcdef\n");
        writeText(dir + "/c2.y4m.chunk", "fieldfx chunk 2/2: frames 2 to 3 of 4, run 0123456789abcdef\n");
        fieldfx::RgbaImage image;
        image.width = 2;
        image.height = 2;
        image.rgba.assign(16, 200);
        for (const char* name : {"p-00.png", "p-01.png", "q-02.png", "q-03.png"}) fieldfx::writePng(dir + "/" + name, image, true);
        writeText(dir + "/p-%02d.png.chunk", "fieldfx chunk 1/2: frames 0 to 1 of 4, run 0123456789abcdef\n");
        writeText(dir + "/q-%02d.png.chunk", "fieldfx chunk 2/2: frames 2 to 3 of 4, run 0123456789abcdef\n");
        mkdir((dir + "/out").c_str(), 0700);
    }
    ~Scratch() {
        reset();
        empty(dir + "/");
        rmdir(dir.c_str());
    }
    // Whatever a join wrote is removed, so that every input starts alike.
    void reset() const { empty(dir + "/out/"); }
    static void empty(const std::string& path) {
        if (DIR* d = opendir(path.c_str())) {
            while (const dirent* e = readdir(d)) std::remove((path + e->d_name).c_str());
            closedir(d);
        }
    }
};

void checkSequenceName(const std::string& text) {
    fieldfx::SequenceName name;
    if (!name.parse(text).empty()) return;
    for (int number : {0, 7, 4711, 2147483647}) {
        const std::string made = name.name(number);
        // The one place a user's text is a format: after the parser
        // accepted it, to show that printf would read it the same way.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
        std::vector<char> printed(made.size() + 2);
        const int length = std::snprintf(printed.data(), printed.size(), text.c_str(), number);
#pragma clang diagnostic pop
        check(length == int(made.size()) && made == printed.data());
        int64_t back = -1;
        check(name.numberOf(made, back) && back == number);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const Scratch scratch;
    std::vector<std::string> texts(1);
    for (size_t i = 0; i < size && texts.size() <= 6; ++i) {
        if (bytes[i] == 0) texts.emplace_back();
        else texts.back() += char(bytes[i]);
    }
    if (texts.size() > 6) texts.resize(6);
    for (const std::string& text : texts) {
        checkSequenceName(text);
        fieldfx::ChunkNote note;
        if (fieldfx::parseChunkNote(text, note)) check(fieldfx::formatChunkNote(note) == text);
    }
    const std::string& output = texts[0];
    try {
        fieldfx::checkOutputName(output);
        (void)fieldfx::sinkKindFor(output);
        (void)fieldfx::sinkHoldsAudio(output);
    } catch (const fieldfx::UserError&) {
    }
    // join, inside the scratch directory only.
    if (texts.size() < 2 || output == "-" || fieldfx::sinkKindFor(output) == fieldfx::SinkKind::Ffmpeg) return 0;
    std::vector<std::string> chunks;
    for (const std::string& text : texts) {
        if (text.empty() || text.find('/') != std::string::npos || text == "." || text == "..") return 0;
        chunks.push_back(scratch.dir + (chunks.empty() ? "/out/" : "/") + text);
    }
    const std::string target = chunks[0];
    chunks.erase(chunks.begin());
    try {
        fieldfx::joinChunks(target, chunks);
    } catch (const fieldfx::UserError&) {
    }
    scratch.reset();
    return 0;
}
