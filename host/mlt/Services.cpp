#include "Services.h"

#include <unistd.h>

#include <map>

#include "Error.h"
#include "Text.h"

namespace fieldfx::mlt {

namespace {

// Kdenlive's effect groups (the texts of its category file), where users
// look for effects of each sort.
const std::map<std::string, std::string> kKdenliveGroups = {
    {"Blur", "Blur and Sharpen"},
    {"Dye", "Color and Image correction"},
    {"Glow", "Stylize"},
    {"Limelight", "Stylize"},
    {"Patina", "Stylize"},
    {"Underwater", "Transform, Distort and Perspective"},
};

std::vector<ServiceInfo> makeServices() {
    std::vector<ServiceInfo> list;
    for (const KnownOperator& known : knownOperators()) {
        ServiceInfo info;
        info.id = "fieldfx." + lowerCase(known.name);
        info.folder = "fieldfx_" + lowerCase(known.name);
        info.known = &known;
        if (!known.transition) {
            const auto group = kKdenliveGroups.find(known.name);
            info.kdenliveGroup = group != kKdenliveGroups.end() ? group->second : "Misc";
        }
        list.push_back(std::move(info));
    }
    return list;
}

}  // namespace

const std::vector<ServiceInfo>& services() {
    static const std::vector<ServiceInfo> list = makeServices();
    return list;
}

const ServiceInfo* serviceById(const std::string& id) {
    for (const ServiceInfo& info : services()) {
        if (info.id == id) return &info;
    }
    return nullptr;
}

std::unique_ptr<LoadedService> loadService(const ServiceInfo& info, const std::vector<std::string>& directories) {
    const std::string file = "lib" + std::string(info.known->name) + ".so";
    std::string tried;
    for (const std::string& dir : directories) {
        const std::string path = dir + "/" + file;
        if (access(path.c_str(), R_OK) != 0) {
            tried += (tried.empty() ? "" : ", ") + dir;
            continue;
        }
        // A library of that name that is not the operator: on to the next.
        try {
            auto service = std::make_unique<LoadedService>();
            service->info = &info;
            service->library = OperatorLibrary::load(path);
            if (knownOperator(*service->library) != info.known) {
                throw UserError(path, "is not the " + std::string(info.known->name) +
                                          " operator this module knows (its kind or parameters differ)");
            }
            for (const Parameter& p : service->library->parameters()) service->initial.push_back(readValue(p));
            return service;
        } catch (const UserError& e) {
            tried += (tried.empty() ? "" : ", ") + std::string(e.what());
        }
    }
    throw UserError(info.id, "cannot load " + file + " (looked in " + (tried.empty() ? "no directory" : tried) + ")");
}

std::string mltType(const Parameter& p) {
    switch (p.kind()) {
    case PARAM_SLIDER: return "integer";
    case PARAM_CHOICE: return "string";
    case PARAM_COLOR:  return "color";
    default:           return "rect";
    }
}

std::string mltValue(const Parameter& p, const ParamValue& v) {
    switch (p.kind()) {
    case PARAM_SLIDER: return std::to_string(v.number);
    case PARAM_CHOICE:
        return v.number >= 0 && size_t(v.number) < p.entries.size() ? entryText(p, size_t(v.number))
                                                                    : std::to_string(v.number);
    case PARAM_COLOR: {
        uint8_t rgb[3];
        colorToRgb(v, rgb);
        static const char* const hex = "0123456789abcdef";
        std::string text = "#";
        for (uint8_t c : rgb) {
            text += hex[c >> 4];
            text += hex[c & 15];
        }
        return text;
    }
    default: return std::to_string(v.x) + " " + std::to_string(v.y);
    }
}

}  // namespace fieldfx::mlt
