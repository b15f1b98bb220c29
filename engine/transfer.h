// The engine's own ways of fetching, below downloadFile: what the update run
// and the file pass use besides the plain routine. Not for other callers.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <string_view>
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

// What a download checks before its bytes replace anything.
struct Checks {
    Promise promise;
    // The most body bytes accepted.
    std::size_t cap = std::numeric_limits<std::size_t>::max();
    // Called with the whole body before it is stored; throws Failure to
    // refuse it. The body is then kept in memory, so only manifests (capped)
    // use it.
    std::function<void(std::string_view body)> vet;
};

// The answers that carry a whole file: 204 or 205 carry none, and a 206
// only the range asked for.
inline bool carriesWholeFile(int status) { return status == 200 || status == 203; }

// downloadFile under `checks`, committed with `durability`.
void downloadChecked(Context& run, const std::string& remoteName, const std::string& localName, const Checks& checks,
                     velloran::Durability durability);

// downloadFile for the remote manifest into `localName`, refusing one larger
// than the configured cap and one that `vet` refuses.
void downloadManifest(Context& run, const std::string& localName, velloran::Durability durability,
                      std::function<void(std::string_view body)> vet);

// The whole text at `url`, at most `cap` bytes (the rest is dropped).
// Throws a Network Failure when no answer came; an answer with an error
// status gives its body.
std::string fetchText(Context& run, const std::string& url, std::size_t cap);

// The whole body at `url`, which must be a complete 200 (or 203) answer of
// at most `cap` bytes; anything else throws Failure (Network when no answer
// came, Protocol otherwise).
std::string fetchWhole(Context& run, const std::string& url, std::size_t cap);

}  // namespace modUpdate
