// The MLT services of the module: one per operator the host knows, named
// fieldfx.<operator in lower case>, the six effects as filters and Rotate
// and Rebound as transitions. What a service is called, which kind it is and
// what its parameters are come from the host's catalogue and from the
// operator library's own descriptors; this table adds only what the
// catalogue does not say: where editors file it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Catalogue.h"
#include "Operator.h"
#include "Values.h"

namespace fieldfx::mlt {

struct ServiceInfo {
    std::string id;                 // "fieldfx.blur"
    std::string folder;             // "fieldfx_blur": file and folder names for editors
    const KnownOperator* known;     // the catalogue's entry (name, kind, description, texts)
    std::string kdenliveGroup;      // Kdenlive's effect group; empty for a transition
};

// Every service, in the catalogue's order.
const std::vector<ServiceInfo>& services();
const ServiceInfo* serviceById(const std::string& id);

// An operator library loaded for a service, with the values its
// descriptors held before anything wrote into them.
struct LoadedService {
    const ServiceInfo* info = nullptr;
    std::unique_ptr<OperatorLibrary> library;
    std::vector<ParamValue> initial;  // one per parameter, in descriptor order
};

// Loads the service's operator library from the first of `directories`
// that holds lib<Operator>.so, and checks that it is the operator the
// catalogue describes (kind, parameters). Throws UserError saying why not.
std::unique_ptr<LoadedService> loadService(const ServiceInfo& info, const std::vector<std::string>& directories);

// A parameter's kind as MLT metadata names it ("integer", "string",
// "color", "rect"), and a value as MLT properties hold it: a slider's
// number, a choice's entry text (for a choice of numbers, the number), a
// colour as #rrggbb, a point as "X Y".
std::string mltType(const Parameter& parameter);
std::string mltValue(const Parameter& parameter, const ParamValue& value);

}  // namespace fieldfx::mlt
