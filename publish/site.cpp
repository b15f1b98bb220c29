#include "site.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <limits>
#include <map>

#include "ascii.h"
#include "file_names.h"
#include "manifest.h"
#include "paths.h"
#include "settings.h"

namespace velloran::publish {

std::optional<Manifest> parseManifest(std::string_view bytes) {
    const SettingsDocument document(bytes);
    if (!document.hasSection("VERSION")) return std::nullopt;
    Manifest manifest;
    manifest.version = document.get("VERSION", "Version");
    manifest.game = document.get("VERSION", "GameFileName");
    manifest.max = document.get("VERSION", "Max");
    manifest.serial = document.get("VERSION", "Serial");
    manifest.expires = document.get("VERSION", "Expires");
    // Every entry the file lists, not only those below Max: an entry past Max
    // is one the client never saw, and the publisher must know of it.
    const std::vector<std::int64_t> listed =
        modUpdate::listedEntries(document, std::numeric_limits<std::int32_t>::max());
    const std::int64_t last = listed.empty() ? 0 : listed.back();
    manifest.entries.resize(static_cast<std::size_t>(last));
    for (std::int64_t i = 1; i <= last; ++i) {
        const std::string n = std::to_string(i);
        Entry& entry = manifest.entries[static_cast<std::size_t>(i - 1)];
        entry.name = document.get("FILES", "FileName" + n);
        entry.version = document.get("FILES", "FileVersion" + n);
        entry.path = document.get("FILES", "FilePath" + n);
        entry.size = document.get("FILES", "FileSize" + n);
        entry.hash = document.get("FILES", "FileHash" + n);
        // An entry whose values all read empty reads as one that is not
        // there: the client cannot tell them apart.
        entry.hole = entry.name.empty() && entry.version.empty() && entry.path.empty() && entry.size.empty() &&
                     entry.hash.empty();
    }
    return manifest;
}

std::string manifestText(const Manifest& manifest) {
    std::string text = "[VERSION]\r\nVersion=" + manifest.version + "\r\nGameFileName=" + manifest.game +
                       "\r\nMax=" + manifest.max + "\r\n";
    if (!manifest.serial.empty()) text += "Serial=" + manifest.serial + "\r\n";
    if (!manifest.expires.empty()) text += "Expires=" + manifest.expires + "\r\n";
    text += "[FILES]\r\n";
    for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
        const Entry& e = manifest.entries[i];
        if (e.hole) continue;
        const std::string n = std::to_string(i + 1);
        text += "FileName" + n + "=" + e.name + "\r\nFileVersion" + n + "=" + e.version + "\r\nFilePath" + n + "=" +
                e.path + "\r\nFileSize" + n + "=" + e.size + "\r\nFileHash" + n + "=" + e.hash + "\r\n";
    }
    return text;
}

std::string localPath(const Entry& entry) {
    if (trimSpaces(entry.name).empty()) return {};
    // As the client joins them: the folder trimmed and stripped of one
    // separator at each end, then the name, each split at either separator.
    std::vector<std::string> parts = pathComponents(normaliseFolder(trimSpaces(entry.path)));
    for (std::string& part : pathComponents(entry.name)) parts.push_back(std::move(part));
    std::string joined;
    for (const std::string& part : parts) {
        if (!joined.empty()) joined += '/';
        joined += part;
    }
    return joined;
}

std::string foldedName(std::string_view name) {
    std::string folded = lowerAscii(name);
    for (char& c : folded)
        if (c == '\\') c = '/';
    return folded;
}

const std::vector<std::string>& reservedSiteNames() {
    static const std::vector<std::string> names{std::string(kManifestName), std::string(kManifestName) + ".sig",
                                                "news.txt"};
    return names;
}

std::string refusedEntry(const Entry& entry) {
    const std::string why = refusedTarget(normaliseFolder(trimSpaces(entry.path)), entry.name);
    if (!why.empty()) return why;
    // The client reads and replaces these two in its program folder while it
    // runs; a release file stored there would be overwritten or misread.
    const std::string local = foldedName(localPath(entry));
    for (std::string_view own : {kManifestName, kTempManifestName}) {
        if (local != own) continue;
        // Appended: GCC 12 at -O3 misreports "literal" + std::string (-Wrestrict).
        std::string text(1, '"');
        return text.append(localPath(entry)).append("\" is the client's own file in the program folder");
    }
    return {};
}

std::vector<Collision> siteCollisions(const std::vector<std::string>& names) {
    struct Seen {
        std::string name;
        bool folder;
    };
    std::map<std::string, Seen> seen;  // folded -> first occurrence
    std::vector<Collision> found;
    for (const std::string& name : reservedSiteNames()) seen.emplace(name, Seen{name, false});
    for (const std::string& name : names) {
        if (name.empty()) continue;
        // The file itself, then every folder on its way on the site.
        // A file after a file or a folder of its name collides here.
        const std::string folded = foldedName(name);
        if (auto [it, added] = seen.emplace(folded, Seen{name, false}); !added)
            found.push_back({it->second.name, name});
        for (std::size_t slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
            const std::string folder = folded.substr(0, slash);
            auto [it, added] = seen.emplace(folder, Seen{name, true});
            // Two files in one folder share it; a file of that name does not.
            if (!added && !it->second.folder) found.push_back({it->second.name, name});
        }
    }
    return found;
}

std::string siteFile(const FileReader& fs, const std::string& siteFolder, std::string_view siteName) {
    std::string path = siteFolder;
    for (const std::string& part : pathComponents(siteName)) {
        path += fs.separator();
        path += part;
    }
    return path;
}

std::string absoluteFolder(const std::string& path) {
    std::string full = std::filesystem::absolute(std::filesystem::path(path)).lexically_normal().string();
    while (full.size() > 1 && (full.back() == '/' || full.back() == '\\') && full[full.size() - 2] != ':')
        full.pop_back();
    return full;
}

bool isFolder(FileReader& fs, const std::string& path) {
    if (!fs.list(path).empty()) return true;
    // An empty folder lists as nothing, as a missing one does: ask its parent.
    const std::size_t cut = path.find_last_of(std::string("/") + fs.separator());
    if (cut == std::string::npos) return false;
    const std::string parent = cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
    const std::string leaf = path.substr(cut + 1);
    const std::vector<std::string> names = fs.list(parent);
    return std::find(names.begin(), names.end(), leaf + fs.separator()) != names.end();
}

std::vector<std::string> filesUnder(FileReader& fs, const std::string& folder) {
    std::vector<std::string> found;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string relative = pending.back();
        pending.pop_back();
        std::string full = folder;
        for (const std::string& part : pathComponents(relative)) full += fs.separator() + part;
        for (std::string name : fs.list(full)) {
            const bool sub = !name.empty() && name.back() == fs.separator();
            if (sub) name.pop_back();
            (sub ? pending : found).push_back(relative.empty() ? name : relative + "/" + name);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace velloran::publish
