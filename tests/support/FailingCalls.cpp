// Preloaded into the fieldfx program by tests (LD_PRELOAD), this library
// makes one C library call fail, the one $FIELDFX_FAIL names: a step of
// posix_spawn's set-up, posix_spawnp itself or fdopen (with ENOMEM), or
// close_range (with ENOSYS, as on a kernel without it). It takes itself
// out of LD_PRELOAD at once, so that the programs fieldfx starts run as
// usual. The C library's headers are left out: their declarations carry
// exception specifications these definitions need not repeat.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool fails(const char* call) {
    const char* name = std::getenv("FIELDFX_FAIL");
    return name != nullptr && std::strcmp(name, call) == 0;
}

template <class F>
F next(const char* call) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, call));
}

__attribute__((constructor)) void leaveChildrenAlone() { unsetenv("LD_PRELOAD"); }

}  // namespace

// A call that returns an error number, failing with ENOMEM.
#define FAILING(call, params, args)                                  \
    extern "C" int call params {                                     \
        if (fails(#call)) return ENOMEM;                             \
        return next<int(*) params>(#call) args;                      \
    }

FAILING(posix_spawn_file_actions_init, (void* a), (a))
FAILING(posix_spawn_file_actions_adddup2, (void* a, int fd, int to), (a, fd, to))
FAILING(posix_spawn_file_actions_addopen, (void* a, int fd, const char* path, int flags, unsigned mode),
        (a, fd, path, flags, mode))
FAILING(posix_spawnattr_init, (void* a), (a))
FAILING(posix_spawnattr_setsigdefault, (void* a, const void* set), (a, set))
FAILING(posix_spawnattr_setsigmask, (void* a, const void* set), (a, set))
FAILING(posix_spawnattr_setpgroup, (void* a, int group), (a, group))
FAILING(posix_spawnattr_setflags, (void* a, short flags), (a, flags))
FAILING(posix_spawnp, (int* pid, const char* file, const void* actions, const void* attributes, char* const* argv,
                       char* const* envp),
        (pid, file, actions, attributes, argv, envp))

extern "C" void* fdopen(int fd, const char* mode) {
    if (fails("fdopen")) {
        errno = ENOMEM;
        return nullptr;
    }
    return next<void* (*)(int, const char*)>("fdopen")(fd, mode);
}

extern "C" int close_range(unsigned first, unsigned last, int flags) {
    if (fails("close_range")) {
        errno = ENOSYS;
        return -1;
    }
    return next<int (*)(unsigned, unsigned, int)>("close_range")(first, last, flags);
}
