// Manifests as a publisher writes them, for every C++ test and benchmark.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace velloran::test {

// FileName, FileVersion, FilePath.
using Entry = std::array<std::string, 3>;

// [VERSION] with Version, GameFileName and Max (the number of entries unless
// `max` gives another text, the empty one included), then [FILES] with the entries, then `extra`
// (more keys of [FILES]). Lines end with CR LF.
inline std::string manifest(const std::string& version, const std::vector<Entry>& entries,
                            const std::string& extra = "", const std::optional<std::string>& max = std::nullopt,
                            const std::string& game = "game.exe") {
    std::string text = "[VERSION]\r\nVersion=" + version + "\r\nGameFileName=" + game +
                       "\r\nMax=" + (max ? *max : std::to_string(entries.size())) + "\r\n[FILES]\r\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        text += "FileName" + n + "=" + entries[i][0] + "\r\nFileVersion" + n + "=" + entries[i][1] +
                "\r\nFilePath" + n + "=" + entries[i][2] + "\r\n";
    }
    return text + extra;
}

}  // namespace velloran::test
