// `velloran-publish verify`: whether a site keeps every promise its info.ini
// makes, as a client will hold it to them.
#pragma once

#include <string>
#include <vector>

#include "fs.h"
#include "progress.h"

namespace velloran::publish {

// One line per problem, empty for a sound site: a listed file missing, of
// another size or hash than promised, or without a FileSize and FileHash; a
// name the client's checks refuse; two names that are one file on a host
// that ignores letter case, or one file in the program folder; a Max that
// does not cover every entry or that the client cannot read; an empty
// Version; a leftover temporary file of an interrupted build.
// Throws Failure (NotFound) when `site` is no folder or holds no manifest.
std::vector<std::string> verifySite(FileSystem& fs, const std::string& site, Progress& progress);

}  // namespace velloran::publish
