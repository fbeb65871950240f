#include "WorkerProtocol.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Error.h"

namespace fieldfx {

bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool readAll(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

namespace {

// Parts of a slot start on cache lines.
size_t rounded(size_t bytes) { return (bytes + 63) & ~size_t(63); }

}  // namespace

SharedSlots::SharedSlots(const std::vector<size_t>& inputBytes, size_t outputBytes, size_t count,
                         const std::string& subject) {
    for (size_t bytes : inputBytes) {
        inputOffsets_.push_back(slotBytes_);
        slotBytes_ += rounded(bytes);
    }
    outputOffset_ = slotBytes_;
    slotBytes_ += rounded(outputBytes);
    bytes_ = slotBytes_ * count;
    void* memory = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        throw UserError(subject, std::string("cannot share memory with the worker processes: ") + std::strerror(errno));
    }
    base_ = static_cast<uint8_t*>(memory);
    count_ = count;
}

SharedSlots::~SharedSlots() { munmap(base_, bytes_); }

void SharedSlots::populate() {
#if defined(MADV_POPULATE_WRITE)
    // Advice only: a kernel without it leaves the pages to be faulted in.
    madvise(base_, bytes_, MADV_POPULATE_WRITE);
#endif
}

void keepOnlyWorkerDescriptors(int commands, int reports) {
    std::vector<int> open;
    if (DIR* d = opendir("/proc/self/fd")) {
        const int own = dirfd(d);
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            const int fd = std::atoi(e->d_name);
            if (fd != own) open.push_back(fd);
        }
        closedir(d);
    }
    for (int fd : open) {
        if (fd > 2 && fd != commands && fd != reports) close(fd);
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        if (null > 2) close(null);
    }
}


}  // namespace fieldfx
