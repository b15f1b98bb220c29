// Where a file of the update lands under the program folder, and what stands
// in the way: the folders still to make and a link that would lead out.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs.h"

namespace modUpdate {

struct Target {
    // The file's full path.
    std::string path;
    // Folders to make before the file can be written, outermost first.
    std::vector<std::string> missingFolders;
    // An existing folder on the way that is a link (or lies under one)
    // leading outside the program folder; empty when there is none.
    std::string leadsOutside;
};

// Results of FileReader::liesOutside by folder path, for walks that pass the
// same folders many times.
using OutsideCache = std::unordered_map<std::string, bool>;

// Locates `folder` (normalised, already checked by refusedTarget) and `name`
// under the program folder. An existing folder whose name differs only in
// letter case is used as it is, so a manifest written for a case-blind file
// system finds its folders here; missing ones take the names as written. The
// file name itself is taken as written, as the engine reads its own files
// (info.ini, temp.ini) by their exact names. Never writes.
Target locateTarget(velloran::FileReader& fs, std::string_view folder, std::string_view name,
                    OutsideCache* cache = nullptr);

// Makes the target's missing folders.
void makeFolders(velloran::FileSystem& fs, const Target& target);

}  // namespace modUpdate
