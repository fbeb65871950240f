#include "LoadedOperator.h"

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace fxtest {

std::vector<std::string> builtOperators() {
    std::vector<std::string> names;
    std::string list = FIELDFX_BUILT_OPERATORS;
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) names.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

bool isBuiltOperator(const std::string& name) {
    for (const std::string& built : builtOperators()) {
        if (built == name) return true;
    }
    return false;
}

std::string operatorLibraryPath(const std::string& name) {
    return std::string(FIELDFX_LIB_DIR) + "/lib" + name + ".so";
}

size_t descriptorSize(uint16_t kind) {
    switch (kind) {
    case PARAM_CHOICE: return sizeof(ChoiceParam);
    case PARAM_COLOR:  return sizeof(ColorParam);
    case PARAM_SLIDER: return sizeof(SliderParam);
    case PARAM_POINT:  return sizeof(PointParam);
    default:           return sizeof(ParamDescriptor);
    }
}

LoadedOperator::LoadedOperator(const std::string& name) {
    const std::string path = operatorLibraryPath(name);
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + dlerror());
    info_ = reinterpret_cast<GetOperatorInfoFn>(dlsym(handle_, "GetOperatorInfo"));
    action_ = reinterpret_cast<OperatorActionFn>(dlsym(handle_, "OperatorAction"));
    if (info_ == nullptr || action_ == nullptr) {
        dlclose(handle_);
        throw std::runtime_error(path + " does not export the operator interface");
    }
    replay_ = reinterpret_cast<OperatorReplayFn>(dlsym(handle_, "OperatorReplay"));
    for (int n = 1; n <= 4; ++n) {
        const ParamDescriptor* p = param(n);
        if (p == nullptr) break;
        const auto* bytes = reinterpret_cast<const uint8_t*>(p);
        initialParams_.emplace_back(bytes, bytes + descriptorSize(p->kind));
    }
}

LoadedOperator::~LoadedOperator() {
    restoreParams();
    dlclose(handle_);
}

std::vector<std::pair<uintptr_t, uintptr_t>> LoadedOperator::tagPairs() const {
    std::vector<std::pair<uintptr_t, uintptr_t>> pairs;
    const uintptr_t* tags = tagList();
    for (size_t i = 0; tags[i] != 0 && i < 64; i += 2) pairs.emplace_back(tags[i], tags[i + 1]);
    return pairs;
}

ParamDescriptor* LoadedOperator::param(int number) const {
    for (const auto& [tag, value] : tagPairs()) {
        if (tag == OPE_TAG_PARAM1 + uintptr_t(number) - 1) return reinterpret_cast<ParamDescriptor*>(value);
    }
    return nullptr;
}

void LoadedOperator::setValue(int number, int32_t value) {
    ParamDescriptor* p = param(number);
    if (p != nullptr && p->kind == PARAM_CHOICE) {
        choice(number)->value = value;
    } else if (p != nullptr && p->kind == PARAM_SLIDER) {
        slider(number)->value = value;
    } else {
        throw std::logic_error("parameter " + std::to_string(number) + " is neither a choice nor a slider");
    }
}

void LoadedOperator::setValues(std::initializer_list<int32_t> values) {
    int number = 1;
    for (int32_t value : values) setValue(number++, value);
}

void LoadedOperator::restoreParams() {
    for (size_t i = 0; i < initialParams_.size(); ++i) {
        std::memcpy(param(int(i) + 1), initialParams_[i].data(), initialParams_[i].size());
    }
}

}  // namespace fxtest
