// The engine's own ways of fetching, below downloadFile: what the update run
// and the file pass use besides the plain routine. Not for other callers.
#pragma once

#include <cstddef>
#include <string>

#include "fs.h"
#include "mod_update.h"

namespace modUpdate {

// What a manifest entry promises about its file (its FileSize and FileHash
// texts); empty texts promise nothing.
struct Promise {
    std::string size;
    std::string sha256;
};

// downloadFile with the entry's promise, checked before the file replaces
// anything, a cap on the body, and the durability of the commit.
void downloadChecked(Context& run, const std::string& remoteName, const std::string& localName,
                     const Promise& promise, std::size_t cap, velloran::Durability durability);

// downloadFile for the remote manifest into `localName`, refusing one larger
// than the configured cap.
void downloadManifest(Context& run, const std::string& localName, velloran::Durability durability);

// The whole text at `url`, at most `cap` bytes (the rest is dropped).
// Throws a Network Failure when no answer came; an answer with an error
// status gives its body.
std::string fetchText(Context& run, const std::string& url, std::size_t cap);

}  // namespace modUpdate
