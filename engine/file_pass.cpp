#include <algorithm>

#include "ascii.h"
#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "mod_update.h"
#include "paths.h"
#include "text.h"
#include "target.h"
#include "transfer.h"

namespace modUpdate {
namespace {

// Before the pass writes anything: every remote entry that names a file is
// checked, so a manifest that points outside the program folder, by its names
// or through a link on disk, changes nothing at all; and the entries'
// optional FileSize and FileHash are read while temp.ini is still the
// manifest (an entry may replace it).
std::vector<Promise> checkEntries(Context& run) {
    const velloran::SettingsDocument& manifest = run.manifests.file(run.programPath(velloran::kTempManifestName));
    std::vector<Promise> promises(static_cast<std::size_t>(remoteFiles.stored()) + 1);
    OutsideCache outside;
    for (std::int64_t i = 1; i <= remoteFiles.stored(); ++i) {
        const FileRecord& remote = remoteFiles[i];
        if (velloran::trimSpaces(remote.FileName).empty()) continue;
        auto refuse = [&](const std::string& why) {
            throw velloran::Failure(velloran::FailureKind::Refused, "The update lists an unsafe file, entry " +
                                                                        std::to_string(i) + " (" + remote.FileName +
                                                                        "): " + why);
        };
        const std::string folder = velloran::normaliseFolder(velloran::trimSpaces(remote.FilePath));
        const std::string why = velloran::refusedTarget(folder, remote.FileName);
        if (!why.empty()) refuse(why);
        const Target target = locateTarget(run.fs(), folder, remote.FileName, &outside);
        if (!target.leadsOutside.empty()) refuse(target.leadsOutside + " is a link that leads outside the program folder");
        const std::string number = std::to_string(i);
        Promise promise{manifest.get("FILES", "FileSize" + number), manifest.get("FILES", "FileHash" + number)};
        // The signature covers the manifest, not the files: only a promised
        // size and hash carry it over to each file's bytes.
        if (run.signedManifest && (promise.size.empty() || promise.sha256.empty()))
            throw velloran::Failure(velloran::FailureKind::Refused,
                                    "The update information is signed but entry " + number + " (" + remote.FileName +
                                        ") has no FileSize or FileHash; the publisher must publish it again with "
                                        "velloran-publish build --key");
        promises[static_cast<std::size_t>(i)] = std::move(promise);
    }
    return promises;
}

std::string countText() {
    return "Downloading File " + std::to_string(progressCount) + " Of " + std::to_string(pendingCount);
}

// One entry: the texts, the download when it is due, and the local record
// taking the remote one's values.
void passEntry(Context& run, std::int64_t i, const Promise& promise, const std::string& localManifest) {
    auto& window = run.window();
    FileRecord& local = localFiles.at(i);
    const FileRecord& remote = remoteFiles[i];
    window.setDetailStatus("Checking Files...");
    currentFolder = velloran::trimSpaces(remote.FilePath);
    const bool haveLocalManifest = run.fs().isPlainFile(localManifest);
    auto fetch = [&] {
        Checks checks;
        checks.promise = promise;
        downloadChecked(run, remote.FileName, remote.FileName, checks, velloran::Durability::Later);
    };
    auto announceNew = [&] {
        ++progressCount;
        window.setMainStatus("Downloading " + remote.FileName + "...");
        window.setDetailStatus(countText());
        fetch();
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
        fetch();
    }

    local.FileName = remote.FileName;
    local.FilePath = remote.FilePath;
    local.FileVersion = remote.FileVersion;
    currentFolder.clear();
}

// The `count` entries past the last one either manifest lists. Each is empty
// on both sides: it fetches nothing, changes no record, and shows what the
// one before it showed, but for the count. They pass in one step that leaves
// the window and the counts as walking them one by one would; a Max far
// beyond the listed entries then costs no time.
void passUnlistedEntries(Context& run, std::int64_t count, const std::string& localManifest) {
    auto& window = run.window();
    window.setDetailStatus("Checking Files...");
    if (run.fs().isPlainFile(localManifest)) {
        window.setMainStatus("File Already Up To Date!");
    } else {
        // Each is announced as a new file without a name, and counted.
        progressCount += static_cast<std::int32_t>(count);
        window.setMainStatus("Downloading ...");
        window.setDetailStatus(countText());
    }
}

}  // namespace

void runFilePass(Context& run) {
    const std::vector<Promise> promises = checkEntries(run);

    run.window().setMainStatus("");
    progressCount = 0;
    const std::int64_t n = fileCount;
    const std::string localManifest = run.programPath(velloran::kManifestName);
    const std::int64_t listed = std::max(localFiles.stored(), remoteFiles.stored());
    localFiles.store(listed);
    for (std::int64_t i = 1; i <= listed; ++i)
        passEntry(run, i, i < static_cast<std::int64_t>(promises.size()) ? promises[static_cast<std::size_t>(i)] : Promise{},
                  localManifest);
    if (n > listed) passUnlistedEntries(run, n - listed, localManifest);
}

}  // namespace modUpdate
