// The run in this process, with reading and writing on threads beside it.
#pragma once

#include "Render.h"

namespace fieldfx {

RenderResult renderInOneProcess(const RenderJob& job, FrameSink& sink, const ProgressFn& progress);

}  // namespace fieldfx
