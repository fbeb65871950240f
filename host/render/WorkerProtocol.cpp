#include "WorkerProtocol.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
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

namespace {

// Closes descriptors first..last (last may be ~0u): at once where the kernel
// has close_range, else one by one up to the process's limit.
void closeRange(unsigned first, unsigned last) {
    if (first > last) return;
    if (close_range(first, last, 0) == 0) return;
    struct rlimit limit {};
    const rlim_t end = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                           ? limit.rlim_cur
                           : rlim_t(sysconf(_SC_OPEN_MAX) > 0 ? sysconf(_SC_OPEN_MAX) : 1 << 20);
    for (rlim_t fd = first; fd <= last && fd < end; ++fd) close(int(fd));
}

}  // namespace

void keepOnlyWorkerDescriptors(int& commands, int& reports) {
    // A pipe made while fieldfx ran without standard input or output may
    // have taken descriptor 0 or 1, which become /dev/null below.
    for (int* fd : {&commands, &reports}) {
        if (*fd >= 0 && *fd <= 2) {
            const int moved = fcntl(*fd, F_DUPFD, 3);
            if (moved >= 0) {
                close(*fd);
                *fd = moved;
            }
        }
    }
    // Neither /proc nor anything that allocates: every descriptor above
    // standard error but the two pipes is closed.
    unsigned next = 3;
    for (int keep : {std::min(commands, reports), std::max(commands, reports)}) {
        if (keep < int(next)) continue;
        closeRange(next, unsigned(keep) - 1);
        next = unsigned(keep) + 1;
    }
    closeRange(next, ~0u);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        if (null > 2) close(null);
    }
}

}  // namespace fieldfx
