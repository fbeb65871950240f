// fieldfx: renders video field by field through effect operators.
#include <string>
#include <vector>

#include "Commands.h"
#include "Stop.h"
#include "fieldfx/HostBackend.h"

// An address-checked build frees every field at once, so that a field used
// after it was handed back is caught.
#if defined(__SANITIZE_ADDRESS__)
#define FIELDFX_ADDRESS_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FIELDFX_ADDRESS_CHECKED 1
#endif
#endif

int main(int argc, char** argv) {
    fieldfx::installInterruptHandler();
#if !defined(FIELDFX_ADDRESS_CHECKED)
    // A run takes and frees fields of one size for every frame.
    fieldfx::keepFieldMemory(true);
#endif
    return fieldfx::runFieldfx(std::vector<std::string>(argv + 1, argv + argc));
}
