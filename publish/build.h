// `velloran-publish build`: a release folder becomes the next release of an
// update site.
//
// The site's current info.ini is the previous release. Every entry keeps its
// number; a file whose bytes did not change keeps its FileVersion, a changed
// one gets a version that sorts after its old one; new files are appended;
// a file gone from the release stays listed, as the client never deletes
// files. Every entry gets FileSize and FileHash. Files are written first,
// each through a temporary file and a rename, and info.ini last, so a client
// never reads a manifest whose files are not there yet. A signed build writes
// info.ini.sig just before info.ini: in between, a client finds the old
// info.ini with the new signature, refuses it as unsigned and changes
// nothing; it never takes bytes the signature does not cover. A site once
// signed is refused an unsigned build, whose stale info.ini.sig would stop
// every client.
//
// Nothing is written when anything would go wrong for a client: every such
// problem is found first and reported together.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fs.h"
#include "progress.h"

namespace velloran::publish {

enum class Layout {
    Flat,  // FileName = the base name, FilePath = the folder in the release
    Tree,  // FileName = the path in the release with '/', FilePath empty; the site mirrors the tree
};

struct BuildOptions {
    std::string release;  // folder with the files of the release
    std::string site;     // the site folder: holds info.ini and the files
    std::string version;  // the release's Version
    std::optional<std::string> game;         // GameFileName; the previous one when not given
    std::optional<std::string> news;         // a file to publish as news.txt
    std::optional<std::string> fileVersion;  // FileVersion of new and changed files; `version` when not given
    Layout layout = Layout::Flat;
};

// Signing (build --key): the manifest then carries Serial (the previous one
// + 1) and Expires (`now` + freshDays), and info.ini.sig is written for its
// new bytes before info.ini itself.
struct Signing {
    std::string privateKeyPem;
    std::int64_t now = 0;  // seconds since 1970-01-01T00:00:00Z
    std::int64_t freshDays = 90;
};

struct BuildReport {
    std::optional<std::string> previousManifest;  // the site's info.ini before the build, when it had one
    std::string previousVersion;
    std::vector<std::string> added;  // release paths
    struct Change {
        std::string path, from, to;
    };
    std::vector<Change> changed;
    std::vector<std::string> kept;  // release paths
    std::vector<std::string> gone;  // site names of entries no longer in the release
    std::uint64_t copiedFiles = 0, copiedBytes = 0;
    std::size_t entries = 0;
};

// Throws Failure: Refused with one line per problem when the release cannot
// be published as asked (nothing written); NotFound for a missing or
// unreadable input, or a site folder that is not a site; Io or DiskFull when
// writing fails part-way (the old info.ini then still stands).
BuildReport buildSite(FileSystem& fs, const BuildOptions& options, Progress& progress,
                      const std::optional<Signing>& signing = std::nullopt);

}  // namespace velloran::publish
