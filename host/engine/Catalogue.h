// What the host knows about each operator it was built with, in one table:
// how a loaded library is recognised (its inputs and its parameters' kinds
// and labels), whether its fields depend on the fields rendered before them,
// the words behind its text ids, its parameters' command-line names, a
// one-line description and the settings that show it in the demo. The run,
// the demo, `list`, `info` and the parameter names all read this table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fieldfx {

class OperatorLibrary;

struct KnownParameter {
    uint16_t kind;     // PARAM_CHOICE, PARAM_COLOR, ...
    uint16_t label;    // text id of its label
    const char* name;  // command-line name
};

struct CatalogueText {
    uint32_t id;
    const char* text;
};

struct KnownOperator {
    const char* name;
    bool transition;
    // Whether a field depends on the fields rendered before it in the same
    // run (true for Patina), or only on its position and the settings.
    bool stateful;
    const char* description;
    const char* region;  // what the valid region (--region) means to it
    std::vector<KnownParameter> parameters;  // in descriptor order
    // Labels end in 0; a slider's second text (label + 1) says what its
    // number counts; a choice's entries follow its label in list order.
    std::vector<CatalogueText> texts;
    // --set values for the demo, given the run's length in fields.
    std::vector<std::string> (*demoSettings)(int64_t fields);
};

// The entry whose inputs and parameters (kinds and labels, in order) the
// library has, whatever its file is called; nullptr for an operator this
// host does not know.
const KnownOperator* knownOperator(const OperatorLibrary& op);
const std::vector<KnownOperator>& knownOperators();

// The text of a text id, or "text <id>" for an id the catalogue lacks.
std::string catalogueText(uint32_t id);
// Whether the catalogue holds a text for the id.
bool catalogueHas(uint32_t id);

// Command-line name of the parameter whose label is `labelId`
// (for example 110 -> "blurSize"); empty when unknown.
std::string parameterName(uint32_t labelId);

// One line about what the operator does; empty when unknown.
std::string operatorDescription(const OperatorLibrary& op);
std::string operatorDescription(const std::string& name);

// The demo's settings for the operator over a run of `fields` fields;
// none for an operator the host does not know.
std::vector<std::string> demoSettings(const OperatorLibrary& op, int64_t fields);

// What the valid region (--region) means to the operator; empty when unknown.
std::string operatorRegionUse(const std::string& name);

}  // namespace fieldfx
