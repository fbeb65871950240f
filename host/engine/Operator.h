// Loading an operator library, checking that it is one, and reading its tag
// list and parameter descriptors in place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OperatorApi.h"

namespace fieldfx {

struct Parameter {
    std::string name;        // command-line name, e.g. "blurSize"
    int number = 0;          // 1..4
    ParamDescriptor* descriptor = nullptr;  // in the library's static data
    std::vector<uint32_t> entries;  // a choice's entry words (text ids or numbers)

    uint16_t kind() const { return descriptor->kind; }
    uint16_t label() const { return descriptor->label; }
    uint32_t style() const { return descriptor->style; }
    ChoiceParam* choice() const { return reinterpret_cast<ChoiceParam*>(descriptor); }
    ColorParam* color() const { return reinterpret_cast<ColorParam*>(descriptor); }
    SliderParam* slider() const { return reinterpret_cast<SliderParam*>(descriptor); }
    PointParam* point() const { return reinterpret_cast<PointParam*>(descriptor); }
};

class OperatorLibrary {
public:
    // Loads the library at `path` and reads its descriptors; throws
    // UserError when it cannot be loaded or is not an operator.
    static std::unique_ptr<OperatorLibrary> load(const std::string& path);
    // A private copy of the library at `path`, whose statics (settings and
    // run state) are its own: the file is copied into an anonymous memory
    // file and loaded from there, so that no temporary file (and no /tmp
    // that allows executables) is needed. It is unloaded with the object.
    // Throws UserError.
    static std::unique_ptr<OperatorLibrary> loadPrivateCopy(const std::string& path);
    ~OperatorLibrary();

    const std::string& name() const { return name_; }
    const std::string& path() const { return path_; }
    bool isTransition() const { return inputs_ == 0; }
    OperatorActionFn action() const { return action_; }
    // The optional OperatorReplay export (Patina's); null when absent.
    OperatorReplayFn replay() const { return replay_; }
    const std::vector<Parameter>& parameters() const { return parameters_; }
    const Parameter* find(const std::string& name) const;  // case-insensitive
private:
    OperatorLibrary() = default;
    void* handle_ = nullptr;
    bool close_ = false;  // unloaded with this object (a private copy); by default it stays loaded
    int copyFd_ = -1;     // the memory file a private copy was loaded from
    std::string name_, path_;
    uintptr_t inputs_ = 1;
    OperatorActionFn action_ = nullptr;
    OperatorReplayFn replay_ = nullptr;
    std::vector<Parameter> parameters_;
};

// Directories searched for operators, in order: --ops, $FIELDFX_OPS
// (colon-separated), and beside the program (../lib and its own directory).
std::vector<std::string> operatorSearchPath(const std::string& opsOption);

// An operator named on the command line: a library path (anything with a
// '/' or ending in ".so"), or a name looked up as lib<Name>.so,
// case-insensitively, in the search path.
std::unique_ptr<OperatorLibrary> findOperator(const std::string& nameOrPath,
                                              const std::vector<std::string>& searchPath);

// Every operator in the search path, first occurrence of each name, sorted
// by name. Libraries that are not operators are passed over.
std::vector<std::unique_ptr<OperatorLibrary>> listOperators(const std::vector<std::string>& searchPath);

// True when `size` bytes at `address` can be read (checked without touching them).
bool readableMemory(const void* address, size_t size);

// Name of an operator from its library file: ".../libDye.so" -> "Dye".
std::string operatorNameFromPath(const std::string& path);

// The directory of the program or shared library this code is linked into
// (the engine is a static library: in a plug-in, the plug-in's directory);
// "." when it cannot be found.
std::string directoryOfThisLibrary();

}  // namespace fieldfx
