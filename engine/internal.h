// Helpers shared by the engine's own files; not for callers of the engine.
#pragma once

#include <string>

#include "../platform/fs.h"
#include "../platform/http.h"
#include "../platform/digest.h"
#include "mod_update.h"
#include "settings.h"

namespace modUpdate::detail {

velloran::StatusSurface& surface();
velloran::HttpTransfer& http();
velloran::FileSystem& fs();

// Drops the cached parse of `path`; called whenever the engine replaces it.
void forgetSettings(const std::string& path);

// The parsed settings file at `path` (empty when it cannot be read), what
// readSetting reads from. Loops over many entries take it once: the file
// cannot change under them, as they pump no messages. Valid until the next
// call for the same path.
const velloran::SettingsDocument& settingsFile(const std::string& path);

// Waits for the network at most one pump interval, then pumps the window.
void awaitNetwork();

// downloadFile for "info.ini" into `localName`, refusing a manifest larger
// than the configured cap.
void downloadManifest(const std::string& localName, velloran::Durability durability);

// What the manifest promises about the file being fetched (FileSize and
// FileHash of the entry); empty texts promise nothing. Set by the file pass
// around each download.
struct Expectation {
    std::string size;
    std::string sha256;
};
inline Expectation expected;

// Removes temporary files that an interrupted run left under the program
// folder.
void removeLeftovers();

}  // namespace modUpdate::detail
