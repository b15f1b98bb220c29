#include "http_framing.h"

#include <charconv>

namespace velloran {
namespace {

// Plain decimal digits only, between optional blanks: from_chars alone would
// also take a leading part ("16" of "16e-1"), the very misreading to avoid.
std::optional<std::uint64_t> plainLength(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;  // beyond 64 bits
    return value;
}

}  // namespace

Framing judgeFraming(const std::vector<std::string>& contentLengths, bool transferEncoded) {
    if (contentLengths.empty()) return {};
    if (transferEncoded) return {std::nullopt, "The server announced both a Content-Length and a Transfer-Encoding"};
    std::optional<std::uint64_t> length;
    for (const std::string& text : contentLengths) {
        const std::optional<std::uint64_t> value = plainLength(text);
        if (!value) return {std::nullopt, "The server announced an invalid Content-Length"};
        if (length && *length != *value) return {std::nullopt, "The server announced conflicting Content-Length values"};
        length = value;
    }
    return {length, {}};
}

}  // namespace velloran
