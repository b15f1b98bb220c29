#include <limits>

#include "ascii.h"
#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "mod_update.h"
#include "paths.h"
#include "text.h"
#include "transfer.h"

namespace modUpdate {
namespace {

// Before the pass writes anything: every remote entry that names a file is
// checked, so a manifest that points outside the program folder changes
// nothing at all; and the entries' optional FileSize and FileHash are read
// while temp.ini is still the manifest (an entry may replace it).
std::vector<Promise> checkEntries(Context& run) {
    const velloran::SettingsDocument& manifest = run.manifests.file(run.programPath(velloran::kTempManifestName));
    std::vector<Promise> promises(static_cast<std::size_t>(fileCount) + 1);
    for (std::int64_t i = 1; i <= fileCount; ++i) {
        const FileRecord& remote = remoteFiles[static_cast<std::size_t>(i)];
        if (velloran::trimSpaces(remote.FileName).empty()) continue;
        const std::string folder = velloran::normaliseFolder(velloran::trimSpaces(remote.FilePath));
        const std::string why = velloran::refusedTarget(folder, remote.FileName);
        if (!why.empty())
            throw velloran::Failure(velloran::FailureKind::Refused, "The update lists an unsafe file, entry " + std::to_string(i) + " (" +
                                    remote.FileName + "): " + why);
        const std::string number = std::to_string(i);
        promises[static_cast<std::size_t>(i)] = {manifest.get("FILES", "FileSize" + number),
                                                 manifest.get("FILES", "FileHash" + number)};
    }
    return promises;
}

// downloadFile under the entry's promise.
void fetch(Context& run, const Promise& promise, const std::string& name) {
    downloadChecked(run, name, name, promise, std::numeric_limits<std::size_t>::max(), velloran::Durability::Later);
}

}  // namespace

void runFilePass(Context& run) {
    const std::vector<Promise> promises = checkEntries(run);

    auto& window = run.window();
    window.setMainStatus("");
    progressCount = 0;
    const std::int64_t n = fileCount;
    const std::string localManifest = run.programPath(velloran::kManifestName);
    auto countText = [] {
        return "Downloading File " + std::to_string(progressCount) + " Of " + std::to_string(pendingCount);
    };

    for (std::int64_t i = 1; i <= n; ++i) {
        FileRecord& local = localFiles[static_cast<std::size_t>(i)];
        const FileRecord& remote = remoteFiles[static_cast<std::size_t>(i)];
        window.setDetailStatus("Checking Files...");
        currentFolder = velloran::trimSpaces(remote.FilePath);
        const bool haveLocalManifest = run.fs().isPlainFile(localManifest);

        auto announceNew = [&] {
            ++progressCount;
            window.setMainStatus("Downloading " + remote.FileName + "...");
            window.setDetailStatus(countText());
            fetch(run, promises[static_cast<std::size_t>(i)], remote.FileName);
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
            fetch(run, promises[static_cast<std::size_t>(i)], remote.FileName);
        }

        local.FileName = remote.FileName;
        local.FilePath = remote.FilePath;
        local.FileVersion = remote.FileVersion;
        currentFolder.clear();
    }
}

}  // namespace modUpdate
