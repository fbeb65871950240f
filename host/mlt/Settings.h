// A service's MLT properties turned into the host's settings: for every
// operator parameter one keyframe list in fields, evaluated per field by
// valueAt() exactly as `fieldfx render --set NAME=V@POS,...` evaluates it.
//
// Values, as the properties hold them (plain, or MLT keyframe strings such
// as "0=5;50=20", "0|=Rows;25|=Columns", positions in frames from the
// service's in point, negative ones counted from its end):
//   slider  a number in the operator's own units, rounded to a whole one;
//           outside the range it is held to the range
//   choice  an entry's text (any case) or its index; for a choice of
//           numbers, the number
//   colour  an MLT colour: #rrggbb, #aarrggbb, 0xrrggbbaa or red, green,
//           blue, black, white; the alpha is not used (as for --set)
//   point   "X Y" (or "X,Y") in field pixels and field rows, as --set takes
//           it; or a rectangle "X Y W H [opacity]" in frame pixels, as
//           editors' rectangle controls write it, meaning its centre:
//           column X + W/2, field row (Y + H/2) / 2
//
// Key frame k is field position 2k on interlaced and progressive material
// alike (a frame's first field). Between keys sliders, colours and points
// are linear and choices stepped, as on the command line. MLT's discrete
// keys ("|=") hold their value up to the next key: the host gets an extra
// key on the field before it. After a smooth key ("~=") the host gets a
// key on every frame up to the next key, with the value MLT's curve
// (Catmull-Rom through the keys' values as the host holds them) has on
// that frame, rounded and held to the range as a value is; smooth colours
// are rendered as linear ones. So on every frame's first field the host's
// value is MLT's, rounded, for every key type.
//
// A value that cannot be used is left out with one line in `problems`; a
// parameter left with no usable value keeps its initial value.
#pragma once

#include <framework/mlt.h>

#include <string>
#include <vector>

#include "Values.h"

namespace fieldfx::mlt {

struct ServiceSettings {
    std::vector<Setting> settings;      // one per parameter, in descriptor order
    std::vector<std::string> problems;  // "NAME: what was wrong; what is used instead"
};

// `frames` is the service's length (its out point - in point + 1), which
// places keys counted from the end; 0 or less when unknown.
// `initial` holds each parameter's initial value, in descriptor order.
ServiceSettings settingsFromProperties(mlt_properties properties, const OperatorLibrary& op,
                                       const std::vector<ParamValue>& initial, int frames);

// The field position of key frame `frame`: 2 * frame.
int64_t fieldOfFrame(int64_t frame);

}  // namespace fieldfx::mlt
