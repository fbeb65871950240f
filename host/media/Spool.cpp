#include "Spool.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Error.h"
#include "Stop.h"

namespace fieldfx {

namespace {

// Room a copy leaves free on its disk: 5 % of it, at most 256 MB.
int64_t roomToLeave(const struct statvfs& disk) {
    const int64_t size = int64_t(disk.f_blocks) * int64_t(disk.f_frsize);
    return std::min<int64_t>(size / 20, int64_t(256) << 20);
}

std::string megabytes(int64_t bytes) { return std::to_string((bytes + (1 << 19)) >> 20) + " MB"; }

class SpoolFile {
public:
    SpoolFile(std::string source, bool progress) : source_(std::move(source)), dir_(spoolDirectory()), progress_(progress) {
        std::string pattern = dir_ + "/.fieldfx-spool-XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0) throw UserError(source_, "cannot make a file in " + dir_ + " to learn its length: " + std::strerror(errno));
        unlink(pattern.c_str());  // anonymous: gone when it is closed, however the program ends
        file_ = fdopen(fd, "w+b");
        if (file_ == nullptr) {
            close(fd);
            throw UserError(source_, std::string("cannot make a temporary file: ") + std::strerror(errno));
        }
    }
    ~SpoolFile() {
        clearLine();
        if (file_ != nullptr) std::fclose(file_);
    }

    void add(const uint8_t* frame, size_t size) {
        if ((written_ += int64_t(size) + 6) >= nextCheck_) checkRoom(int64_t(size));
        if (std::fputs("FRAME\n", file_) < 0 || std::fwrite(frame, 1, size, file_) != size) {
            if (errno == ENOSPC) noRoom(0);
            throw UserError(source_, "cannot write a temporary file in " + dir_ + ": " + std::strerror(errno));
        }
        ++frames_;
        show(false);
    }

    FILE* release() {
        show(true);
        clearLine();
        if (std::fflush(file_) != 0) {
            if (errno == ENOSPC) noRoom(0);
            throw UserError(source_, "cannot write a temporary file in " + dir_ + ": " + std::strerror(errno));
        }
        std::rewind(file_);
        FILE* file = file_;
        file_ = nullptr;
        return file;
    }

private:
    // Every 16 MB: the disk must keep room for a frame beyond what it
    // leaves free.
    void checkRoom(int64_t frameSize) {
        nextCheck_ = written_ + (int64_t(16) << 20);
        struct statvfs disk {};
        if (fstatvfs(fileno(file_), &disk) != 0) return;
        const int64_t free = int64_t(disk.f_bavail) * int64_t(disk.f_frsize);
        if (free < frameSize + (int64_t(16) << 20) + roomToLeave(disk)) noRoom(free);
    }

    [[noreturn]] void noRoom(int64_t free) {
        throw UserError(source_, "its length is unknown and " + dir_ + " has no room to hold it while it is learnt (" +
                                     std::to_string(frames_) + " frames read, " + megabytes(written_) + ", " +
                                     megabytes(free) + " free); --length N renders a pipe as it comes, or TMPDIR "
                                     "can name a directory with room");
    }

    void show(bool last) {
        if (!progress_) return;
        const auto now = std::chrono::steady_clock::now();
        if (!last && now - shown_ < std::chrono::milliseconds(100)) return;
        shown_ = now;
        std::fprintf(stderr, "\rfieldfx: %s: reading the input to learn its length: %lld frames ", source_.c_str(),
                     static_cast<long long>(frames_));
        std::fflush(stderr);
        drawn_ = true;
    }

    void clearLine() {
        if (!drawn_) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn_ = false;
    }

    std::string source_, dir_;
    bool progress_, drawn_ = false;
    FILE* file_ = nullptr;
    int64_t frames_ = 0, written_ = 0, nextCheck_ = 0;
    std::chrono::steady_clock::time_point shown_;
};

}  // namespace

std::string spoolDirectory() {
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

FILE* spoolFrames(Y4mReader& reader, const std::string& source, bool progress) {
    SpoolFile spool(source, progress);
    Frame frame;
    try {
        while (reader.readFrame(frame)) spool.add(frame.data.data(), frame.data.size());
    } catch (const UserError&) {
        if (g_abortRequested) throw UserError(source, "interrupted while reading it; no file written");
        throw;
    }
    if (g_abortRequested) throw UserError(source, "interrupted while reading it; no file written");
    return spool.release();
}

}  // namespace fieldfx
