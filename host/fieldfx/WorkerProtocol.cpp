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

SharedSlots::SharedSlots(const RenderJob& job, size_t count) {
    inputPlane_ = size_t(job.fieldFormat.width) * size_t(job.fieldFormat.height);
    outputPlane_ = size_t(job.outputFormat.width) * size_t(job.outputFormat.height);
    inputs_ = job.inputs.size();
    slotBytes_ = 4 * (inputs_ * inputPlane_ + outputPlane_);
    bytes_ = slotBytes_ * count;
    void* memory = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        throw UserError(job.op->name(), std::string("cannot share memory with the worker processes: ") +
                                            std::strerror(errno));
    }
    base_ = static_cast<uint8_t*>(memory);
    count_ = count;
}

SharedSlots::~SharedSlots() { munmap(base_, bytes_); }

void SharedSlots::populate(size_t inputBytes, size_t outputBytes) {
#if defined(MADV_POPULATE_WRITE)
    // Advice only: a kernel without it leaves the pages to be faulted in.
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    auto populateRange = [page](uint8_t* at, size_t bytes) {
        const uintptr_t begin = reinterpret_cast<uintptr_t>(at) & ~(page - 1);
        const uintptr_t end = reinterpret_cast<uintptr_t>(at) + bytes;
        if (bytes > 0) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    };
    for (size_t k = 0; k < count_; ++k) {
        for (size_t i = 0; i < inputs_; ++i) populateRange(inputAt(int64_t(k), i), std::min(inputBytes, 4 * inputPlane_));
        populateRange(outputAt(int64_t(k)), std::min(outputBytes, 4 * outputPlane_));
    }
#else
    (void)inputBytes;
    (void)outputBytes;
#endif
}

void SharedSlots::store(const Picture& picture, uint8_t* at, size_t plane) {
    for (const std::vector<uint8_t>* p : {&picture.y, &picture.cb, &picture.cr, &picture.a}) {
        std::memcpy(at, p->data(), std::min(plane, p->size()));
        at += plane;
    }
}

void SharedSlots::load(Picture& picture, const uint8_t* at, int width, int height) {
    const size_t plane = size_t(width) * size_t(height);
    picture.width = width;
    picture.height = height;
    for (std::vector<uint8_t>* p : {&picture.y, &picture.cb, &picture.cr, &picture.a}) {
        p->assign(at, at + plane);
        at += plane;
    }
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
