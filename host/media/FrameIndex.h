// Where each frame of a file that ffmpeg decodes lies, from the times of
// its video packets: frame i is the packet shown i-th (the i-th smallest
// presentation time), as a decode from the start gives the frames. A decode
// that starts at (or before) a key frame instead gives the same frames from
// the one whose time it looks for on, as long as the times can be trusted
// and ffmpeg can seek in the container to a place at or before the key
// frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Probe.h"

namespace fieldfx {

class FrameIndex {
public:
    // How a seek finds its place in the file.
    enum class Seeking { None, IndexByDts, IndexByPts, Search };

    // `packets` in the file's order, their times in `timeBase`; `container`
    // as ffprobe names it.
    FrameIndex(const std::vector<VideoPacket>& packets, const std::string& container, const Rational& timeBase);

    // Frames a decode from the start gives: the packets that are shown.
    int64_t frames() const { return int64_t(shown_.size()); }
    // Whether the first packets shown may not decode: the stream starts
    // inside a group of pictures (its first packet is not a key frame, or a
    // frame shown before the first key frame follows it).
    bool startsOpen() const { return startsOpen_; }
    // Leaves out the frames shown before `firstDecoded`, the time of the
    // first frame the decoder gives.
    void dropFramesBefore(int64_t firstDecoded);

    // Empty when a decode may start at a key frame and find a frame by its
    // time; else why not.
    const std::string& whyNotSeekable() const { return whyNot_; }

    // Where a decode that gives frame `frame` first starts: the time to seek
    // to (a key frame's, in the stream's time base) and the frame's own
    // presentation time. `fromStart` when the key frame is the first packet.
    struct SeekPoint {
        int64_t keyTime = 0;
        int64_t framePts = 0;
        bool fromStart = true;
    };
    SeekPoint seekPointFor(int64_t frame) const;

private:
    void judge(const std::string& container);

    struct Shown {
        int64_t pts;
        size_t order;  // its place in the file's order
    };
    std::vector<VideoPacket> packets_;
    std::vector<Shown> shown_;  // by presentation time
    bool startsOpen_ = false;
    Rational timeBase_;
    Seeking seeking_ = Seeking::None;
    std::string whyNot_;
};

// The argument of ffmpeg's -ss that seeks to `time` (in `timeBase` units)
// of a file whose container starts at `startMicroseconds`: seconds with six
// decimals, which ffmpeg counts from the container's start.
std::string seekSeconds(int64_t time, const Rational& timeBase, int64_t startMicroseconds);

}  // namespace fieldfx
