// A library that is not an operator, whose constructor leaves a mark: it
// appends its name to the file $FIELDFX_TRAP_FILE as soon as it is loaded.
// Built as libTrap.so (no entry points), libTrapInfo.so (GetOperatorInfo
// only), libTrapAction.so (OperatorAction only) and libTrapData.so (both
// names, as data), to check that the fieldfx program loads none of them.
#include <cstdio>
#include <cstdint>
#include <cstdlib>

#define TRAP_EXPORT extern "C" __attribute__((visibility("default")))

__attribute__((constructor)) static void sprung() {
    if (const char* path = std::getenv("FIELDFX_TRAP_FILE")) {
        if (FILE* f = std::fopen(path, "a")) {
            std::fputs(TRAP_NAME "\n", f);
            std::fclose(f);
        }
    }
}

#if defined(TRAP_INFO)
TRAP_EXPORT uintptr_t* GetOperatorInfo(void) { return nullptr; }
#elif defined(TRAP_ACTION)
TRAP_EXPORT int32_t OperatorAction(void*) { return 0; }
#elif defined(TRAP_DATA)
extern "C" {
__attribute__((visibility("default"))) uintptr_t GetOperatorInfo[2] = {0, 0};
__attribute__((visibility("default"))) uintptr_t OperatorAction[2] = {0, 0};
}
#endif
