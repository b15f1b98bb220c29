#include "settings.h"

#include <algorithm>

#include "ascii.h"

namespace velloran {
namespace {

// The profile reader's whitespace: space, TAB and VT. FF and ^Z are ordinary
// characters, as on Windows.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v'; }

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}


// A file that starts with the UTF-16LE byte order mark is read as UTF-16 and
// handed on in a single-byte form: code points below 256 as that byte (Latin-1),
// everything else, a surrogate pair included, as one '?'.
std::string narrowUtf16Le(std::string_view bytes) {
    std::string narrow;
    narrow.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned unit = static_cast<unsigned char>(bytes[i]) |
                              static_cast<unsigned char>(bytes[i + 1]) << 8;
        const bool highSurrogate = unit >= 0xD800 && unit <= 0xDBFF;
        if (highSurrogate && i + 3 < bytes.size()) {
            const unsigned next = static_cast<unsigned char>(bytes[i + 2]) |
                                  static_cast<unsigned char>(bytes[i + 3]) << 8;
            if (next >= 0xDC00 && next <= 0xDFFF) i += 2;
        }
        narrow += unit < 0x100 ? static_cast<char>(unit) : '?';
    }
    return narrow;
}

// The value as the reader hands it out: up to the first NUL, then one pair of
// matching quote marks around it removed.
std::string valueText(std::string_view raw) {
    raw = raw.substr(0, raw.find('\0'));
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
        raw = raw.substr(1, raw.size() - 2);
    }
    return std::string(raw);
}

}  // namespace

SettingsDocument::SettingsDocument(std::string_view bytes) {
    std::string decoded;
    if (bytes.starts_with("\xFF\xFE")) {
        decoded = narrowUtf16Le(bytes.substr(2));
        bytes = decoded;
    } else if (bytes.starts_with("\xFE\xFF")) {
        return;  // UTF-16BE is not understood: every line would be garbage anyway
    }
    // A UTF-8 byte order mark gets no treatment: it stays in front of line 1,
    // which then is no section header.

    Section* current = nullptr;  // null before the first header and inside a repeated section
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // Lines end at CR or LF; a run of them only adds empty lines, which are skipped.
        const std::size_t end = std::min(bytes.find_first_of("\r\n", pos), bytes.size());
        std::string_view line = trimBlanks(bytes.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            // The name runs to the first ']' (or to the line end); the rest
            // of the line is ignored.
            const std::string_view name = trimBlanks(line.substr(1, line.find(']') - 1));
            auto [it, inserted] = sections_.try_emplace(lowerAscii(name));
            current = inserted ? &it->second : nullptr;
        } else if (current != nullptr) {
            const std::size_t equals = line.find('=');
            const std::string_view key = trimBlanks(line.substr(0, equals));
            const std::string_view value =
                equals == std::string_view::npos ? std::string_view() : trimBlanks(line.substr(equals + 1));
            current->values.try_emplace(lowerAscii(key), valueText(value));
        }
    }
}

std::string SettingsDocument::get(std::string_view section, std::string_view key,
                                  std::size_t bufferSize) const {
    if (bufferSize == 0) return {};
    const auto found = sections_.find(lowerAscii(trimSpaces(section)));
    if (found == sections_.end()) return {};
    const auto entry = found->second.values.find(lowerAscii(trimSpaces(key)));
    if (entry == found->second.values.end()) return {};
    // The length of a value is kept in 16 bits: it wraps before the buffer cuts it.
    const std::size_t length = std::min(entry->second.size() % 65536, bufferSize - 1);
    return entry->second.substr(0, length);
}

bool SettingsDocument::hasSection(std::string_view section) const {
    return sections_.count(lowerAscii(trimSpaces(section))) > 0;
}

std::vector<std::string> SettingsDocument::keys(std::string_view section) const {
    std::vector<std::string> names;
    const auto found = sections_.find(lowerAscii(trimSpaces(section)));
    if (found == sections_.end()) return names;
    names.reserve(found->second.values.size());
    for (const auto& entry : found->second.values) names.push_back(entry.first);
    return names;
}

}  // namespace velloran
