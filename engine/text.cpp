#include "text.h"

#include <charconv>
#include <cstring>

#include "ascii.h"

namespace velloran {
namespace {

bool needsEscape(unsigned char c) {
    return c <= 0x20 || c >= 0x7F || std::strchr("\"#<>\\^`{|}", c) != nullptr;
}

}  // namespace

bool sortsAfter(std::string_view a, std::string_view b) {
    // string_view compares as unsigned char, so bytes above 0x7F sort last.
    return a.compare(b) > 0;
}

std::string percentageText(std::uint64_t requested, std::uint64_t announced) {
    // Split so that 100 * requested cannot overflow for any file size.
    const std::uint64_t whole = requested / announced * 100 + requested % announced * 100 / announced;
    return std::to_string(whole) + "%";
}

std::optional<std::uint64_t> parseByteCount(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string normaliseSiteAddress(std::string_view address) {
    if (address.empty()) return {};
    std::string normal(address);
    if (normal.back() != '/') normal += '/';
    if (!startsWithIgnoringCase(normal, "http://") && !startsWithIgnoringCase(normal, "https://")) {
        normal.insert(0, "http://");
    }
    return normal;
}

std::string encodeRequestAddress(std::string_view address) {
    std::string encoded;
    encoded.reserve(address.size());
    for (const char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (needsEscape(byte)) {
            encoded += '%';
            appendHex(encoded, byte, HexCase::Upper);
        } else {
            encoded += c;
        }
    }
    return encoded;
}

}  // namespace velloran
