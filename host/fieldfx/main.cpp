// fieldfx: renders video field by field through effect operators.
#include <string>
#include <vector>

#include "Commands.h"
#include "Render.h"

int main(int argc, char** argv) {
    fieldfx::installInterruptHandler();
    return fieldfx::runFieldfx(std::vector<std::string>(argv + 1, argv + argc));
}
