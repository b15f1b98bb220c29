#include "text.h"

#include <cstring>

namespace velloran {
namespace {

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

bool needsEscape(unsigned char c) {
    return c <= 0x20 || c >= 0x7F || std::strchr("\"#<>\\^`{|}", c) != nullptr;
}

}  // namespace

std::string trimSpaces(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

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
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(address.size());
    for (const char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (needsEscape(byte)) {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        } else {
            encoded += c;
        }
    }
    return encoded;
}

}  // namespace velloran
