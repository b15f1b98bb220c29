// Byte-wise text rules that do not depend on the C locale: letter case of the
// ASCII letters only (bytes above 0x7F are left as they are, as the settings
// reader and Windows' file names treat them), and hexadecimal digits.
#pragma once

#include <string>
#include <string_view>

namespace velloran {

constexpr char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string lowerAscii(std::string_view text);
std::string upperAscii(std::string_view text);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);

// Removes space characters (only ' ') at both ends.
std::string_view trimSpaces(std::string_view text);

// Two hexadecimal digits per byte, lower-case ("9f86...") or upper-case.
enum class HexCase { Lower, Upper };
void appendHex(std::string& out, unsigned char byte, HexCase letters);
std::string hexText(std::string_view bytes, HexCase letters = HexCase::Lower);

}  // namespace velloran
