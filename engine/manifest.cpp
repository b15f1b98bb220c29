#include "manifest.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "ascii.h"

namespace modUpdate {
namespace {

constexpr std::array<std::string_view, 5> kEntryWords{"FileName", "FileVersion", "FilePath", "FileSize", "FileHash"};

// The number of an entry key as the engine asks for it: decimal digits, no
// sign, no leading zero. 0 for anything else.
std::int64_t entryNumber(std::string_view digits, std::int64_t bound) {
    if (digits.empty() || digits.front() == '0' || digits.size() > 18) return 0;
    std::int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n <= bound ? n : 0;
}

}  // namespace

std::vector<std::int64_t> listedEntries(const velloran::SettingsDocument& manifest, std::int64_t bound) {
    // keys() gives lower-case names.
    static const std::array<std::string, kEntryWords.size()> lowerWords = [] {
        std::array<std::string, kEntryWords.size()> words;
        for (std::size_t i = 0; i < words.size(); ++i) words[i] = velloran::lowerAscii(kEntryWords[i]);
        return words;
    }();
    std::vector<std::int64_t> listed;
    for (const std::string& key : manifest.keys("FILES")) {
        // Every entry word starts with "file" and ends before the digits.
        const std::size_t digits = key.find_first_of("0123456789");
        if (digits == std::string::npos) continue;
        const std::string_view word = std::string_view(key).substr(0, digits);
        if (std::find(lowerWords.begin(), lowerWords.end(), word) == lowerWords.end()) continue;
        if (const std::int64_t n = entryNumber(std::string_view(key).substr(digits), bound); n > 0) listed.push_back(n);
    }
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
    return listed;
}

bool sameRelease(const velloran::SettingsDocument& a, const velloran::SettingsDocument& b, std::int64_t entries) {
    for (const char* key : {"Version", "GameFileName", "Max"})
        if (a.get("VERSION", key) != b.get("VERSION", key)) return false;
    if (listedEntries(a, entries) != listedEntries(b, entries)) return false;
    for (const std::int64_t i : listedEntries(a, entries)) {
        const std::string number = std::to_string(i);
        for (std::string_view word : kEntryWords) {
            const std::string key = std::string(word) + number;
            if (a.get("FILES", key) != b.get("FILES", key)) return false;
        }
    }
    return true;
}

}  // namespace modUpdate
