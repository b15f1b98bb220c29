#include "failure.h"
#include "internal.h"
#include "paths.h"
#include "text.h"

namespace modUpdate {
namespace {

// Before the pass writes anything: every remote entry that names a file is
// checked, so a manifest that points outside the program folder changes
// nothing at all; and the entries' optional FileSize and FileHash are read
// while temp.ini is still the manifest (an entry may replace it).
std::vector<detail::Expectation> checkEntries() {
    const velloran::SettingsDocument& manifest = detail::settingsFile(programPath("temp.ini"));
    std::vector<detail::Expectation> promises(static_cast<std::size_t>(fileCount) + 1);
    for (std::int64_t i = 1; i <= fileCount; ++i) {
        const FileRecord& remote = remoteFiles[static_cast<std::size_t>(i)];
        if (velloran::trimSpaces(remote.FileName).empty()) continue;
        const std::string folder = velloran::normaliseFolder(velloran::trimSpaces(remote.FilePath));
        const std::string why = velloran::refusedTarget(folder, remote.FileName);
        if (!why.empty())
            throw velloran::Failure("The update lists an unsafe file, entry " + std::to_string(i) + " (" +
                                    remote.FileName + "): " + why);
        const std::string number = std::to_string(i);
        promises[static_cast<std::size_t>(i)] = {manifest.get("FILES", "FileSize" + number),
                                                 manifest.get("FILES", "FileHash" + number)};
    }
    return promises;
}

// downloadFile under the entry's promises.
void fetch(const detail::Expectation& promise, const std::string& name) {
    detail::expected = promise;
    struct Forget {
        ~Forget() { detail::expected = {}; }
    } forget;
    downloadFile(name, name);
}

}  // namespace

void runFilePass() {
    const std::vector<detail::Expectation> promises = checkEntries();

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
            fetch(promises[static_cast<std::size_t>(i)], remote.FileName);
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
            fetch(promises[static_cast<std::size_t>(i)], remote.FileName);
        }

        local.FileName = remote.FileName;
        local.FilePath = remote.FilePath;
        local.FileVersion = remote.FileVersion;
        currentFolder.clear();
    }
}

}  // namespace modUpdate
