#include "target.h"

#include "paths.h"

namespace modUpdate {
namespace {

bool liesOutside(velloran::FileReader& fs, const std::string& root, const std::string& path, OutsideCache* cache) {
    if (!cache) return fs.liesOutside(root, path);
    auto [known, added] = cache->try_emplace(path, false);
    if (added) known->second = fs.liesOutside(root, path);
    return known->second;
}

}  // namespace

Target locateTarget(velloran::FileReader& fs, std::string_view folder, std::string_view name, OutsideCache* cache) {
    const std::string root = fs.programFolder();
    std::vector<std::string> parts = velloran::pathComponents(folder);
    for (std::string& part : velloran::pathComponents(name)) parts.push_back(std::move(part));

    Target target;
    std::string path = root;
    bool exists = true;  // every level so far exists
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string actual = exists ? fs.findEntry(path, parts[i]) : std::string();
        exists = !actual.empty();
        path += fs.separator() + (exists ? actual : parts[i]);
        if (!exists) {
            target.missingFolders.push_back(path);
            continue;
        }
        // Written content must stay on the disk the program folder is on,
        // whatever links an installer or a player put there.
        if (target.leadsOutside.empty() && liesOutside(fs, root, path, cache)) target.leadsOutside = path;
    }
    target.path = path + fs.separator() + (parts.empty() ? std::string() : parts.back());
    return target;
}

void makeFolders(velloran::FileSystem& fs, const Target& target) {
    for (const std::string& folder : target.missingFolders) fs.makeFolder(folder);
}

}  // namespace modUpdate
