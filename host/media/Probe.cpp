#include "Probe.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include "Error.h"
#include "Ffmpeg.h"
#include "Stop.h"
#include "Text.h"

namespace fieldfx {

namespace {

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Runs ffprobe with `args` and the file, handing each line of its output to
// `line`. False when ffprobe could not run or read the file, or a stop
// signal came; `problem` then says why (empty for a stop signal).
bool runFfprobe(const std::string& path, std::vector<std::string> args,
                const std::function<void(const std::string&)>& line, std::string* problem = nullptr) {
    args.insert(args.begin(), {"-v", "error"});
    args.push_back(path);
    try {
        ChildProcess ffprobe("ffprobe", args, ChildProcess::Pipe::FromChild, path);
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, ffprobe.stream()) != nullptr) line(trimmed(buffer));
        if (g_abortRequested) {
            // ffprobe, in a process group of its own, did not get the signal
            // and may be waiting on its input still.
            ffprobe.stop();
            return false;
        }
        if (!ffprobe.finish()) {
            if (problem != nullptr) {
                // "in.mp4: Invalid data found when processing input": the
                // name is said once, by the caller.
                *problem = ffprobe.firstMessage(path + ": ", "");
                if (problem->empty()) *problem = ffprobe.failure();
            }
            return false;
        }
        return true;
    } catch (const UserError& e) {
        if (problem != nullptr) *problem = e.reason();
        return false;
    }
}

bool parseInteger(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0) return false;
    value = v;
    return true;
}

Rational parseRatio(const std::string& text) {
    Rational r;
    const size_t slash = text.find('/');
    if (slash == std::string::npos || !parseInteger(text.substr(0, slash), r.num) ||
        !parseInteger(text.substr(slash + 1), r.den)) {
        return Rational{0, 0};
    }
    return r;
}

// "12.345678" seconds as whole microseconds, as ffprobe prints them.
int64_t microseconds(const std::string& text) {
    const double seconds = std::atof(text.c_str());
    return std::isfinite(seconds) ? std::llround(seconds * 1e6) : 0;
}

using Section = std::map<std::string, std::string>;

// The video stream's entries into `probe`.
void takeVideo(MediaProbe& probe, Section& video, Section& format) {
    probe.known = true;
    probe.codec = video["codec_name"];
    probe.profile = video["profile"];
    probe.width = std::atoi(video["width"].c_str());
    probe.height = std::atoi(video["height"].c_str());
    probe.pixFmt = video["pix_fmt"];
    probe.fieldOrder = video["field_order"];
    probe.rate = video["r_frame_rate"];
    probe.timeBase = parseRatio(video["time_base"]);
    int64_t number = 0;
    if (parseInteger(video["bit_rate"], number) && number > 0) probe.bitRate = number;
    if (parseInteger(video["nb_frames"], number) && number > 0) probe.frames = number;
    // Frames from the stream's duration (else the container's) and rate.
    const std::string duration = video["duration"] != "N/A" && !video["duration"].empty() ? video["duration"]
                                                                                         : format["duration"];
    const Rational rate = parseRatio(video["avg_frame_rate"]);
    const double seconds = std::atof(duration.c_str());
    if (seconds > 0 && rate.known()) probe.estimate = std::llround(seconds * double(rate.num) / double(rate.den));
}

}  // namespace

MediaProbe probeMedia(const std::string& path) {
    MediaProbe probe;
    Section video, audio, section, format;
    const auto line = [&](const std::string& text) {
        if (text == "[STREAM]" || text == "[FORMAT]") {
            section.clear();
        } else if (text == "[/STREAM]") {
            if (section["codec_type"] == "audio" && audio.empty()) audio = section;
            if (section["codec_type"] == "video" && video.empty()) video = section;
        } else if (text == "[/FORMAT]") {
            format = section;
        } else if (const size_t eq = text.find('='); eq != std::string::npos) {
            // Tags keep the container's case: COMMENT in Matroska.
            const std::string key = text.substr(0, eq);
            section[key.rfind("TAG:", 0) == 0 ? lowerCase(key) : key] = text.substr(eq + 1);
        }
    };
    const bool read = runFfprobe(path,
                                 {"-show_entries",
                                  "stream=codec_type,codec_name,profile,width,height,pix_fmt,field_order,nb_frames,"
                                  "duration,avg_frame_rate,r_frame_rate,time_base,bit_rate,bits_per_raw_sample,"
                                  "sample_fmt:format=format_name,start_time,duration:format_tags=comment",
                                  "-of", "default=noprint_wrappers=0"},
                                 line, &probe.problem);
    if (g_abortRequested) return MediaProbe{};
    probe.ran = read || probe.problem.rfind("cannot start", 0) != 0;
    if (!read) return probe;
    probe.readable = true;
    probe.comment = format["tag:comment"];
    probe.container = format["format_name"];
    probe.startMicroseconds = microseconds(format["start_time"]);
    if (!audio.empty()) {
        probe.audio = true;
        probe.audioCodec = audio["codec_name"];
        probe.audioBits = std::atoi(audio["bits_per_raw_sample"].c_str());
    }
    if (!video.empty()) takeVideo(probe, video, format);
    return probe;
}

std::optional<std::vector<VideoPacket>> probeVideoPackets(const std::string& path, int64_t limit) {
    std::vector<VideoPacket> packets;
    std::vector<std::string> args = {"-select_streams", "v:0", "-show_entries", "packet=pts,dts,flags", "-of",
                                     "compact=p=0"};
    if (limit >= 0) args.insert(args.end(), {"-read_intervals", "%+#" + std::to_string(limit)});
    // "pts=0|dts=-1024|flags=K_"; side data, when any, on lines of its own.
    const auto line = [&](const std::string& text) {
        if (text.rfind("pts=", 0) != 0) return;
        VideoPacket packet;
        size_t at = 0;
        while (at < text.size()) {
            const size_t bar = std::min(text.find('|', at), text.size());
            const std::string field = text.substr(at, bar - at);
            at = bar + 1;
            const size_t eq = field.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = field.substr(0, eq), value = field.substr(eq + 1);
            if (key == "pts" && !parseInteger(value, packet.pts)) packet.pts = kNoTime;
            if (key == "dts" && !parseInteger(value, packet.dts)) packet.dts = kNoTime;
            if (key == "flags") {
                packet.key = value.find('K') != std::string::npos;
                packet.discard = value.find('D') != std::string::npos;
            }
        }
        packets.push_back(packet);
    };
    if (!runFfprobe(path, args, line)) return std::nullopt;
    return packets;
}

std::optional<int64_t> probeFirstDecodedTime(const std::string& path, int64_t packets) {
    std::optional<int64_t> first;
    const auto line = [&](const std::string& text) {
        int64_t time = 0;
        if (parseInteger(text.substr(0, text.find(',')), time) && (!first || time < *first)) first = time;
    };
    if (!runFfprobe(path,
                    {"-select_streams", "v:0", "-read_intervals", "%+#" + std::to_string(packets), "-show_entries",
                     "frame=best_effort_timestamp", "-of", "csv=p=0"},
                    line)) {
        return std::nullopt;
    }
    return first;
}

int64_t countVideoPackets(const std::string& path) {
    int64_t packets = -1;
    const auto line = [&](const std::string& text) {
        if (packets < 0 && !parseInteger(text, packets)) packets = -1;
    };
    if (!runFfprobe(path,
                    {"-select_streams", "v:0", "-count_packets", "-show_entries", "stream=nb_read_packets", "-of",
                     "default=noprint_wrappers=1:nokey=1"},
                    line)) {
        return -1;
    }
    return packets;
}

}  // namespace fieldfx
