// modUpdate: the update run.
//
// The engine is a set of routines over module-level engine values, alive for
// the whole process. startUpdate() is the process's start routine: it shows
// the window, brings the program folder up to date from the update site and
// returns; the program then lives on in the window's message loop.
//
// The engine reaches the world only through the services bound with
// bindServices(): the window (StatusSurface, FailureReport), the HTTP transfer
// and the file system. The caller owns them; they must outlive every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// A table indexed 1..fileCount (index 0 is unused).
using FileTable = std::vector<FileRecord>;

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
};

// Binds the services and puts the engine values back to their state at
// process start.
void bindServices(const Services& services);
const Services& services();

// The start routine. Any Failure ends in the failure report; the routine
// then returns (the real report never lets it).
void startUpdate();

// Reads `key` in `section` of the settings file at `path`. Missing file,
// section or key read as the empty text. Parsed files are cached by path and
// stamp, so repeated reads of an unchanged file cost a hash lookup.
std::string readSetting(const std::string& path, const std::string& section,
                        const std::string& key);

// Fetches baseUrl + remoteName into localName in the program folder (or the
// currentFolder subfolder), showing the percentage in Label4 and the
// completion in L3. Only a complete 2xx response replaces the target; any
// other outcome throws Failure and leaves the target as it was.
void downloadFile(const std::string& remoteName, const std::string& localName);

// Fetches the whole text at `url`, at most `cap` bytes (the rest is dropped).
// Throws Failure on a transport failure; a non-2xx status returns the body.
std::string fetchText(const std::string& url, std::size_t cap, int* status = nullptr);

void loadFileTables();
void runFilePass();

// Full path of `name` in the program folder.
std::string programPath(const std::string& name);

}  // namespace modUpdate
