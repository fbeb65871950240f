// The subcommands of the fieldfx program.
#pragma once

#include <string>
#include <vector>

namespace fieldfx {

// Runs "fieldfx ARGS..." and returns the exit status: 0 success, 1 failure,
// 2 usage error, 130 interrupted. Failures are reported on stderr.
int runFieldfx(const std::vector<std::string>& args);

}  // namespace fieldfx
