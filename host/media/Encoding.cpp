#include "Encoding.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "Error.h"
#include "Ffmpeg.h"
#include "Text.h"

namespace fieldfx {

namespace {

// ---------------------------------------------------------------------------
// Codecs and the encoders that write them

struct CodecEncoder {
    const char* codec;    // ffprobe's codec_name
    const char* encoder;  // the ffmpeg encoder that writes it
};

// The encoder a codec is written with: the first of its entries here.
// Later entries name other encoders of the same codec, so that --codec
// takes encoder names too.
const CodecEncoder kEncoders[] = {
    {"h264", "libx264"},        {"hevc", "libx265"},         {"prores", "prores_ks"},   {"dnxhd", "dnxhd"},
    {"mpeg2video", "mpeg2video"}, {"mpeg1video", "mpeg1video"}, {"mpeg4", "mpeg4"},     {"ffv1", "ffv1"},
    {"vp8", "libvpx"},          {"vp9", "libvpx-vp9"},       {"av1", "libaom-av1"},     {"qtrle", "qtrle"},
    {"png", "png"},             {"mjpeg", "mjpeg"},          {"huffyuv", "huffyuv"},    {"ffvhuff", "ffvhuff"},
    {"utvideo", "utvideo"},     {"v210", "v210"},
    {"h264", "libx264rgb"},     {"prores", "prores_aw"},     {"prores", "prores"},      {"av1", "libsvtav1"},
    {"av1", "librav1e"},        {"mpeg4", "libxvid"},
    // audio
    {"aac", "aac"},             {"mp3", "libmp3lame"},       {"ac3", "ac3"},            {"eac3", "eac3"},
    {"opus", "libopus"},        {"vorbis", "libvorbis"},     {"flac", "flac"},          {"alac", "alac"},
    {"mp2", "mp2"},             {"opus", "opus"},            {"vorbis", "vorbis"},      {"mp2", "mp2fixed"},
    {"mp2", "libtwolame"},      {"mp3", "libshine"},         {"ac3", "ac3_fixed"},
};

// Encoders that keep every sample: --quality has nothing to choose.
const std::set<std::string> kLosslessEncoders = {"ffv1", "png", "qtrle", "huffyuv", "ffvhuff", "utvideo", "v210",
                                                 "flac", "alac"};

bool isPcm(const std::string& codec) { return codec.rfind("pcm_", 0) == 0; }

// The encoder of a codec name, or the name itself when it names an encoder.
std::string encoderFor(const std::string& name) {
    if (isPcm(name)) return name;
    for (const CodecEncoder& e : kEncoders) {
        if (name == e.codec) return e.encoder;
    }
    return name;
}

// The codec an encoder writes; empty when this table does not know it.
std::string codecOf(const std::string& encoder) {
    if (isPcm(encoder)) return encoder;
    for (const CodecEncoder& e : kEncoders) {
        if (encoder == e.encoder) return e.codec;
    }
    return "";
}

// What `ffmpeg -h encoder=NAME` says: whether ffmpeg has the encoder, and
// the pixel formats it takes (empty for audio, or when it lists none).
struct EncoderInfo {
    bool exists = false;
    bool audio = false;  // it lists sample formats: an audio encoder
    std::vector<std::string> pixFmts;
};

const EncoderInfo& encoderInfo(const std::string& encoder) {
    static std::map<std::string, EncoderInfo> known;
    if (const auto it = known.find(encoder); it != known.end()) return it->second;
    EncoderInfo info;
    try {
        ChildProcess ffmpeg("ffmpeg", {"-hide_banner", "-h", "encoder=" + encoder}, ChildProcess::Pipe::FromChild,
                            encoder);
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, ffmpeg.stream()) != nullptr) {
            const std::string line = buffer;
            if (line.rfind("Encoder " + encoder + " ", 0) == 0) info.exists = true;
            if (line.rfind("    Supported sample formats:", 0) == 0) info.audio = true;
            const std::string lead = "    Supported pixel formats:";
            if (line.rfind(lead, 0) == 0) {
                size_t at = lead.size();
                while (at < line.size()) {
                    const size_t start = line.find_first_not_of(" \n", at);
                    if (start == std::string::npos) break;
                    const size_t end = std::min(line.find_first_of(" \n", start), line.size());
                    info.pixFmts.push_back(line.substr(start, end - start));
                    at = end;
                }
            }
        }
        ffmpeg.finish();
    } catch (const UserError&) {
        // No ffmpeg: nothing is known; the output's own check says so.
    }
    return known[encoder] = info;
}

// ---------------------------------------------------------------------------
// Containers

struct Container {
    std::vector<std::string> extensions;
    std::set<std::string> video;  // codecs it takes; empty: any
    std::string videoEncoder;     // ffmpeg's usual one for it
    std::set<std::string> audio;  // codecs it takes besides PCM; empty: any
    bool pcm;                     // it takes PCM audio
    std::string audioEncoder;     // ffmpeg's usual one for it
    std::string chunkAudio;       // a lossless audio encoder it takes, or empty
    bool fieldOrder;              // it can flag the field order of interlaced video
};

const std::vector<Container>& containers() {
    static const std::vector<Container> list = {
        {{".mp4", ".m4v"}, {"h264", "hevc", "mpeg4", "mpeg2video", "mpeg1video", "av1", "vp9", "mjpeg", "png"},
         "libx264", {"aac", "mp3", "ac3", "eac3", "alac", "opus", "mp2"}, false, "aac", "alac", true},
        {{".mov", ".qt"},
         {"h264", "hevc", "prores", "dnxhd", "mpeg2video", "mpeg1video", "mpeg4", "qtrle", "png", "ffv1", "mjpeg",
          "v210", "utvideo"},
         "libx264", {"aac", "alac", "mp3", "ac3", "eac3"}, true, "aac", "pcm_f32le", true},
        {{".mkv", ".mka"}, {}, "libx264", {}, true, "libvorbis", "pcm_f32le", true},
        {{".webm"}, {"vp8", "vp9", "av1"}, "libvpx-vp9", {"opus", "vorbis"}, false, "libopus", "", false},
        {{".avi"},
         {"mpeg4", "h264", "mjpeg", "ffv1", "huffyuv", "ffvhuff", "utvideo", "mpeg2video", "mpeg1video", "png"},
         "mpeg4", {"mp3", "ac3", "mp2"}, true, "libmp3lame", "pcm_f32le", false},
        {{".mpg", ".mpeg", ".vob"}, {"mpeg1video", "mpeg2video"}, "mpeg1video", {"mp2", "mp3", "ac3"}, false, "mp2", "",
         true},
        {{".ts", ".m2ts", ".mts"}, {"mpeg2video", "mpeg1video", "h264", "hevc"}, "mpeg2video",
         {"mp2", "aac", "ac3", "eac3", "mp3", "opus"}, false, "mp2", "", true},
        {{".mxf"}, {"mpeg2video", "dnxhd", "h264", "prores"}, "mpeg2video", {}, true, "pcm_s16le", "", true},
    };
    return list;
}

const Container* containerOf(const std::string& output) {
    for (const Container& c : containers()) {
        for (const std::string& ext : c.extensions) {
            if (endsWithNoCase(output, ext)) return &c;
        }
    }
    return nullptr;
}

std::string extensionOf(const std::string& output) {
    const size_t dot = output.rfind('.');
    return dot == std::string::npos ? output : lowerCase(output.substr(dot));
}

bool takesVideo(const Container& c, const std::string& codec) { return c.video.empty() || c.video.count(codec) != 0; }
bool takesAudio(const Container& c, const std::string& codec) {
    if (isPcm(codec)) return c.pcm;
    return c.audio.empty() || c.audio.count(codec) != 0;
}

// PCM at the input's depth, in the little-endian form every container with
// PCM takes (.mxf only 16 and 24 bits).
std::string pcmFor(const std::string& codec, const Container& c) {
    const bool floating = codec.find("pcm_f") == 0;
    int bits = 16;
    for (int b : {64, 32, 24}) {
        if (codec.find(std::to_string(b)) != std::string::npos) bits = b;
    }
    if (c.extensions[0] == ".mxf") return bits > 16 || floating ? "pcm_s24le" : "pcm_s16le";
    if (floating) return bits == 64 ? "pcm_f64le" : "pcm_f32le";
    return "pcm_s" + std::to_string(bits == 64 ? 32 : bits) + "le";
}

// ---------------------------------------------------------------------------
// Quality

struct QualityForm {
    const char* encoder;
    const char* levels[3];  // low, medium, high
    const char* lossless;   // nullptr: it has none
};

// Each encoder's own scale: x264 and x265 a constant rate factor (lower is
// better), libvpx-vp9 and libaom-av1 one with no rate cap, the MPEG and
// ProRes encoders a fixed quantiser (lower is better).
const QualityForm kQuality[] = {
    {"libx264", {"-crf 28", "-crf 23", "-crf 18"}, "-qp 0"},
    {"libx265", {"-crf 32", "-crf 28", "-crf 20"}, "-x265-params lossless=1"},
    {"libvpx-vp9", {"-crf 40 -b:v 0", "-crf 32 -b:v 0", "-crf 24 -b:v 0"}, "-lossless 1"},
    {"libaom-av1", {"-crf 40 -b:v 0", "-crf 32 -b:v 0", "-crf 24 -b:v 0"}, nullptr},
    {"mpeg2video", {"-q:v 8", "-q:v 4", "-q:v 2"}, nullptr},
    {"mpeg1video", {"-q:v 8", "-q:v 4", "-q:v 2"}, nullptr},
    {"mpeg4", {"-q:v 8", "-q:v 4", "-q:v 2"}, nullptr},
    {"mjpeg", {"-q:v 8", "-q:v 4", "-q:v 2"}, nullptr},
    {"prores_ks", {"-q:v 14", "-q:v 8", "-q:v 3"}, nullptr},
};

std::vector<std::string> qualityArguments(const std::string& encoder, const std::string& quality) {
    if (quality.empty()) return {};
    const auto& levels = qualityLevels();
    const auto level = std::find(levels.begin(), levels.end(), quality);
    if (level == levels.end()) {
        throw UserError("--quality", "'" + quality + "' is not one of low, medium, high, lossless");
    }
    if (kLosslessEncoders.count(encoder) != 0) {
        if (quality == "lossless") return {};
        throw UserError("--quality", encoder + " is lossless; only --quality lossless fits it");
    }
    for (const QualityForm& form : kQuality) {
        if (encoder != form.encoder) continue;
        const size_t index = size_t(level - levels.begin());
        const char* text = index < 3 ? form.levels[index] : form.lossless;
        if (text == nullptr) throw UserError("--quality", encoder + " has no lossless form (ffv1 is a lossless codec)");
        return splitArguments(text, "--quality");
    }
    if (encoder == "dnxhd") {
        throw UserError("--quality", "dnxhd's rate is set by its profile (--encoder-args \"-profile:v dnxhr_sq\", "
                                     "dnxhr_hq, dnxhr_hqx or dnxhr_444)");
    }
    throw UserError("--quality", encoder + " has no --quality levels; give its own options with --encoder-args");
}

// ---------------------------------------------------------------------------
// Pixel formats

std::string chromaPrefix(Chroma chroma) {
    switch (chroma) {
    case Chroma::C444alpha: return "yuva444p";
    case Chroma::C444: return "yuv444p";
    case Chroma::C422: return "yuv422p";
    default: return "yuv420p";
    }
}

std::string pixFmtName(Chroma chroma, int bits) {
    return chromaPrefix(chroma) + (bits > 8 ? std::to_string(bits) + "le" : "");
}

bool listed(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

// The depth nearest `bits` at which the encoder takes `chroma`: the deepest
// not above it, else the shallowest above it; 0 when it takes none.
int depthFor(const std::vector<std::string>& pixFmts, Chroma chroma, int bits) {
    int below = 0, above = 0;
    for (int b : {8, 9, 10, 12, 14, 16}) {
        if (!listed(pixFmts, pixFmtName(chroma, b))) continue;
        if (b <= bits) below = b;
        else if (above == 0) above = b;
    }
    return below != 0 ? below : above;
}

const char* chromaText(Chroma chroma) {
    switch (chroma) {
    case Chroma::C444alpha: return "4:4:4 with alpha";
    case Chroma::C444: return "4:4:4";
    case Chroma::C422: return "4:2:2";
    default: return "4:2:0";
    }
}

// Encoders that take 8-bit 4:2:0 in every build of ffmpeg.
const std::set<std::string> kTake420 = {"libx264", "libx265", "mpeg4", "mpeg1video", "mpeg2video", "libvpx",
                                        "libvpx-vp9", "libaom-av1", "ffv1"};

const Chroma kChromas[] = {Chroma::C420mpeg2, Chroma::C422, Chroma::C444, Chroma::C444alpha};

bool is420(Chroma c) { return c == Chroma::C420jpeg || c == Chroma::C420mpeg2 || c == Chroma::C420paldv; }

// The H.264 profile of ffprobe's name, for x264; empty for an unknown one.
std::string x264Profile(const std::string& profile) {
    const std::string p = lowerCase(profile);
    if (p == "baseline" || p == "constrained baseline") return "baseline";
    if (p == "main") return "main";
    if (p == "high") return "high";
    if (p == "high 10") return "high10";
    if (p == "high 4:2:2") return "high422";
    if (p.rfind("high 4:4:4", 0) == 0) return "high444";
    return "";
}

// Whether x264 can write `pixFmt` in `profile`.
bool x264ProfileFits(const std::string& profile, Chroma chroma, int bits) {
    if (profile == "high444") return true;
    if (profile == "high422") return (is420(chroma) || chroma == Chroma::C422) && bits <= 10;
    if (profile == "high10") return is420(chroma) && bits <= 10;
    return is420(chroma) && bits == 8;
}

// The profile that keeps the input's where the output's pictures fit it:
// ProRes and DNxHR by name, H.264 where x264 can write the pictures in it.
// With no profile from the input, DNxHD needs one: the usual DNxHR for the
// pictures.
std::vector<std::string> profileArguments(const std::string& encoder, const std::string& inputProfile, Chroma chroma,
                                          int depth) {
    const std::string p = lowerCase(inputProfile);
    const bool full = chroma == Chroma::C444 || chroma == Chroma::C444alpha;
    if (encoder == "prores_ks" && !p.empty()) {
        if (full) return {"-profile:v", p == "xq" ? "4444xq" : "4444"};
        for (const char* name : {"proxy", "lt", "standard", "hq"}) {
            if (p == name) return {"-profile:v", name};
        }
        return {"-profile:v", "hq"};
    }
    if (encoder == "dnxhd") {
        std::string name = p;
        std::replace(name.begin(), name.end(), ' ', '_');
        const bool fits = name == "dnxhr_444"                                     ? full && depth == 10
                          : name == "dnxhr_hqx"                                   ? chroma == Chroma::C422 && depth == 10
                          : name == "dnxhr_lb" || name == "dnxhr_sq" || name == "dnxhr_hq" ? chroma == Chroma::C422 && depth == 8
                          : name == "dnxhd"                                       ? chroma == Chroma::C422
                                                                                  : false;
        if (!fits) name = full ? "dnxhr_444" : depth > 8 ? "dnxhr_hqx" : "dnxhr_hq";
        return {"-profile:v", name};
    }
    if (encoder == "libx264") {
        const std::string name = x264Profile(p);
        if (!name.empty() && x264ProfileFits(name, chroma, depth)) return {"-profile:v", name};
    }
    return {};
}

}  // namespace

const std::vector<std::string>& qualityLevels() {
    static const std::vector<std::string> levels = {"low", "medium", "high", "lossless"};
    return levels;
}

std::vector<std::string> splitArguments(const std::string& text, const std::string& option) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const size_t close = text.find('\'', i + 1);
            if (close == std::string::npos) throw UserError(option, "a ' is not closed in '" + text + "'");
            word += text.substr(i + 1, close - i - 1);
            i = close;
        } else if (c == '"') {
            size_t j = i + 1;
            for (; j < text.size() && text[j] != '"'; ++j) {
                if (text[j] == '\\' && j + 1 < text.size() && std::strchr("\"\\$`", text[j + 1]) != nullptr) ++j;
                word += text[j];
            }
            if (j >= text.size()) throw UserError(option, "a \" is not closed in '" + text + "'");
            i = j;
        } else if (c == '\\') {
            if (i + 1 >= text.size()) throw UserError(option, "a \\ ends '" + text + "'");
            word += text[++i];
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

EncodingPlan planEncoding(const std::string& output, const EncodingSource& source, const EncodingRequest& request) {
    EncodingPlan plan;
    plan.userArgs = splitArguments(request.encoderArgs, "--encoder-args");
    for (const std::string& word : plan.userArgs) {
        if (word == "-i" || word == "-filter_complex" || word == "-map" || word == "-f") {
            throw UserError("--encoder-args", word + " is fieldfx's own to set; give options of the output's "
                                                     "encoding only");
        }
    }
    const Container* container = containerOf(output);

    // The video encoder: the one asked for, else the input's codec where
    // the container takes it, else the container's usual one.
    if (!request.codec.empty()) {
        plan.videoEncoder = encoderFor(request.codec);
        const std::string codec = codecOf(plan.videoEncoder);
        if (!encoderInfo(plan.videoEncoder).exists || encoderInfo(plan.videoEncoder).audio) {
            throw UserError("--codec", "'" + request.codec + "' is not a video encoder of this ffmpeg (ffmpeg -encoders "
                                                             "lists them)");
        }
        if (container != nullptr && !codec.empty() && !takesVideo(*container, codec)) {
            throw UserError("--codec", codec + " cannot go into " + extensionOf(output) + " files");
        }
    } else if (container != nullptr) {
        const std::string encoder = encoderFor(source.codec);
        if (!source.codec.empty() && !codecOf(encoder).empty() && takesVideo(*container, source.codec) &&
            (encoder == container->videoEncoder || encoderInfo(encoder).exists)) {
            plan.videoEncoder = encoder;
            plan.inputProfile = source.profile;
        } else {
            plan.videoEncoder = container->videoEncoder;
        }
    }
    if (!plan.videoEncoder.empty()) plan.videoArgs = {"-c:v", plan.videoEncoder};
    if (!request.quality.empty()) {
        if (plan.videoEncoder.empty()) {
            throw UserError("--quality", "the encoder of " + extensionOf(output) +
                                             " files is ffmpeg's choice; --codec names one");
        }
        const std::vector<std::string> q = qualityArguments(plan.videoEncoder, request.quality);
        plan.videoArgs.insert(plan.videoArgs.end(), q.begin(), q.end());
    }
    // DNxHD proper has fixed rates; its rate comes along with its profile.
    if (plan.videoEncoder == "dnxhd" && lowerCase(plan.inputProfile) == "dnxhd" &&
        source.bitRate > 0) {
        plan.videoArgs.insert(plan.videoArgs.end(), {"-b:v", std::to_string(source.bitRate)});
    }

    // The audio encoder, the same way.
    if (!request.audioCodec.empty()) {
        plan.audioEncoder = encoderFor(request.audioCodec);
        const std::string codec = codecOf(plan.audioEncoder);
        if (!encoderInfo(plan.audioEncoder).exists || !encoderInfo(plan.audioEncoder).audio) {
            throw UserError("--audio-codec", "'" + request.audioCodec +
                                                 "' is not an audio encoder of this ffmpeg (ffmpeg -encoders lists them)");
        }
        if (container != nullptr && !codec.empty() && !takesAudio(*container, codec)) {
            throw UserError("--audio-codec", codec + " cannot go into " + extensionOf(output) + " files");
        }
    } else if (container != nullptr) {
        const std::string codec = source.audioCodec;
        if (isPcm(codec) && container->pcm) {
            plan.audioEncoder = pcmFor(codec, *container);
        } else if (!codec.empty() && !codecOf(encoderFor(codec)).empty() && takesAudio(*container, codec) &&
                   encoderInfo(encoderFor(codec)).exists) {
            plan.audioEncoder = encoderFor(codec);
        } else {
            plan.audioEncoder = container->audioEncoder;
        }
    }
    if (!plan.audioEncoder.empty()) plan.audioArgs = {"-c:a", plan.audioEncoder};
    plan.chunkAudioArgs = plan.audioArgs;
    if (container != nullptr && !container->chunkAudio.empty() && !isPcm(plan.audioEncoder) &&
        kLosslessEncoders.count(plan.audioEncoder) == 0) {
        plan.chunkAudioArgs = {"-c:a", container->chunkAudio};
    }
    return plan;
}

void fitPictures(EncodingPlan& plan, const std::string& output, const EncodingRequest& request, bool sourceAlpha,
                 VideoFormat& format, int bits) {
    const Container* container = containerOf(output);
    if (format.interlace != Interlace::Progressive && container != nullptr && !container->fieldOrder) {
        plan.notes.push_back(extensionOf(output) + " files cannot flag the field order: the fields are written " +
                             (format.interlace == Interlace::TopFirst ? "top" : "bottom") +
                             " field first, but players will not be told (.mkv, .mov or .mp4 keep it)");
    }
    if (format.interlace != Interlace::Progressive && plan.videoEncoder == "mpeg1video" && request.codec.empty()) {
        // MPEG-1 has no fields: .mpg's interlaced video is MPEG-2.
        plan.videoEncoder = "mpeg2video";
        plan.videoArgs[1] = plan.videoEncoder;
    }
    const std::string& encoder = plan.videoEncoder;
    if (bits == 8 && is420(format.chroma) && kTake420.count(encoder) != 0) {
        // What every build of these encoders takes: no need to ask ffmpeg.
        plan.pixFmt = "yuv420p";
        const std::vector<std::string> profile = profileArguments(encoder, plan.inputProfile, format.chroma, 8);
        plan.videoArgs.insert(plan.videoArgs.end(), profile.begin(), profile.end());
        return;
    }
    const std::vector<std::string> pixFmts = encoder.empty() ? std::vector<std::string>{} : encoderInfo(encoder).pixFmts;
    const auto keepsAlpha = [&] {
        return pixFmts.empty() ||
               std::any_of(pixFmts.begin(), pixFmts.end(), [](const std::string& f) { return pixFmtHasAlpha(f); });
    };
    if (hasAlpha(format.chroma) && sourceAlpha && !keepsAlpha()) {
        plan.notes.push_back("alpha is dropped: " + encoder + " keeps none (ffv1, prores_ks, qtrle and png keep it)");
    }
    if (hasAlpha(format.chroma) && !sourceAlpha) format.chroma = Chroma::C444;  // an opaque picture stays so
    const bool h26x = encoder == "libx264" || encoder == "libx265";
    if (h26x && !request.pixFmtGiven && (format.chroma == Chroma::C444 || format.chroma == Chroma::C444alpha)) {
        // What H.264 and HEVC players expect; --pix-fmt yuv444p keeps 4:4:4.
        plan.notes.push_back(encoder + " writes 4:4:4 as 4:2:0, which players expect (--pix-fmt yuv444p keeps 4:4:4)");
        format.chroma = Chroma::C420mpeg2;
    }
    const bool yuvEncoder = std::any_of(std::begin(kChromas), std::end(kChromas),
                                        [&](Chroma c) { return depthFor(pixFmts, c, bits) != 0; });
    if (pixFmts.empty() || !yuvEncoder) {
        // An RGB encoder (png, qtrle), one whose formats this program does
        // not write (mjpeg's full-range yuvj) or one ffmpeg lists nothing
        // for: ffmpeg converts to the nearest it takes.
        if (bits > 8 && pixFmts.empty()) plan.pixFmt = pixFmtName(format.chroma, bits);
        return;
    }
    // Alpha only where the encoder keeps it; else the nearest chroma it takes.
    if (hasAlpha(format.chroma) && depthFor(pixFmts, Chroma::C444alpha, bits) == 0) {
        format.chroma = Chroma::C444;  // said above when the input had alpha
    }
    if (depthFor(pixFmts, format.chroma, bits) == 0) {
        // Chroma the encoder does not take: the nearest it does, keeping
        // every sample where it can.
        const Chroma asked = format.chroma;
        const std::vector<Chroma> nearest = asked == Chroma::C444   ? std::vector<Chroma>{Chroma::C422, Chroma::C420mpeg2}
                                            : asked == Chroma::C422 ? std::vector<Chroma>{Chroma::C444, Chroma::C420mpeg2}
                                                                    : std::vector<Chroma>{Chroma::C422, Chroma::C444};
        const auto chosen = std::find_if(nearest.begin(), nearest.end(),
                                         [&](Chroma c) { return depthFor(pixFmts, c, bits) != 0; });
        if (chosen == nearest.end()) throw UserError(output, encoder + " takes none of this program's pixel formats");
        const bool fewer = (asked == Chroma::C444 && *chosen != Chroma::C444) || (asked == Chroma::C422 && is420(*chosen));
        if (fewer) {
            plan.notes.push_back(encoder + " cannot take " + chromaText(asked) + "; writing " + chromaText(*chosen));
        }
        format.chroma = *chosen;
    }
    const int depth = depthFor(pixFmts, format.chroma, bits);
    if (depth < bits) {
        plan.notes.push_back(encoder + " keeps at most " + std::to_string(depth) + " bits of " + chromaText(format.chroma) +
                             "; the " + std::to_string(bits) + "-bit input is written at " + std::to_string(depth));
    }
    plan.pixFmt = pixFmtName(format.chroma, depth);
    if (is420(format.chroma) && depth == 8) plan.pixFmt = "yuv420p";
    if (const std::string problem = formatProblem(format); !problem.empty()) throw UserError(output, problem);
    const std::vector<std::string> profile = profileArguments(encoder, plan.inputProfile, format.chroma, depth);
    plan.videoArgs.insert(plan.videoArgs.end(), profile.begin(), profile.end());
}

std::vector<std::string> encodingArguments(const EncodingPlan& plan, bool hasAudio, bool chunk) {
    std::vector<std::string> args = plan.videoArgs;
    if (!plan.pixFmt.empty()) args.insert(args.end(), {"-pix_fmt", plan.pixFmt});
    if (hasAudio) {
        const std::vector<std::string>& audio = chunk ? plan.chunkAudioArgs : plan.audioArgs;
        args.insert(args.end(), audio.begin(), audio.end());
    }
    args.insert(args.end(), plan.userArgs.begin(), plan.userArgs.end());
    return args;
}

}  // namespace fieldfx
