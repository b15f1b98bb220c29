// `velloran-publish verify`: whether a site keeps every promise its info.ini
// makes, as a client will hold it to them.
#pragma once

#include <cstdint>
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

// With the publisher's public key (PEM text): also whether info.ini.sig is a
// signature by it over info.ini's exact bytes, and whether the manifest
// carries a Serial and an Expires the client reads, not past at `now`
// (seconds since 1970-01-01T00:00:00Z). Throws Failure (Refused) when the
// key is no P-256 public key.
std::vector<std::string> verifySignedSite(FileSystem& fs, const std::string& site, const std::string& publicKeyPem,
                                          std::int64_t now, Progress& progress);

}  // namespace velloran::publish
