#include <exception>
#include <new>

#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "http.h"
#include "leftovers.h"
#include "manifest.h"
#include "mod_update.h"
#include "number.h"
#include "publication.h"
#include "text.h"
#include "transfer.h"

namespace modUpdate {
namespace {

using velloran::Failure;
using velloran::FailureKind;

void showNews(Context& run) {
    // The news is a courtesy: whatever came back is shown, and a news fetch
    // that gets no usable answer leaves the box empty rather than stopping
    // the run.
    try {
        run.window().setNews(fetchText(run, baseUrl + "/news.txt", run.services.newsCap));
    } catch (const Failure& failure) {
        if (failure.kind() != FailureKind::Network && failure.kind() != FailureKind::Protocol) throw;
    }
}

// Fetches the remote manifest into temp.ini. What arrives must be a manifest:
// a captive portal's page, an empty answer or a file the settings reader
// finds no [VERSION] in would otherwise become the local manifest, and the
// next run would fetch every file again.
void fetchRemoteManifest(Context& run, const std::string& tempName) {
    downloadManifest(run, tempName, velloran::Durability::Later, [&run](std::string_view body) {
        if (!velloran::SettingsDocument(body).hasSection("VERSION"))
            throw Failure(FailureKind::Refused, "The update information at " + baseUrl +
                                                    std::string(velloran::kManifestName) + " is not a manifest");
        // On a signed site the signature is checked here, before temp.ini
        // exists: a forged manifest is never stored, not even for a moment.
        if (!run.services.publicKeys.empty()) checkPublication(run, body);
    });
}

// Reads what the run needs from the remote manifest, and makes fresh tables
// for its entries.
void readRemoteRelease(Context& run, const std::string& tempManifest) {
    gameFileName = readSetting(run, tempManifest, "VERSION", "GameFileName");
    const std::string max = readSetting(run, tempManifest, "VERSION", "Max");
    try {
        fileCount = velloran::leadingNumber(max);
    } catch (const Failure& failure) {
        if (failure.kind() != FailureKind::Protocol) throw;
        throw Failure(FailureKind::Refused, "The update information lists an impossible number of files: Max=" + max);
    }
    if (fileCount > 0) {
        localFiles.reset(fileCount);
        remoteFiles.reset(fileCount);
    }
    remoteVersion = readSetting(run, tempManifest, "VERSION", "Version");
}

// Fetches the remote manifest again, over the local one, as the last step of
// an update. The site may have published another release since temp.ini came:
// its manifest would claim files this run never fetched, and the client would
// believe itself up to date for good. Only the release the run installed is
// stored; the old manifest stays otherwise, and the next start updates.
void installRemoteManifest(Context& run, const velloran::SettingsDocument& installed) {
    const std::int64_t entries = fileCount;
    downloadManifest(run, std::string(velloran::kManifestName), velloran::Durability::Now,
                     [&run, &installed, entries](std::string_view body) {
                         // Signed: only the bytes whose signature was checked
                         // may become info.ini, since the next run's Serial
                         // check compares against them.
                         const bool same = run.signedManifest
                                               ? body == *run.signedManifest
                                               : sameRelease(velloran::SettingsDocument(body), installed, entries);
                         if (!same)
                             throw Failure(FailureKind::Protocol,
                                           "The update site changed during the update; the next start will "
                                           "update again");
                     });
}

// Brings the files up to date and installs the remote manifest over the local
// one, last, so that a run that stops part-way repeats the comparison.
void installRelease(Context& run, const velloran::SettingsDocument& release) {
    auto& window = run.window();
    localVersion = remoteVersion;
    window.setMainStatus("Checking File Versions...");
    if (fileCount > 0) loadFileTables(run);
    if (fileCount > 0) runFilePass(run);
    // Every file of the pass is on stable storage before the manifest that
    // says so: a power cut before this point repeats the update.
    run.fs().syncAll();
    installRemoteManifest(run, release);
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
    run.resumeLeftovers = removeLeftovers(run.fs());

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
    fetchRemoteManifest(run, tempName);
    const std::string tempManifest = run.programPath(tempName);
    // A copy: an entry of the pass may replace temp.ini itself.
    const velloran::SettingsDocument release = run.manifests.file(tempManifest);
    readRemoteRelease(run, tempManifest);

    if (remoteVersion != localVersion) {
        installRelease(run, release);
    } else {
        // Nothing to fetch: nothing to resume either.
        removeResumeLeftovers(run, {});
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
    localFiles.reset(0);
    remoteFiles.reset(0);
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
