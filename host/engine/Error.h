// The one kind of failure the program reports to its user: what failed and
// why, printed as "fieldfx: <what>: <why>" with a non-zero exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace fieldfx {

class UserError : public std::runtime_error {
public:
    UserError(std::string what, std::string why)
        : std::runtime_error(what + ": " + why), what_(std::move(what)), why_(std::move(why)) {}
    const std::string& subject() const { return what_; }
    const std::string& reason() const { return why_; }

private:
    std::string what_;
    std::string why_;
};

}  // namespace fieldfx
