#include <algorithm>
#include <map>

#include "ascii.h"
#include "failure.h"
#include "file_names.h"
#include "fetcher.h"
#include "fs.h"
#include "leftovers.h"
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
std::map<std::int64_t, Promise> checkEntries(Context& run) {
    const velloran::SettingsDocument& manifest = run.manifests.file(run.programPath(velloran::kTempManifestName));
    std::map<std::int64_t, Promise> promises;
    OutsideCache outside;
    for (const std::int64_t i : remoteFiles.numbers()) {
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
        // The run's own manifests: an entry that replaced info.ini would
        // install the new release's manifest before its files (a later
        // failure would leave the client believing itself up to date), and
        // one that stored temp.ini would see it deleted at the end of the run.
        if (velloran::pathComponents(folder).empty() &&
            (velloran::equalsIgnoringCase(velloran::trimSpaces(remote.FileName), velloran::kManifestName) ||
             velloran::equalsIgnoringCase(velloran::trimSpaces(remote.FileName), velloran::kTempManifestName)))
            refuse("the updater keeps its own manifest under that name");
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
        promises[i] = std::move(promise);
    }
    return promises;
}

std::string countText() {
    return "Downloading File " + std::to_string(progressCount) + " Of " + std::to_string(pendingCount);
}

// Whether the pass fetches entry i: a file that is new, or whose version
// sorts after the local one. passEntry announces it by the same choice.
bool fetchesEntry(std::int64_t i, bool haveLocalManifest) {
    const FileRecord& local = localFiles[i];
    const FileRecord& remote = remoteFiles[i];
    if (velloran::trimSpaces(remote.FileName).empty()) return false;
    if (!haveLocalManifest) return true;
    if (local.FileVersion == remote.FileVersion) return false;
    return velloran::trimSpaces(local.FileName).empty() || velloran::sortsAfter(remote.FileVersion, local.FileVersion);
}

// One entry: the texts, the download when it is due (already queued in
// `fetcher`), and the local record taking the remote one's values.
void passEntry(Context& run, std::int64_t i, bool haveLocalManifest, Fetcher& fetcher) {
    auto& window = run.window();
    FileRecord& local = localFiles.at(i);
    const FileRecord& remote = remoteFiles[i];
    window.setDetailStatus("Checking Files...");
    currentFolder = velloran::trimSpaces(remote.FilePath);
    auto fetch = [&] {
        if (!velloran::trimSpaces(remote.FileName).empty()) fetcher.takeNext();
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

// `count` entries in a row that neither manifest lists. Each is empty on
// both sides: it fetches nothing, changes no record, and shows what the one
// before it showed, but for the count. They pass in one step that leaves the
// window and the counts as walking them one by one would; a Max far beyond
// the listed entries, or entry numbers far apart, then cost no time.
void passUnlistedEntries(Context& run, std::int64_t count, bool haveLocalManifest) {
    auto& window = run.window();
    window.setDetailStatus("Checking Files...");
    if (haveLocalManifest) {
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
    const std::map<std::int64_t, Promise> promises = checkEntries(run);

    run.window().setMainStatus("");
    progressCount = 0;
    const std::int64_t n = fileCount;
    // The local manifest is not written during the pass: no entry may name it.
    const bool haveLocalManifest = run.fs().isPlainFile(run.programPath(velloran::kManifestName));
    // The entries either manifest lists, in order, and the runs of empty
    // entries between and after them.
    std::vector<std::int64_t> listed = localFiles.numbers();
    const std::vector<std::int64_t> remote = remoteFiles.numbers();
    listed.insert(listed.end(), remote.begin(), remote.end());
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());

    // Every file the pass fetches is queued now, so that its request can go
    // out ahead of its turn.
    Fetcher fetcher(run, true);
    for (const std::int64_t i : listed) {
        if (!fetchesEntry(i, haveLocalManifest)) continue;
        const FileRecord& entry = remoteFiles[i];
        const auto promise = promises.find(i);
        Checks checks;
        if (promise != promises.end()) checks.promise = promise->second;
        fetcher.add(FetchOrder{entry.FileName, velloran::normaliseFolder(velloran::trimSpaces(entry.FilePath)),
                               entry.FileName, std::move(checks), velloran::Durability::Later});
    }
    removeResumeLeftovers(run, fetcher.resumePaths());

    std::int64_t done = 0;
    for (const std::int64_t i : listed) {
        if (i - done > 1) passUnlistedEntries(run, i - done - 1, haveLocalManifest);
        passEntry(run, i, haveLocalManifest, fetcher);
        done = i;
    }
    if (n > done) passUnlistedEntries(run, n - done, haveLocalManifest);
}

}  // namespace modUpdate
