// A YUV4MPEG2 pipe of unknown length, copied to a file so that its frames
// can be counted before the run starts (a run's length shapes every field's
// position). The copy is an anonymous file in $TMPDIR (else /tmp), removed
// when it is closed, and is made only when --length does not say how many
// frames the run takes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Y4m.h"

namespace fieldfx {

// Copies the frames `reader` has still to give (it has read the stream
// header) into a new anonymous file and returns it, rewound: FRAME records
// only. Checks the room left on the file's disk as it goes and refuses,
// suggesting --length, when the frames would fill it. `progress` shows a
// line on stderr while it reads. Throws UserError naming `source`.
FILE* spoolFrames(Y4mReader& reader, const std::string& source, bool progress);

// The directory the copy goes to: $TMPDIR, else /tmp.
std::string spoolDirectory();

}  // namespace fieldfx
