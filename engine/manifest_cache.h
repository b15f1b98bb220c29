// Parsed manifests by path, so that the many readSetting calls of one run
// parse each file once. An entry is checked against the file's stamp at
// every use, so a file replaced behind the cache's back is read again.
#pragma once

#include <string>
#include <unordered_map>

#include "fs.h"
#include "settings.h"

namespace modUpdate {

class ManifestCache {
public:
    explicit ManifestCache(velloran::FileReader& files) : files_(files) {}

    // The parsed settings file at `path`; an empty document when it cannot
    // be read or is larger than any manifest (64 MiB). Valid until the next
    // call for the same path.
    const velloran::SettingsDocument& file(const std::string& path);

    // Drops the parse of `path`; called whenever the engine replaces it.
    void forget(const std::string& path) { parsed_.erase(path); }

private:
    struct Parsed {
        velloran::FileStamp stamp;
        velloran::SettingsDocument document;
    };
    velloran::FileReader& files_;
    std::unordered_map<std::string, Parsed> parsed_;
};

}  // namespace modUpdate
