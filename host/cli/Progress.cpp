#include "Progress.h"

#include <cstdio>

namespace fieldfx {

Progress::Progress(std::string label, int64_t total, bool enabled)
    : label_(std::move(label)), total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() { finish(); }

double Progress::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string formatDuration(double seconds) {
    const long s = seconds < 0 ? 0 : long(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

void Progress::update(int64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && done < total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double elapsed = seconds();
    const double rate = elapsed > 0 ? double(done) / elapsed : 0.0;
    const double left = rate > 0 ? double(total_ - done) / rate : 0.0;
    constexpr int kWidth = 30;
    const int filled = total_ > 0 ? int(kWidth * done / total_) : kWidth;
    std::string bar(size_t(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r%s [%s] %lld/%lld fields  %.1f fields/s  %s left ", label_.c_str(), bar.c_str(),
                 static_cast<long long>(done), static_cast<long long>(total_), rate, formatDuration(left).c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (drawn_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn_ = false;
    }
}

}  // namespace fieldfx
