#include "mod_update.h"

#include <exception>
#include <new>
#include <unordered_map>

#include "failure.h"
#include "internal.h"
#include "number.h"
#include "settings.h"
#include "text.h"

namespace modUpdate {
namespace {

Services bound;

struct CachedSettings {
    velloran::FileStamp stamp;
    velloran::SettingsDocument document;
};
std::unordered_map<std::string, CachedSettings> settingsCache;

// Manifests are small; anything beyond this is not a manifest we will read.
constexpr std::size_t kSettingsFileCap = 64u << 20;
// The most file entries a manifest may announce with Max.
constexpr std::int32_t kMaxEntries = 1'000'000;

void removeLeftoversIn(const std::string& folder, int depth) {
    auto& fs = detail::fs();
    const std::string prefix = velloran::FileSystem::tempPrefix();
    for (const std::string& entry : fs.list(folder)) {
        if (!entry.empty() && entry.back() == fs.separator()) {
            if (depth > 0)
                removeLeftoversIn(folder + fs.separator() + entry.substr(0, entry.size() - 1), depth - 1);
        } else if (entry.starts_with(prefix) && entry.ends_with(".part")) {
            // Best effort: a leftover we may not delete must not block updates.
            try {
                fs.remove(folder + fs.separator() + entry);
            } catch (const velloran::Failure&) {
            }
        }
    }
}

void runUpdate() {
    // Step 1.
    fileCount = 0;
    currentFolder.clear();
    baseUrl = bound.siteAddress;

    // Step 2.
    const std::string localManifest = programPath("info.ini");
    if (detail::fs().isPlainFile(localManifest))
        localVersion = readSetting(localManifest, "VERSION", "Version");

    // Step 3.
    if (!baseUrl.empty()) baseUrl = velloran::normaliseSiteAddress(baseUrl);

    // Steps 4 and 5.
    auto& window = detail::surface();
    window.showWindow();
    window.setCaption(localVersion.empty() ? "Velloran - No Version Info!"
                                           : "Velloran - Version " + localVersion);

    // With the window up, clear away what an interrupted run left behind.
    detail::removeLeftovers();

    // Step 6.
    if (baseUrl.empty()) {
        window.setLaunchEnabled(true);
        window.setMainStatus("Please Input The Correct Web URL!");
        return;
    }

    // Step 7. The news is a courtesy: whatever came back is shown, and a news
    // fetch that fails leaves the box empty rather than stopping the update.
    window.setLaunchEnabled(false);
    window.setMainStatus("Getting News...");
    try {
        window.setNews(fetchText(baseUrl + "/news.txt", bound.newsCap));
    } catch (const velloran::Failure&) {
    }

    // Step 8.
    window.setMainStatus("Getting Information...");
    detail::downloadManifest("temp.ini", velloran::Durability::Later);

    // Step 9.
    const std::string tempManifest = programPath("temp.ini");
    gameFileName = readSetting(tempManifest, "VERSION", "GameFileName");
    fileCount = velloran::leadingNumber(readSetting(tempManifest, "VERSION", "Max"));
    // Every entry costs memory and time even when the manifest does not list
    // it; a Max far beyond any real release would stall the run for hours.
    if (fileCount > kMaxEntries)
        throw velloran::Failure("The update lists " + std::to_string(fileCount) + " files; at most " +
                                std::to_string(kMaxEntries) + " are supported");
    if (fileCount > 0) {
        localFiles.assign(static_cast<std::size_t>(fileCount) + 1, FileRecord{});
        remoteFiles.assign(static_cast<std::size_t>(fileCount) + 1, FileRecord{});
    }
    remoteVersion = readSetting(tempManifest, "VERSION", "Version");

    if (remoteVersion != localVersion) {
        // Step 10.
        localVersion = remoteVersion;
        window.setMainStatus("Checking File Versions...");
        if (fileCount > 0) loadFileTables();
        if (fileCount > 0) runFilePass();
        // Every file of the pass is on stable storage before the manifest
        // that says so: a power cut before this point repeats the update.
        detail::fs().syncAll();
        detail::downloadManifest("info.ini", velloran::Durability::Now);
        window.setLaunchEnabled(true);
        window.setMainStatus("Updated from Version " + remoteVersion + "!");
        window.setDetailStatus("");
    } else {
        // Step 11.
        window.setMainStatus("You Have The Latest Version!");
        window.setDetailStatus("");
        window.setLaunchEnabled(true);
    }

    // Step 12.
    if (detail::fs().isPlainFile(tempManifest)) {
        detail::fs().remove(tempManifest);
        detail::forgetSettings(tempManifest);
    }
}

}  // namespace

void bindServices(const Services& services) {
    bound = services;
    settingsCache.clear();
    // The engine values as at process start.
    baseUrl.clear();
    localVersion.clear();
    remoteVersion.clear();
    gameFileName.clear();
    fileCount = pendingCount = progressCount = 0;
    currentFolder.clear();
    localFiles.clear();
    remoteFiles.clear();
}

const Services& services() { return bound; }

void startUpdate() {
    // Failures unwind to here and nowhere else: what was written stays, the
    // report shows the reason and ends the process.
    try {
        runUpdate();
    } catch (const std::bad_alloc&) {
        bound.report->reportFailure("Out of memory");
    } catch (const std::exception& failure) {
        bound.report->reportFailure(failure.what());
    }
}

std::string readSetting(const std::string& path, const std::string& section, const std::string& key) {
    return detail::settingsFile(path).get(section, key);
}

std::string programPath(const std::string& name) {
    return detail::fs().programFolder() + detail::fs().separator() + name;
}

namespace detail {

velloran::StatusSurface& surface() { return *bound.surface; }
velloran::HttpTransfer& http() { return *bound.http; }
velloran::FileSystem& fs() { return *bound.fs; }

void forgetSettings(const std::string& path) { settingsCache.erase(path); }

const velloran::SettingsDocument& settingsFile(const std::string& path) {
    static const velloran::SettingsDocument kMissing;
    auto stamp = fs().stamp(path);
    if (!stamp) {
        settingsCache.erase(path);
        return kMissing;
    }
    auto found = settingsCache.find(path);
    if (found == settingsCache.end() || !(found->second.stamp == *stamp)) {
        auto bytes = fs().readFile(path, kSettingsFileCap);
        if (!bytes) return kMissing;
        found = settingsCache.insert_or_assign(path, CachedSettings{*stamp, velloran::SettingsDocument(*bytes)}).first;
    }
    return found->second.document;
}

void awaitNetwork() {
    bound.http->poll(bound.pumpInterval);
    bound.surface->pumpMessages();
}

void removeLeftovers() {
    // A crash or an Exit mid-transfer leaves at most one temporary file per
    // folder touched; the folders are those of the manifest, a few levels deep.
    removeLeftoversIn(fs().programFolder(), 8);
}

}  // namespace detail
}  // namespace modUpdate
