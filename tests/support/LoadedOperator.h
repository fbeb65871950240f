// Loads a built operator library the way a host does (dlopen, then the two
// exports by name) and reads its tag list and descriptors in place.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "OperatorApi.h"

namespace fxtest {

// Names of the operator libraries this build produced.
std::vector<std::string> builtOperators();
bool isBuiltOperator(const std::string& name);

// Path of build/lib/lib<name>.so.
std::string operatorLibraryPath(const std::string& name);

class LoadedOperator {
public:
    explicit LoadedOperator(const std::string& name);  // throws when it cannot load
    ~LoadedOperator();
    LoadedOperator(const LoadedOperator&) = delete;
    LoadedOperator& operator=(const LoadedOperator&) = delete;

    uintptr_t* tagList() const { return info_(); }
    OperatorActionFn action() const { return action_; }
    GetOperatorInfoFn info() const { return info_; }
    // The optional OperatorReplay export; null when the library has none.
    OperatorReplayFn replay() const { return replay_; }

    // The (tag, value) pairs before the terminating word.
    std::vector<std::pair<uintptr_t, uintptr_t>> tagPairs() const;

    // Parameter descriptor 1..4, found through the tag list.
    ParamDescriptor* param(int number) const;
    ChoiceParam* choice(int number) const { return reinterpret_cast<ChoiceParam*>(param(number)); }
    ColorParam* color(int number) const { return reinterpret_cast<ColorParam*>(param(number)); }
    SliderParam* slider(int number) const { return reinterpret_cast<SliderParam*>(param(number)); }
    PointParam* point(int number) const { return reinterpret_cast<PointParam*>(param(number)); }

    // Writes the value of parameter `number`, a choice (its entry index) or
    // a slider; throws for the other kinds, whose values are not one number.
    void setValue(int number, int32_t value);
    // Writes parameters 1, 2, … in turn.
    void setValues(std::initializer_list<int32_t> values);

    // Writes back the descriptor contents the library had when it was loaded.
    void restoreParams();

private:
    void* handle_ = nullptr;
    GetOperatorInfoFn info_ = nullptr;
    OperatorActionFn action_ = nullptr;
    OperatorReplayFn replay_ = nullptr;
    std::vector<std::vector<uint8_t>> initialParams_;
};

// Size in bytes of a descriptor of the given kind.
size_t descriptorSize(uint16_t kind);

}  // namespace fxtest
