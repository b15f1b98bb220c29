// An update site as the publisher sees it: the manifest (info.ini) as a table
// of numbered entries, where each entry's file lives on the site and where the
// client stores it, and the rules a site must keep for the client to work.
//
// Every rule the client applies comes from the engine (its settings reader,
// its version order, its path checks); this file only asks them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs.h"
#include "text.h"

namespace velloran::publish {

// One numbered entry, its values as the client's settings reader reads them.
// An entry with no key at all is a hole: written back as nothing.
struct Entry {
    std::string name;     // FileName: the file's name on the site
    std::string version;  // FileVersion
    std::string path;     // FilePath: the folder the client stores it in
    std::string size;     // FileSize, decimal bytes; empty when not promised
    std::string hash;     // FileHash, SHA-256 hex; empty when not promised
    bool hole = false;
};

struct Manifest {
    std::string version;  // [VERSION] Version
    std::string game;     // GameFileName
    std::string max;      // Max, as written
    // Serial and Expires, which a signed publication carries; empty in an
    // unsigned one (and then not written).
    std::string serial;
    std::string expires;
    std::vector<Entry> entries;  // entries[0] is entry 1; up to the last one listed
};

// The manifest in `bytes`; nullopt when the client would not take it for one
// (no [VERSION] section).
std::optional<Manifest> parseManifest(std::string_view bytes);

// The manifest as info.ini text: [VERSION] with Version, GameFileName and Max
// (and Serial and Expires when not empty), then [FILES] with FileName, FileVersion, FilePath, FileSize and FileHash of
// every entry that is not a hole. Lines end with CR LF.
std::string manifestText(const Manifest& manifest);

// Where the client stores the entry's file, relative to its program folder,
// with '/' between components ("maps/forest.map"). Empty for an entry
// without a name.
std::string localPath(const Entry& entry);

// The name a site (or a file system) that ignores letter case sees.
std::string foldedName(std::string_view name);

// The file names the site keeps for itself: info.ini, info.ini.sig, news.txt.
const std::vector<std::string>& reservedSiteNames();

// Why the client would refuse to store `entry`, or the empty text when it
// would not: the engine's own path checks, plus the files the client keeps
// in its program folder for itself (info.ini, temp.ini).
std::string refusedEntry(const Entry& entry);

// One pair of names that would be the same file on the site.
struct Collision {
    std::string first, second;  // site names, first in entry order
};

// The collisions among the site names `names` (entry order) and against the
// reserved site names, compared without regard to letter case, as a
// case-blind host or CDN sees them. A file name that equals a folder on the
// way to another file counts too ("Maps" beside "maps/a.map").
std::vector<Collision> siteCollisions(const std::vector<std::string>& names);

// Where the site file of `siteName` is on disk: `siteFolder` joined with the
// name's components ('/' and '\' both separate), by the file service's
// separator.
std::string siteFile(const FileReader& fs, const std::string& siteFolder, std::string_view siteName);

// A folder named on the command line as a full path, without a trailing
// separator.
std::string absoluteFolder(const std::string& path);

// True when `path` (a full path) is an existing folder.
bool isFolder(FileReader& fs, const std::string& path);

// Every entry under `folder` that is not a folder, at any depth, as a path
// relative to it with '/' between components, sorted. A link to a folder is
// not followed: it is listed like a file.
std::vector<std::string> filesUnder(FileReader& fs, const std::string& folder);

// A byte count as FileSize writes it: the engine's own rule.
using velloran::parseByteCount;

}  // namespace velloran::publish
