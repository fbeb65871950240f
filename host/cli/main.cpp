// fieldfx: renders video field by field through effect operators.
#include <string>
#include <vector>

#include "Commands.h"
#include "Stop.h"
#include "fieldfx/HostBackend.h"

int main(int argc, char** argv) {
    fieldfx::installInterruptHandler();
    // A run takes and frees fields of one size for every frame.
    fieldfx::keepFieldMemoryForRuns();
    return fieldfx::runFieldfx(std::vector<std::string>(argv + 1, argv + argc));
}
