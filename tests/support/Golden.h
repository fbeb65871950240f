// Golden checksums: the checksum of an output compared with the one a table
// recorded. Set FIELDFX_PRINT_GOLDEN=1 to print every row with the checksum
// computed now, for pasting into the table after a deliberate change.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <type_traits>

namespace fxtest {

inline bool printGolden() { return std::getenv("FIELDFX_PRINT_GOLDEN") != nullptr; }

// "{a, b, c}": the fields of a table row, numbers written as numbers.
template <typename... Fields>
std::string braced(const Fields&... fields) {
    std::ostringstream out;
    const char* separator = "";
    auto put = [&](const auto& field) {
        out << separator;
        if constexpr (std::is_integral_v<std::decay_t<decltype(field)>>) {
            out << static_cast<long long>(field);
        } else {
            out << field;
        }
        separator = ", ";
    };
    out << '{';
    (put(fields), ...);
    out << '}';
    return out.str();
}

// Checks `actual` against the checksum `recorded` in the row whose other
// fields are `row`, and prints the row with `actual` when asked to.
template <typename... Fields>
void expectGolden(uint64_t actual, uint64_t recorded, const Fields&... row) {
    char sum[24];
    std::snprintf(sum, sizeof sum, "0x%016llxull", static_cast<unsigned long long>(actual));
    if (printGolden()) std::printf("        %s,\n", braced(row..., std::string(sum)).c_str());
    EXPECT_EQ(actual, recorded) << braced(row...);
}

}  // namespace fxtest
