#include <exception>
#include <new>

#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "http.h"
#include "leftovers.h"
#include "mod_update.h"
#include "number.h"
#include "text.h"
#include "transfer.h"

namespace modUpdate {
namespace {

using velloran::Failure;
using velloran::FailureKind;

// The most file entries a manifest may announce with Max.
constexpr std::int32_t kMaxEntries = 1'000'000;

void showNews(Context& run) {
    // The news is a courtesy: whatever came back is shown, and a news fetch
    // that gets no answer leaves the box empty rather than stopping the run.
    try {
        run.window().setNews(fetchText(run, baseUrl + "/news.txt", run.services.newsCap));
    } catch (const Failure& failure) {
        if (failure.kind() != FailureKind::Network) throw;
    }
}

// Reads what the run needs from the remote manifest, and makes fresh tables
// for its entries.
void readRemoteRelease(Context& run, const std::string& tempManifest) {
    gameFileName = readSetting(run, tempManifest, "VERSION", "GameFileName");
    fileCount = velloran::leadingNumber(readSetting(run, tempManifest, "VERSION", "Max"));
    // Every entry costs memory and time even when the manifest does not list
    // it; a Max far beyond any real release would stall the run for hours.
    if (fileCount > kMaxEntries)
        throw Failure(FailureKind::Refused, "The update lists " + std::to_string(fileCount) +
                                                " files; at most " + std::to_string(kMaxEntries) +
                                                " are supported");
    if (fileCount > 0) {
        localFiles.assign(static_cast<std::size_t>(fileCount) + 1, FileRecord{});
        remoteFiles.assign(static_cast<std::size_t>(fileCount) + 1, FileRecord{});
    }
    remoteVersion = readSetting(run, tempManifest, "VERSION", "Version");
}

// Brings the files up to date and installs the remote manifest over the local
// one, last, so that a run that stops part-way repeats the comparison.
void installRelease(Context& run) {
    auto& window = run.window();
    localVersion = remoteVersion;
    window.setMainStatus("Checking File Versions...");
    if (fileCount > 0) loadFileTables(run);
    if (fileCount > 0) runFilePass(run);
    // Every file of the pass is on stable storage before the manifest that
    // says so: a power cut before this point repeats the update.
    run.fs().syncAll();
    downloadManifest(run, std::string(velloran::kManifestName), velloran::Durability::Now);
    window.setLaunchEnabled(true);
    window.setMainStatus("Updated from Version " + remoteVersion + "!");
    window.setDetailStatus("");
}

void runUpdate(Context& run) {
    fileCount = 0;
    currentFolder.clear();
    baseUrl = run.services.siteAddress;

    const std::string localManifest = run.programPath(velloran::kManifestName);
    if (run.fs().isPlainFile(localManifest)) localVersion = readSetting(run, localManifest, "VERSION", "Version");

    if (!baseUrl.empty()) baseUrl = velloran::normaliseSiteAddress(baseUrl);

    auto& window = run.window();
    window.showWindow();
    window.setCaption(localVersion.empty() ? "Velloran - No Version Info!" : "Velloran - Version " + localVersion);

    // With the window up, clear away what an interrupted run left behind.
    removeLeftovers(run.fs());

    if (baseUrl.empty()) {
        window.setLaunchEnabled(true);
        window.setMainStatus("Please Input The Correct Web URL!");
        return;
    }

    window.setLaunchEnabled(false);
    window.setMainStatus("Getting News...");
    showNews(run);

    window.setMainStatus("Getting Information...");
    const std::string tempName(velloran::kTempManifestName);
    downloadManifest(run, tempName, velloran::Durability::Later);
    const std::string tempManifest = run.programPath(tempName);
    readRemoteRelease(run, tempManifest);

    if (remoteVersion != localVersion) {
        installRelease(run);
    } else {
        window.setMainStatus("You Have The Latest Version!");
        window.setDetailStatus("");
        window.setLaunchEnabled(true);
    }

    if (run.fs().isPlainFile(tempManifest)) {
        run.fs().remove(tempManifest);
        run.manifests.forget(tempManifest);
    }
}

}  // namespace

void resetEngineValues() {
    baseUrl.clear();
    localVersion.clear();
    remoteVersion.clear();
    gameFileName.clear();
    fileCount = pendingCount = progressCount = 0;
    currentFolder.clear();
    localFiles.clear();
    remoteFiles.clear();
}

std::string Context::programPath(std::string_view name) const {
    std::string path = fs().programFolder();
    path += fs().separator();
    path += name;
    return path;
}

void startUpdate(const Services& services) {
    // Failures unwind to here and nowhere else: what was written stays, the
    // report shows the reason and ends the process.
    try {
        Context run(services);
        runUpdate(run);
    } catch (const std::bad_alloc&) {
        services.report->reportFailure("Out of memory");
    } catch (const std::exception& failure) {
        services.report->reportFailure(failure.what());
    }
}

std::string readSetting(Context& run, const std::string& path, const std::string& section, const std::string& key) {
    return run.manifests.file(path).get(section, key);
}

}  // namespace modUpdate
