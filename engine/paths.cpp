#include "paths.h"

#include <algorithm>
#include <array>

#include "ascii.h"
#include "file_names.h"

namespace velloran {
namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Windows maps these names to devices whatever the extension ("nul.txt" is
// NUL), so writing one would never reach a file.
bool isDeviceName(std::string_view component) {
    std::string stem = upperAscii(component.substr(0, component.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static constexpr std::array<std::string_view, 6> plain{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::find(plain.begin(), plain.end(), stem) != plain.end()) return true;
    if (stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT"))) {
        // Digits 0-9, and the superscripts 1, 2, 3 of the ANSI code page, which
        // Windows also maps to ports.
        unsigned char d = static_cast<unsigned char>(stem[3]);
        return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return false;
}

// Built by appending: GCC 12 at -O3 misreports `"literal" + std::string` as an
// overlapping copy (-Wrestrict).
std::string quoted(std::string_view before, std::string_view text, std::string_view after) {
    std::string out(before);
    out.append(1, '"').append(text).append(1, '"').append(after);
    return out;
}

std::string refusedComponent(std::string_view c) {
    if (c == "." || c == "..") return quoted("a path may not contain ", c, "");
    if (c.size() > 255) return "a name may not be longer than 255 characters";
    for (char ch : c) {
        unsigned char u = static_cast<unsigned char>(ch);
        if (u < 0x20 || u == 0x7F) return "a name may not contain control characters";
        if (ch == ':') return "a name may not contain \":\" (drive letters and streams are refused)";
        if (std::string_view("<>\"|?*").find(ch) != std::string_view::npos)
            return quoted("a name may not contain ", std::string_view(&ch, 1), "");
    }
    if (c.back() == '.' || c.back() == ' ') return "a name may not end with a dot or a space";
    if (isDeviceName(c)) return quoted("", c, " is a device name");
    if (startsWithIgnoringCase(c, kTempPrefix)) return quoted("", c, " is a name the updater keeps for its own temporary files");
    return {};
}

}  // namespace

std::string normaliseFolder(std::string_view folder) {
    if (!folder.empty() && isSeparator(folder.front())) folder.remove_prefix(1);
    if (!folder.empty() && isSeparator(folder.back())) folder.remove_suffix(1);
    return std::string(folder);
}

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || isSeparator(path[i])) {
            if (i > start) parts.emplace_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

std::string refusedTarget(std::string_view folder, std::string_view name) {
    // What is left of a separator after the one-character normalisation means
    // the value was absolute or a network (UNC) name to begin with.
    if (!folder.empty() && isSeparator(folder.front()))
        return "the folder is an absolute or network path";
    if (name.empty()) return "the name is empty";
    if (isSeparator(name.front())) return "the name is an absolute path";
    if (isSeparator(name.back())) return "the name ends with a separator";
    for (std::string_view part : {folder, name}) {
        for (const std::string& c : pathComponents(part)) {
            std::string why = refusedComponent(c);
            if (!why.empty()) return why;
        }
    }
    return {};
}

}  // namespace velloran
