#include "SequenceName.h"

#include <cctype>
#include <string>

namespace fieldfx {

namespace {

constexpr int kMaxWidth = 10;
constexpr size_t kMaxDigits = 18;  // any frame number fits in int64_t

// The conversion starting at `at` (a '%'), up to its conversion letter, for
// messages.
std::string conversionAt(const std::string& text, size_t at) {
    static const std::string kLetters = "diouxXeEfFgGaAcspnCSm";
    size_t end = at + 1;
    while (end < text.size() && end - at < 8 && kLetters.find(text[end]) == std::string::npos) ++end;
    return text.substr(at, end < text.size() ? end - at + 1 : end - at);
}

}  // namespace

std::string SequenceName::parse(const std::string& pattern) {
    static const std::string kRule = " (a numbered name holds one %d or %0Nd, like out%04d.png, and %% for a percent sign)";
    pattern_ = pattern;
    prefix_.clear();
    suffix_.clear();
    width_ = 0;
    bool found = false;
    std::string conversion;
    for (size_t i = 0; i < pattern.size(); ++i) {
        std::string& part = found ? suffix_ : prefix_;
        if (pattern[i] != '%') {
            part += pattern[i];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            part += '%';
            ++i;
            continue;
        }
        const std::string here = conversionAt(pattern, i);
        if (found) return "holds two frame numbers, '" + conversion + "' and '" + here + "'" + kRule;
        // %d, or %0 then a width without leading zeros, then d.
        size_t at = i + 1;
        int width = 0;
        if (at < pattern.size() && pattern[at] == '0') {
            ++at;
            if (at >= pattern.size() || pattern[at] < '1' || pattern[at] > '9') return "'" + here + "' is not a frame number" + kRule;
            while (at < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[at])) != 0) {
                if (width > kMaxWidth) break;
                width = width * 10 + (pattern[at++] - '0');
            }
            if (width > kMaxWidth) {
                return "'" + here + "' is too wide (at most " + std::to_string(kMaxWidth) + " digits)" + kRule;
            }
        }
        if (at >= pattern.size() || pattern[at] != 'd') {
            return (here == "%" ? std::string("a '%' ends it") : "'" + here + "' is not a frame number") + kRule;
        }
        found = true;
        conversion = here;
        width_ = width;
        i = at;
    }
    if (!found) return "holds no frame number" + kRule;
    if (suffix_.find('/') != std::string::npos) return "its frame number is in a directory's name, not the file's" + kRule;
    return {};
}

std::string SequenceName::name(int64_t number) const {
    std::string digits = std::to_string(number < 0 ? 0 : number);
    if (digits.size() < size_t(width_)) digits.insert(0, size_t(width_) - digits.size(), '0');
    return prefix_ + digits + suffix_;
}

bool SequenceName::numberOf(const std::string& name, int64_t& number) const {
    if (name.size() <= prefix_.size() + suffix_.size() || name.compare(0, prefix_.size(), prefix_) != 0 ||
        name.compare(name.size() - suffix_.size(), suffix_.size(), suffix_) != 0) {
        return false;
    }
    const std::string digits = name.substr(prefix_.size(), name.size() - prefix_.size() - suffix_.size());
    if (digits.size() > kMaxDigits) return false;
    int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (this->name(n) != name) return false;  // other padding than this sequence's
    number = n;
    return true;
}

std::string SequenceName::directory() const {
    const size_t slash = prefix_.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : prefix_.substr(0, slash);
}

std::string SequenceName::directoryPrefix() const {
    const size_t slash = prefix_.rfind('/');
    return slash == std::string::npos ? std::string() : prefix_.substr(0, slash + 1);
}

}  // namespace fieldfx
