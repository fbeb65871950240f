// What ffprobe tells about a file: the one place ffprobe is run and its
// answers read. The headers of the streams (probeMedia), and the times of
// the video packets, which tell how many frames a file holds when its
// header does not say and where each frame lies (probeVideoPackets).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Video.h"

namespace fieldfx {

// What ffprobe tells about a file: its first video stream, its first audio
// stream, and its container.
struct MediaProbe {
    bool ran = false;          // ffprobe ran (it is on the PATH)
    bool readable = false;     // ffprobe read the file
    std::string problem;       // why ffprobe could not read it: its first message
    bool known = false;        // ffprobe read it and found a video stream
    std::string codec;         // e.g. h264
    std::string profile;       // as ffprobe names it, e.g. High 4:2:2, HQ, DNXHR HQX
    int width = 0, height = 0;
    std::string pixFmt;        // e.g. yuv422p10le
    std::string fieldOrder;    // progressive, tt, bb, tb, bt or unknown
    std::string rate;          // frames a second as ffprobe gives it, e.g. 25/1
    int64_t bitRate = 0;       // bits a second of the video stream; 0 unknown
    int64_t frames = -1;       // frames the header says the stream holds; -1 unknown
    int64_t estimate = -1;     // frames from the duration and the rate; -1 unknown
    bool audio = false;        // it has an audio stream
    std::string audioCodec;    // the first audio stream's, e.g. pcm_s24le, aac
    int audioBits = 0;         // bits a sample it keeps, when ffprobe says
    Rational timeBase{0, 0};   // of the video stream's times
    std::string container;     // ffprobe's format_name, e.g. mov,mp4,m4a,3gp,3g2,mj2
    int64_t startMicroseconds = 0;  // the container's start time, from which ffmpeg's -ss counts
    std::string comment;       // the container's comment tag
};
// Nothing is known when a stop signal came while ffprobe ran.
MediaProbe probeMedia(const std::string& path);

// A video packet's times in the stream's time base, as the file has them,
// and its flags: a key frame (decoding may start there), or one decoded
// only as a reference and never shown (an edit list's lead-in).
constexpr int64_t kNoTime = INT64_MIN;
struct VideoPacket {
    int64_t pts = kNoTime, dts = kNoTime;
    bool key = false, discard = false;
};

// Every packet of the first video stream in the file's order (the decoding
// order), read without decoding; `limit` packets at most when it is not
// negative. Empty when ffprobe cannot read them or a stop signal came.
std::optional<std::vector<VideoPacket>> probeVideoPackets(const std::string& path, int64_t limit = -1);

// The smallest presentation time of the frames the decoder gives from the
// first `packets` packets of the first video stream: frames shown before it
// cannot be decoded (a stream that starts inside a group of pictures).
std::optional<int64_t> probeFirstDecodedTime(const std::string& path, int64_t packets);

// Packets of the first video stream, counted without decoding; -1 when
// ffprobe cannot tell.
int64_t countVideoPackets(const std::string& path);

}  // namespace fieldfx
