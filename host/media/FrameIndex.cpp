#include "FrameIndex.h"

#include <algorithm>
#include <cstdio>

namespace fieldfx {

namespace {

// How ffmpeg seeks in a container. QuickTime and MP4 (by decoding time),
// Matroska and WebM (by presentation time) keep an index of key frames, and
// a seek lands on the key frame at or before the time asked for. MPEG
// transport and program streams have none: a seek searches the file for a
// packet whose decoding time is at or before the time asked for, which may
// be any packet, so the decode starts well before the key frame and passes
// it. Others (AVI, MXF, raw streams) are decoded from their start.
FrameIndex::Seeking seekingIn(const std::string& container) {
    if (container.rfind("matroska", 0) == 0) return FrameIndex::Seeking::IndexByPts;
    if (container.rfind("mov,mp4", 0) == 0) return FrameIndex::Seeking::IndexByDts;
    if (container == "mpegts" || container == "mpeg") return FrameIndex::Seeking::Search;
    return FrameIndex::Seeking::None;
}

}  // namespace

FrameIndex::FrameIndex(const std::vector<VideoPacket>& packets, const std::string& container, const Rational& timeBase)
    : packets_(packets), timeBase_(timeBase) {
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
    seeking_ = seekingIn(container);
    if (seeking_ == Seeking::None) {
        whyNot_ = "ffmpeg cannot seek in its container (" + container + ")";
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
    point.keyTime = seeking_ == Seeking::IndexByPts || k.dts == kNoTime ? k.pts : k.dts;
    point.fromStart = key == 0;
    if (seeking_ == Seeking::Search && !point.fromStart) {
        // A second before it: the search lands at or before that time, and
        // the decode reaches the key frame from there.
        point.keyTime -= timeBase_.num > 0 ? timeBase_.den / timeBase_.num : 0;
        const VideoPacket& first = packets_.front();
        point.fromStart = point.keyTime <= (first.dts == kNoTime ? first.pts : first.dts);
    }
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
