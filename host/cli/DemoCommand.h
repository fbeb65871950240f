// fieldfx demo: renders every operator found over two generated clips and
// makes a contact sheet of the results.
#pragma once

#include <string>
#include <vector>

namespace fieldfx {

int commandDemo(const std::vector<std::string>& args);

}  // namespace fieldfx
