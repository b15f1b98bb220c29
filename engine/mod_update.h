// modUpdate: the update run.
//
// The engine is a set of routines over module-level engine values, alive for
// the whole process. startUpdate() is the process's start routine: it shows
// the window, brings the program folder up to date from the update site and
// returns; the program then lives on in the window's message loop.
//
// Everything else a routine needs comes in as an argument: the services (the
// window, the HTTP transfer, the file system), which the caller owns and
// which must outlive the call, and the Context of the run, which holds the
// services and the manifests parsed so far.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest_cache.h"
#include "status_surface.h"

namespace velloran {
class HttpTransfer;
class FileSystem;
class Sha256;
}

namespace modUpdate {

struct FileRecord {
    std::string FileName;
    std::string FileVersion;
    std::string FilePath;
};

// A table of records indexed 1..size(). Only the records of the entries a
// manifest lists are kept; every other record is empty, as the entries a
// manifest does not list read. So a Max far beyond the entries, or entry
// numbers far apart, cost neither memory nor time.
class FileTable {
public:
    // size() empty records, none stored.
    void reset(std::int64_t size) {
        size_ = size;
        records_.clear();
    }
    std::int64_t size() const { return size_; }
    // How many records are kept.
    std::int64_t stored() const { return static_cast<std::int64_t>(records_.size()); }
    // The numbers of the kept records, in increasing order.
    std::vector<std::int64_t> numbers() const {
        std::vector<std::int64_t> out;
        out.reserve(records_.size());
        for (const auto& entry : records_) out.push_back(entry.first);
        return out;
    }
    // Record i, 1 <= i <= size().
    const FileRecord& operator[](std::int64_t i) const {
        static const FileRecord kEmpty;
        const auto found = records_.find(i);
        return found == records_.end() ? kEmpty : found->second;
    }
    // Record i, 1 <= i <= size(), kept from now on so that it can be written.
    FileRecord& at(std::int64_t i) { return records_[i]; }

private:
    std::int64_t size_ = 0;
    std::map<std::int64_t, FileRecord> records_;
};

// Engine values.
inline std::string baseUrl;
inline std::string localVersion;
inline std::string remoteVersion;
inline std::string gameFileName;
inline std::int32_t fileCount = 0;
inline std::int32_t pendingCount = 0;
inline std::int32_t progressCount = 0;
inline std::string currentFolder;
inline FileTable localFiles;
inline FileTable remoteFiles;

// Puts the engine values back to their state at process start, for callers
// that run the engine more than once in one process (tests, benchmarks).
void resetEngineValues();

struct Services {
    velloran::StatusSurface* surface = nullptr;
    velloran::FailureReport* report = nullptr;
    velloran::HttpTransfer* http = nullptr;
    velloran::FileSystem* fs = nullptr;
    // The compiled-in update-site address (host + "/updates", no scheme).
    std::string siteAddress;
    // Longest wait between two window pumps while the network is awaited.
    std::chrono::milliseconds pumpInterval{50};
    // Makes a SHA-256 digest for checking FileHash entries; without it a
    // manifest that names hashes cannot be honoured and fails.
    std::unique_ptr<velloran::Sha256> (*makeSha256)() = nullptr;
    // Bounds on what a server can make the client read. A manifest beyond
    // manifestCap is refused (16 MiB holds some 200,000 entries); news beyond
    // newsCap is cut off.
    std::size_t manifestCap = 16u << 20;
    std::size_t newsCap = 1u << 20;
    // The publisher's public keys (PEM texts) compiled in. With none the site
    // is trusted as it answers; with one or more the manifest must carry a
    // signature (info.ini.sig) by one of them, be fresh (its Serial and
    // Expires) and promise every file's size and hash.
    std::vector<std::string> publicKeys;
    // Checks a DER signature over `message` by a PEM key (platform/signature.h);
    // required when publicKeys is not empty.
    bool (*verifySignature)(std::string_view publicKeyPem, std::string_view message,
                            std::string_view signature) = nullptr;
    // The current time in seconds since 1970-01-01T00:00:00Z; required when
    // publicKeys is not empty.
    std::int64_t (*secondsNow)() = nullptr;
    // The largest signature file accepted: a P-256 signature is some 72 bytes.
    std::size_t signatureCap = 4096;
    // Requests ahead of their turn: while one file downloads, the next ones
    // that are due are already fetched, each into its own resumable file,
    // and installed only when their turn comes. At most `filesAhead` files
    // are under way besides the current one, and a file is started ahead
    // only while the bytes ahead (as announced or promised) stay within
    // `bytesAhead`. 0 files ahead fetches one file after the other.
    std::size_t filesAhead = 7;
    std::uint64_t bytesAhead = 256u << 20;
    // Pauses before trying a transient failure again (a lost or timed-out
    // connection; a 502, 503 or 504; a Retry-After under a minute), one per
    // retry. The window keeps pumping while it waits.
    std::vector<std::chrono::milliseconds> retryPauses{std::chrono::seconds(1), std::chrono::seconds(3),
                                                       std::chrono::seconds(9)};
};

// One run of the engine: the services it was started with and the manifests
// it has parsed. The services must outlive it.
struct Context {
    explicit Context(const Services& bound) : services(bound), manifests(*bound.fs) {}
    const Services& services;
    ManifestCache manifests;
    // The bytes of the remote manifest whose signature was checked, on a
    // site signed by the publisher; empty otherwise.
    std::optional<std::string> signedManifest;
    // True once the update site has answered a request in this run: from
    // then on a transport failure is a link that broke, and is tried again.
    bool siteAnswered = false;
    // Resumable files an earlier run left, by full path, until the run
    // knows which of them its downloads continue.
    std::vector<std::string> resumeLeftovers;

    velloran::StatusSurface& window() const { return *services.surface; }
    velloran::HttpTransfer& http() const { return *services.http; }
    velloran::FileSystem& fs() const { return *services.fs; }
    // Full path of `name` in the program folder.
    std::string programPath(std::string_view name) const;
};

// The start routine. Any Failure ends in the failure report; the routine
// then returns (the real report never lets it).
void startUpdate(const Services& services);

// Reads `key` in `section` of the settings file at `path`. Missing file,
// section or key read as the empty text.
std::string readSetting(Context& run, const std::string& path, const std::string& section,
                        const std::string& key);

// Fetches baseUrl + remoteName into localName in the program folder (or the
// currentFolder subfolder), showing the percentage in Label4 and the
// completion in L3. Only a complete 200 (or 203) response replaces the
// target; any other outcome throws Failure and leaves the target as it was.
void downloadFile(Context& run, const std::string& remoteName, const std::string& localName);

void loadFileTables(Context& run);
void runFilePass(Context& run);

}  // namespace modUpdate
