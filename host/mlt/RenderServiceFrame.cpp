// The render of one frame of a service. For now it passes every frame
// through unchanged (a transition shows its outgoing frame); the run
// engine takes its place here.
#include "ServiceFrame.h"

namespace fieldfx::mlt {

bool renderServiceFrame(ServiceFrame&) { return true; }

}  // namespace fieldfx::mlt
