#include "text.h"

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

std::string percentageText(std::int64_t requested, std::int64_t announced) {
    return std::to_string(requested * 100 / announced) + "%";
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
