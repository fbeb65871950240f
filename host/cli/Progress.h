// The progress bar on stderr (only when stderr is a terminal) and the
// closing summary line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace fieldfx {

class Progress {
public:
    Progress(std::string label, int64_t total, bool enabled);
    ~Progress();
    void update(int64_t done);
    void finish();  // clears the bar
    double seconds() const;

private:
    std::string label_;
    int64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, lastDraw_;
};

// "1:05" style time.
std::string formatDuration(double seconds);

}  // namespace fieldfx
