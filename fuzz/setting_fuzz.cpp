// Fuzz target for --set values and keyframes: the first byte picks an
// operator (so every parameter kind is reached), the rest is the text after
// "--set". A parsed setting is evaluated over the run and written into the
// descriptor, as a render does.
#include <memory>
#include <string>
#include <vector>

#include "Error.h"
#include "Operator.h"
#include "Values.h"

namespace {

std::vector<std::unique_ptr<fieldfx::OperatorLibrary>>& operators() {
    static std::vector<std::unique_ptr<fieldfx::OperatorLibrary>> loaded = [] {
        std::vector<std::unique_ptr<fieldfx::OperatorLibrary>> ops;
        for (const char* name : {"Dye", "Blur", "Glow", "Limelight", "Underwater", "Rotate", "Rebound", "Patina"}) {
            try {
                ops.push_back(fieldfx::OperatorLibrary::load(std::string(FIELDFX_LIB_DIR) + "/lib" + name + ".so"));
            } catch (const fieldfx::UserError&) {
            }
        }
        return ops;
    }();
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    auto& ops = operators();
    if (size == 0 || ops.empty()) return 0;
    const fieldfx::OperatorLibrary& op = *ops[bytes[0] % ops.size()];
    const std::string text(reinterpret_cast<const char*>(bytes + 1), size - 1);
    try {
        const fieldfx::Setting setting = fieldfx::parseSetting(op, text, fieldfx::Rational{50, 1});
        for (int64_t position : {int64_t{0}, int64_t{1}, int64_t{7}, int64_t{1000}, int64_t{1} << 40}) {
            const fieldfx::ParamValue value = fieldfx::valueAt(setting, position);
            fieldfx::writeValue(*setting.parameter, value);
            (void)fieldfx::describeValue(*setting.parameter, fieldfx::readValue(*setting.parameter));
        }
    } catch (const fieldfx::UserError&) {
    }
    return 0;
}
