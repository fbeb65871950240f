#include "Operator.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Catalogue.h"
#include "ElfExports.h"
#include "Error.h"
#include "Text.h"

namespace fieldfx {

namespace {

// A real tag list has at most 9 pairs; anything past this many words without
// the terminating 0 is not a tag list.
constexpr size_t kMaxTagWords = 64;
constexpr size_t kMaxChoiceEntries = 64;

const char* const kHostLibraries[] = {"hostcore", "hostimage", "logger"};


bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string programDirectory() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    std::string self(buffer, size_t(n));
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? "." : self.substr(0, slash);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat x {}, y {};
    return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool isHostLibrary(const std::string& name) {
    for (const char* host : kHostLibraries) {
        if (name == host) return true;
    }
    return false;
}

}  // namespace

// The kernel copies the bytes into a pipe and reports EFAULT instead of
// faulting when it cannot, so a library whose tag list or descriptors point
// into nowhere is refused rather than crashing the program.
bool readableMemory(const void* address, size_t size) {
    if (address == nullptr) return false;
    int fds[2];
    if (pipe(fds) != 0) return true;  // cannot check; the reads go ahead
    const ssize_t copied = write(fds[1], address, size);
    close(fds[0]);
    close(fds[1]);
    return copied == ssize_t(size);
}

namespace {

size_t descriptorBytes(uint16_t kind) {
    switch (kind) {
    case PARAM_CHOICE: return sizeof(ChoiceParam);
    case PARAM_COLOR:  return sizeof(ColorParam);
    case PARAM_SLIDER: return sizeof(SliderParam);
    default:           return sizeof(PointParam);
    }
}

}  // namespace

std::string directoryOfThisLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&directoryOfThisLibrary), &info) == 0 || info.dli_fname == nullptr) return ".";
    const std::string self = info.dli_fname;
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? "." : self.substr(0, slash);
}

std::string operatorNameFromPath(const std::string& path) {
    std::string file = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (file.rfind("lib", 0) == 0) file = file.substr(3);
    const size_t dot = file.find(".so");
    if (dot != std::string::npos) file = file.substr(0, dot);
    return file;
}

namespace {

// Loads the library at `path` when its own symbol table shows the two entry
// points: loading runs the library's constructors, so nothing else is loaded.
void* openOperatorLibrary(const std::string& path) {
    if (access(path.c_str(), R_OK) != 0) {
        throw UserError(path, std::string("cannot open operator library: ") + std::strerror(errno));
    }
    static const std::vector<std::string> kEntryPoints = {"GetOperatorInfo", "OperatorAction"};
    std::vector<bool> exported;
    if (const std::string why = readElfExports(path, kEntryPoints, exported); !why.empty()) {
        throw UserError(path, "cannot load operator library: " + why);
    }
    for (size_t i = 0; i < kEntryPoints.size(); ++i) {
        if (!exported[i]) throw UserError(path, "not an operator library (no " + kEntryPoints[i] + ")");
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        throw UserError(path, std::string("cannot load operator library: ") + (why ? why : "unknown error"));
    }
    return handle;
}

// The words of a tag list up to its terminating 0, checked readable.
size_t tagWords(const uintptr_t* tags, const std::string& path) {
    if (!readableMemory(tags, sizeof *tags)) {
        throw UserError(path, "not an operator library (GetOperatorInfo returned no readable tag list)");
    }
    size_t words = 0;
    while (words < kMaxTagWords && tags[words] != 0) {
        if (!readableMemory(tags + words, 3 * sizeof *tags)) {
            throw UserError(path, "not an operator library (its tag list runs into unreadable memory)");
        }
        words += 2;
    }
    if (words >= kMaxTagWords) {
        throw UserError(path, "not an operator library (its tag list does not end within " +
                                  std::to_string(kMaxTagWords) + " words)");
    }
    return words;
}

// Parameter `number` from its descriptor, checked readable and sane.
Parameter readParameter(int number, ParamDescriptor* descriptor, const std::string& path) {
    const std::string where = "parameter " + std::to_string(number);
    auto refuse = [&](const std::string& why) { return UserError(path, "not an operator library (" + why + ")"); };
    if (!readableMemory(descriptor, sizeof(ParamDescriptor))) throw refuse(where + " has no readable descriptor");
    if (descriptor->kind > PARAM_POINT) throw refuse(where + " has unknown kind " + std::to_string(descriptor->kind));
    if (!readableMemory(descriptor, descriptorBytes(descriptor->kind))) throw refuse(where + " has no readable descriptor");
    Parameter p;
    p.number = number;
    p.descriptor = descriptor;
    p.name = parameterName(descriptor->label);
    if (p.name.empty()) p.name = "param" + std::to_string(number);
    if (descriptor->kind == PARAM_CHOICE) {
        const uint32_t* entries = p.choice()->entries;
        size_t n = 0;
        while (n < kMaxChoiceEntries && readableMemory(entries + n, sizeof *entries) && entries[n] != 0) {
            p.entries.push_back(entries[n++]);
        }
        if (n < kMaxChoiceEntries && !readableMemory(entries + n, sizeof *entries)) {
            throw refuse(where + " has no readable entry list");
        }
        if (n >= kMaxChoiceEntries || n == 0) throw refuse("the entry list of " + where + " is not sane");
    }
    if (descriptor->kind == PARAM_SLIDER && p.slider()->minimum > p.slider()->maximum) {
        throw refuse(where + " has minimum above maximum");
    }
    return p;
}

}  // namespace

std::unique_ptr<OperatorLibrary> OperatorLibrary::load(const std::string& path) {
    std::unique_ptr<OperatorLibrary> op(new OperatorLibrary);
    op->handle_ = openOperatorLibrary(path);
    op->close_ = true;  // until it proves to be an operator: a rejected library is unloaded
    op->path_ = path;
    op->name_ = operatorNameFromPath(path);

    auto info = reinterpret_cast<GetOperatorInfoFn>(dlsym(op->handle_, "GetOperatorInfo"));
    op->action_ = reinterpret_cast<OperatorActionFn>(dlsym(op->handle_, "OperatorAction"));
    if (info == nullptr) throw UserError(path, "not an operator library (no GetOperatorInfo)");
    if (op->action_ == nullptr) throw UserError(path, "not an operator library (no OperatorAction)");
    op->replay_ = reinterpret_cast<OperatorReplayFn>(dlsym(op->handle_, "OperatorReplay"));  // optional

    const uintptr_t* tags = info();
    const size_t words = tagWords(tags, path);
    std::map<int, ParamDescriptor*> descriptors;
    for (size_t i = 0; i < words; i += 2) {
        const uintptr_t tag = tags[i], value = tags[i + 1];
        if (tag == OPE_TAG_INPUTS) op->inputs_ = value;
        if (tag >= OPE_TAG_PARAM1 && tag <= OPE_TAG_PARAM4) {
            descriptors[int(tag - OPE_TAG_PARAM1) + 1] = reinterpret_cast<ParamDescriptor*>(value);
        }
    }
    for (const auto& [number, descriptor] : descriptors) op->parameters_.push_back(readParameter(number, descriptor, path));
    op->close_ = false;
    return op;
}

std::unique_ptr<OperatorLibrary> OperatorLibrary::loadPrivateCopy(const std::string& path) {
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw UserError(path, std::string("cannot make a private copy: ") + std::strerror(errno));
    const int out = memfd_create(("fieldfx-" + operatorNameFromPath(path)).c_str(), MFD_CLOEXEC);
    bool copied = out >= 0;
    char buffer[1 << 16];
    for (ssize_t n; copied && (n = read(in, buffer, sizeof buffer)) != 0;) {
        copied = n > 0 && write(out, buffer, size_t(n)) == n;
    }
    const int error = errno;
    close(in);
    if (!copied) {
        if (out >= 0) close(out);
        throw UserError(path, std::string("cannot make a private copy: ") + std::strerror(error));
    }
    // The memory file stays open while the copy is loaded: the loader knows
    // a library by its name, and the name holds the descriptor's number.
    std::unique_ptr<OperatorLibrary> library;
    try {
        library = load("/proc/self/fd/" + std::to_string(out));
    } catch (...) {
        close(out);
        throw;
    }
    library->name_ = operatorNameFromPath(path);
    library->close_ = true;
    library->copyFd_ = out;
    return library;
}

OperatorLibrary::~OperatorLibrary() {
    // Otherwise the library stays loaded: its descriptors may still be
    // referred to, and unloading at exit gains nothing.
    if (close_ && handle_ != nullptr) dlclose(handle_);
    if (copyFd_ >= 0) close(copyFd_);
}

const Parameter* OperatorLibrary::find(const std::string& name) const {
    for (const Parameter& p : parameters_) {
        if (lowerCase(p.name) == lowerCase(name)) return &p;
    }
    return nullptr;
}

std::vector<std::string> operatorSearchPath(const std::string& opsOption) {
    std::vector<std::string> dirs;
    if (!opsOption.empty()) dirs.push_back(opsOption);
    if (const char* env = std::getenv("FIELDFX_OPS"); env != nullptr) {
        std::string list = env;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t colon = std::min(list.find(':', start), list.size());
            if (colon > start) dirs.push_back(list.substr(start, colon - start));
            start = colon + 1;
        }
    }
    // The program's own operator folder, and only that: an installed
    // fieldfx (<prefix>/bin) keeps its operators in <prefix>/lib/fieldfx,
    // while the rest of <prefix>/lib holds other programs' libraries. The
    // build tree builds them into its lib/.
    const std::string self = programDirectory();
    dirs.push_back(self + "/../lib/fieldfx");
    if (sameFile(self, FIELDFX_BUILD_BIN_DIR)) dirs.push_back(FIELDFX_BUILD_LIB_DIR);
    return dirs;
}

namespace {

std::vector<std::string> librariesIn(const std::string& dir) {
    std::vector<std::string> files;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return files;
    while (const dirent* entry = readdir(d)) {
        const std::string file = entry->d_name;
        if (file.rfind("lib", 0) == 0 && endsWith(file, ".so")) files.push_back(file);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

std::unique_ptr<OperatorLibrary> findOperator(const std::string& nameOrPath,
                                              const std::vector<std::string>& searchPath) {
    if (nameOrPath.find('/') != std::string::npos || endsWith(nameOrPath, ".so")) {
        return OperatorLibrary::load(nameOrPath);
    }
    if (nameOrPath.empty() || isHostLibrary(lowerCase(nameOrPath))) {
        throw UserError(nameOrPath.empty() ? "operator" : nameOrPath, "no such operator");
    }
    for (const std::string& dir : searchPath) {
        for (const std::string& file : librariesIn(dir)) {
            if (lowerCase(operatorNameFromPath(file)) == lowerCase(nameOrPath)) return OperatorLibrary::load(dir + "/" + file);
        }
    }
    throw UserError(nameOrPath, "no such operator (see 'fieldfx list', or name its library by path)");
}

std::vector<std::unique_ptr<OperatorLibrary>> listOperators(const std::vector<std::string>& searchPath) {
    std::vector<std::unique_ptr<OperatorLibrary>> found;
    std::vector<std::string> seen;
    for (const std::string& dir : searchPath) {
        for (const std::string& file : librariesIn(dir)) {
            const std::string name = lowerCase(operatorNameFromPath(file));
            if (isHostLibrary(name) || std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
            try {
                found.push_back(OperatorLibrary::load(dir + "/" + file));
                seen.push_back(name);
            } catch (const UserError&) {
                // not an operator: passed over
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a->name() < b->name(); });
    return found;
}

}  // namespace fieldfx
