// The texts of fieldfx --help and of each command's --help.
#pragma once

namespace fieldfx {

extern const char kUsage[];
extern const char kListHelp[];
extern const char kInfoHelp[];
extern const char kRenderHelp[];
extern const char kJoinHelp[];
extern const char kDemoHelp[];

}  // namespace fieldfx
