#include "FrameIndex.h"

#include <algorithm>
#include <cstdio>

namespace fieldfx {

namespace {

// Containers whose demuxer seeks through an index of key frames, landing on
// the key frame at or before the time asked for: QuickTime and MP4 (by
// decoding time), Matroska and WebM (by presentation time). Others (MPEG
// transport and program streams, AVI, MXF, raw streams) are decoded from
// their start.
bool seeksExactly(const std::string& container, bool& byPts) {
    byPts = container.rfind("matroska", 0) == 0;
    return byPts || container.rfind("mov,mp4", 0) == 0;
}

}  // namespace

FrameIndex::FrameIndex(const std::vector<VideoPacket>& packets, const std::string& container) : packets_(packets) {
    for (size_t i = 0; i < packets_.size(); ++i) {
        if (!packets_[i].discard) shown_.push_back(Shown{packets_[i].pts, i});
    }
    std::stable_sort(shown_.begin(), shown_.end(), [](const Shown& a, const Shown& b) { return a.pts < b.pts; });
    if (!packets_.empty()) {
        const VideoPacket& first = packets_.front();
        startsOpen_ = !first.key || (!shown_.empty() && first.pts != kNoTime && shown_.front().pts < first.pts);
    }
    judge(container);
}

void FrameIndex::judge(const std::string& container) {
    if (!seeksExactly(container, seeksByPts_)) {
        whyNot_ = "its container (" + container + ") has no index to seek by";
    } else if (shown_.empty()) {
        whyNot_ = "it holds no frames";
    } else if (shown_.front().pts == kNoTime) {
        whyNot_ = "some of its frames have no presentation time";
    } else if (startsOpen_) {
        whyNot_ = "it starts inside a group of pictures";
    } else {
        for (size_t i = 1; i < shown_.size() && whyNot_.empty(); ++i) {
            if (shown_[i].pts == shown_[i - 1].pts) whyNot_ = "two of its frames have the same presentation time";
        }
    }
}

void FrameIndex::dropFramesBefore(int64_t firstDecoded) {
    const auto kept = std::find_if(shown_.begin(), shown_.end(), [&](const Shown& s) { return s.pts >= firstDecoded; });
    shown_.erase(shown_.begin(), kept);
}

FrameIndex::SeekPoint FrameIndex::seekPointFor(int64_t frame) const {
    SeekPoint point;
    point.framePts = shown_[size_t(frame)].pts;
    // Every frame shown from this one on must come after the key frame in
    // the file's order: the key frame lies at or before the first packet
    // shown at or after the frame's time. It must also be shown at or
    // before the frame, or the frame would be one of the frames before it
    // that refer to the group of pictures before (an open group).
    size_t last = 0;
    while (last < packets_.size() && packets_[last].pts < point.framePts) ++last;
    size_t key = 0;
    for (size_t i = 0; i <= last && i < packets_.size(); ++i) {
        if (packets_[i].key && packets_[i].pts <= point.framePts) key = i;
    }
    const VideoPacket& k = packets_[key];
    point.keyTime = seeksByPts_ || k.dts == kNoTime ? k.pts : k.dts;
    point.fromStart = key == 0;
    return point;
}

std::string seekSeconds(int64_t time, const Rational& timeBase, int64_t startMicroseconds) {
    // Rounded to the microsecond, which ffmpeg's -ss counts in: a key
    // frame's time rounded up by less than a microsecond still finds that
    // key frame (the next is a frame away).
    const __int128 scaled = static_cast<__int128>(time) * timeBase.num * 1000000;
    const __int128 den = timeBase.den;
    __int128 us = scaled >= 0 ? (scaled + den / 2) / den : -((-scaled + den / 2) / den);
    us -= startMicroseconds;
    const bool negative = us < 0;
    const long long magnitude = static_cast<long long>(negative ? -us : us);
    char text[48];
    std::snprintf(text, sizeof text, "%s%lld.%06lld", negative ? "-" : "", magnitude / 1000000, magnitude % 1000000);
    return text;
}

}  // namespace fieldfx
