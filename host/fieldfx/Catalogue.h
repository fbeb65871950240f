// The host's text catalogue: the words behind the text ids that operators put
// in their descriptors, the names by which parameters are addressed on the
// command line, and a one-line description of each known operator.
#pragma once

#include <cstdint>
#include <string>

namespace fieldfx {

// The text of a text id, or "text <id>" for an id the catalogue lacks.
std::string catalogueText(uint32_t id);

// Command-line name of the parameter whose label is `labelId`
// (for example 110 -> "blurSize"); empty when unknown.
std::string parameterName(uint32_t labelId);

// One line about what the operator does; empty when unknown.
std::string operatorDescription(const std::string& name);

}  // namespace fieldfx
