#include "failure.h"
#include "internal.h"
#include "paths.h"
#include "text.h"

namespace modUpdate {
namespace {

// Every remote entry that names a file is checked before the pass writes
// anything, so a manifest that points outside the program folder changes
// nothing at all.
void refuseUnsafeEntries() {
    for (std::int64_t i = 1; i <= fileCount; ++i) {
        const FileRecord& remote = remoteFiles[static_cast<std::size_t>(i)];
        if (velloran::trimSpaces(remote.FileName).empty()) continue;
        const std::string folder = velloran::normaliseFolder(velloran::trimSpaces(remote.FilePath));
        const std::string why = velloran::refusedTarget(folder, remote.FileName);
        if (!why.empty())
            throw velloran::Failure("The update lists an unsafe file, entry " + std::to_string(i) + " (" +
                                    remote.FileName + "): " + why);
    }
}

// downloadFile with the entry's optional FileSize and FileHash promises.
void fetch(std::int64_t entry, const std::string& name) {
    const std::string manifest = programPath("temp.ini");
    const std::string number = std::to_string(entry);
    detail::expected = {readSetting(manifest, "FILES", "FileSize" + number),
                        readSetting(manifest, "FILES", "FileHash" + number)};
    struct Forget {
        ~Forget() { detail::expected = {}; }
    } forget;
    downloadFile(name, name);
}

}  // namespace

void runFilePass() {
    refuseUnsafeEntries();

    auto& window = detail::surface();
    window.setMainStatus("");
    progressCount = 0;
    const std::int64_t n = fileCount;
    const std::string localManifest = programPath("info.ini");
    auto countText = [] {
        return "Downloading File " + std::to_string(progressCount) + " Of " + std::to_string(pendingCount);
    };

    for (std::int64_t i = 1; i <= n; ++i) {
        FileRecord& local = localFiles[static_cast<std::size_t>(i)];
        const FileRecord& remote = remoteFiles[static_cast<std::size_t>(i)];
        window.setDetailStatus("Checking Files...");
        currentFolder = velloran::trimSpaces(remote.FilePath);
        const bool haveLocalManifest = detail::fs().isPlainFile(localManifest);

        auto announceNew = [&] {
            ++progressCount;
            window.setMainStatus("Downloading " + remote.FileName + "...");
            window.setDetailStatus(countText());
            fetch(i, remote.FileName);
        };

        if (!haveLocalManifest) {
            announceNew();
        } else if (local.FileVersion == remote.FileVersion) {
            window.setMainStatus("File Already Up To Date!");
        } else if (velloran::trimSpaces(local.FileName).empty()) {
            announceNew();
        } else if (velloran::sortsAfter(remote.FileVersion, local.FileVersion)) {
            ++progressCount;
            window.setDetailStatus(countText());
            window.setMainStatus("Updating " + local.FileName + " From Version " + local.FileVersion + " To " +
                                 remote.FileVersion + "...");
            fetch(i, remote.FileName);
        }

        local.FileName = remote.FileName;
        local.FilePath = remote.FilePath;
        local.FileVersion = remote.FileVersion;
        currentFolder.clear();
    }
}

}  // namespace modUpdate
