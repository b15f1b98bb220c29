#include "build.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

#include "ascii.h"
#include "failure.h"
#include "file_bytes.h"
#include "file_names.h"
#include "number.h"
#include "paths.h"
#include "publication.h"
#include "signing.h"
#include "site.h"
#include "text.h"

namespace velloran::publish {
namespace {

// A manifest larger than this is no manifest the client would take either.
constexpr std::size_t kManifestCap = 64u << 20;

struct ReleaseFile {
    std::string relative;  // with '/'
    std::string full;
    std::uint64_t size = 0;
};

// One entry of the new manifest and where its bytes come from.
struct Slot {
    Entry entry;
    const ReleaseFile* file = nullptr;  // null for an entry no longer in the release
    std::optional<Entry> previous;      // the entry as the site listed it
    std::optional<FileDigest> digest;   // the release file's, once known
    bool copy = false;                  // its bytes must be written to the site
};

// Problems that make the build refuse, gathered so that one run names them all.
class Problems {
public:
    void add(std::string text) { lines_.push_back(std::move(text)); }
    bool empty() const { return lines_.empty(); }
    void throwIfAny() const {
        if (lines_.empty()) return;
        std::string text;
        for (const std::string& line : lines_) text += (text.empty() ? "" : "\n") + line;
        throw Failure(FailureKind::Refused, text);
    }

private:
    std::vector<std::string> lines_;
};

// Appended: GCC 12 at -O3 misreports "literal" + std::string (-Wrestrict).
std::string quoted(std::string_view text) {
    std::string out(1, '"');
    return out.append(text).append(1, '"');
}

std::optional<FileDigest> promisedDigest(const Entry& entry) {
    const auto size = parseByteCount(entry.size);
    if (!size || entry.hash.size() != 64 || entry.hash.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    return FileDigest{*size, lowerAscii(entry.hash)};
}

void setDigest(Entry& entry, const FileDigest& digest) {
    entry.size = std::to_string(digest.size);
    entry.hash = digest.sha256;
}

// The release's files, each a plain file the build can read.
std::vector<ReleaseFile> readRelease(FileSystem& fs, const std::string& folder, Problems& problems) {
    std::vector<ReleaseFile> files;
    for (const std::string& relative : filesUnder(fs, folder)) {
        // A name a POSIX file system allows and the client cannot store.
        if (relative.find('\\') != std::string::npos) {
            problems.add(relative + ": the client reads \"\\\" in a name as a folder separator");
            continue;
        }
        std::string full = folder;
        for (const std::string& part : pathComponents(relative)) full += fs.separator() + part;
        const auto stamp = fs.stamp(full);
        if (!stamp) {
            problems.add(relative + " is not a plain file (a link to a folder, a device, or unreadable)");
            continue;
        }
        files.push_back({relative, full, stamp->size});
    }
    return files;
}

// The site's info.ini, or nullopt for a folder that holds no site yet. A
// folder with other files in it but no info.ini is not taken for one.
std::optional<std::string> readPreviousManifest(FileSystem& fs, const std::string& site) {
    const std::string path = site + fs.separator() + std::string(kManifestName);
    if (fs.stamp(path)) {
        auto text = fs.readFile(path, kManifestCap);
        if (!text) throw Failure(FailureKind::NotFound, "Cannot read " + path);
        return text;
    }
    for (const std::string& name : fs.list(site))
        if (name != "news.txt" && !isTempFileName(name))
            throw Failure(FailureKind::NotFound, site + " holds files but no " + std::string(kManifestName) +
                                                     ": it is not an update site. Publish a first release into an "
                                                     "empty folder.");
    return std::nullopt;
}

// Makes the folders on the way to the site file `siteName`.
void makeSiteFolders(FileSystem& fs, const std::string& site, const std::string& siteName) {
    const std::vector<std::string> parts = pathComponents(siteName);
    std::string path = site;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const std::string parent = path;
        path += fs.separator() + parts[i];
        if (fs.findEntry(parent, parts[i]) == parts[i]) continue;
        try {
            fs.makeFolder(path);
        } catch (const Failure&) {
            // A folder of this name in another letter case, on a file system
            // that ignores case, is this folder.
            if (!isFolder(fs, path)) throw;
        }
    }
}

// What a collision means for the person publishing, by the release paths of
// the two names where they are release files.
std::string collisionText(const Collision& c, const std::map<std::string, std::string>& releasePathOf,
                          Layout layout) {
    auto describe = [&](const std::string& name) {
        auto it = releasePathOf.find(name);
        return it != releasePathOf.end() ? it->second : name + " (listed on the site)";
    };
    const auto& reserved = reservedSiteNames();
    if (std::find(reserved.begin(), reserved.end(), c.first) != reserved.end())
        return describe(c.second) + " would be " + quoted(c.second) + " on the site, which keeps " + quoted(c.first) +
               " for itself; rename it" + (layout == Layout::Flat ? ", or publish with --layout tree" : "");
    std::string text = describe(c.first) + " and " + describe(c.second) + " would be the same file on the site (" +
                       quoted(c.first) + " and " + quoted(c.second) +
                       ", compared without regard to letter case); rename one";
    if (layout == Layout::Flat) text += ", or publish with --layout tree, where the site mirrors the release folder";
    return text;
}

// Seconds since 1970 as Expires writes them: 2027-01-31T00:00:00Z.
std::string utcText(std::int64_t seconds) {
    using namespace std::chrono;
    const sys_seconds at{std::chrono::seconds(seconds)};
    const auto day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss time{at - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

}  // namespace

BuildReport buildSite(FileSystem& fs, const BuildOptions& options, Progress& progress,
                      const std::optional<Signing>& signing) {
    const std::string release = options.release;
    const std::string site = options.site;
    if (!isFolder(fs, release)) throw Failure(FailureKind::NotFound, "The release folder " + release + " does not exist");
    if (!isFolder(fs, site))
        throw Failure(FailureKind::NotFound, "The site folder " + site + " does not exist; make it first");
    if (foldedName(site + fs.separator()).starts_with(foldedName(release + fs.separator())))
        throw Failure(FailureKind::Refused, "The site folder " + site + " lies inside the release folder " + release);
    if (options.news && !fs.stamp(*options.news))
        throw Failure(FailureKind::NotFound, "The news file " + *options.news + " does not exist or is no file");

    BuildReport report;
    Problems problems;
    report.previousManifest = readPreviousManifest(fs, site);
    Manifest previous;
    if (report.previousManifest) {
        auto parsed = parseManifest(*report.previousManifest);
        if (!parsed)
            throw Failure(FailureKind::NotFound, site + fs.separator() + std::string(kManifestName) +
                                                     " has no [VERSION] section: it is not an update site's manifest");
        previous = std::move(*parsed);
        report.previousVersion = previous.version;
    }
    // Entries past the old Max were never seen by any client, whatever a
    // player's info.ini says of them: their files must be fetched again.
    std::int64_t previousMax = 0;
    try {
        previousMax = velloran::leadingNumber(previous.max);
    } catch (const Failure&) {
        previousMax = 0;
    }

    const std::vector<ReleaseFile> files = readRelease(fs, release, problems);
    if (files.empty() && problems.empty())
        throw Failure(FailureKind::NotFound, "The release folder " + release + " holds no files");

    const std::string& version = options.version;
    const std::string fileVersion = options.fileVersion.value_or(version);
    if (trimSpaces(version).empty()) problems.add("The release version is empty");
    if (report.previousManifest && version == previous.version)
        problems.add("The release version " + quoted(version) +
                     " is the site's current version: clients update only when the Version text differs");

    // Each previous entry keeps its number; release files find theirs by
    // where the client stores them.
    std::vector<Slot> slots(previous.entries.size());
    std::map<std::string, std::size_t> byLocalPath;  // folded local path -> slot
    for (std::size_t i = 0; i < previous.entries.size(); ++i) {
        slots[i].entry = previous.entries[i];
        slots[i].previous = previous.entries[i];
        const std::string local = localPath(previous.entries[i]);
        if (!local.empty()) byLocalPath.emplace(foldedName(local), i);
    }
    std::map<std::string, std::string> releasePathOf;  // site name -> release path
    for (const ReleaseFile& file : files) {
        const std::size_t slash = file.relative.rfind('/');
        Entry named;
        if (options.layout == Layout::Tree || slash == std::string::npos) {
            named.name = file.relative;
        } else {
            named.name = file.relative.substr(slash + 1);
            named.path = file.relative.substr(0, slash);
        }
        Slot* slot = nullptr;
        if (auto it = byLocalPath.find(foldedName(file.relative)); it != byLocalPath.end()) {
            slot = &slots[it->second];
            byLocalPath.erase(it);
        } else {
            slots.push_back({});
            slot = &slots.back();
            slot->entry.version = fileVersion;
            slot->copy = true;
        }
        slot->entry.name = named.name;
        slot->entry.path = named.path;
        slot->entry.hole = false;
        slot->file = &file;
        releasePathOf.emplace(named.name, file.relative);
    }

    // Names, before any byte is read: the client's own checks and the
    // site's names.
    std::vector<std::string> siteNames;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const Entry& entry = slots[i].entry;
        siteNames.push_back(entry.name);
        if (trimSpaces(entry.name).empty()) continue;
        const std::string why = refusedEntry(entry);
        if (why.empty()) continue;
        const std::string what = slots[i].file ? slots[i].file->relative : "entry " + std::to_string(i + 1) + " (" + entry.name + ")";
        problems.add(what + ": the client refuses this name: " + why);
    }
    for (const Collision& c : siteCollisions(siteNames)) problems.add(collisionText(c, releasePathOf, options.layout));
    const std::string game = options.game.value_or(previous.game);
    if (!game.empty() && !refusedTarget("", game).empty())
        problems.add("GameFileName " + quoted(game) + ": " + refusedTarget("", game));
    problems.throwIfAny();

    // The files that were listed before: hashed, to tell changed from kept.
    std::uint64_t toHash = 0, countToHash = 0;
    for (const Slot& slot : slots)
        if (slot.file && slot.previous) toHash += slot.file->size, ++countToHash;
    progress.start("hashing", countToHash, toHash);
    auto count = [&](std::uint64_t bytes) { progress.addBytes(bytes); };
    for (std::size_t i = 0; i < slots.size(); ++i) {
        Slot& slot = slots[i];
        if (!slot.previous) continue;
        const Entry& before = *slot.previous;
        std::optional<FileDigest> was = promisedDigest(before);
        const std::string oldSiteFile = siteFile(fs, site, before.name);
        if (!was && !trimSpaces(before.name).empty() && refusedEntry(before).empty() && fs.stamp(oldSiteFile))
            was = digestFile(oldSiteFile);
        if (!slot.file) {
            // Gone from the release, still listed: a fresh install fetches
            // it, so its site file must stay and be described.
            if (trimSpaces(before.name).empty() || slot.entry.hole) continue;
            const auto onSite = fs.stamp(oldSiteFile);
            if (!onSite || (was && onSite->size != was->size))
                problems.add(before.name + " (entry " + std::to_string(i + 1) +
                             ") is no longer in the release, stays listed, and its file is missing from the site: "
                             "a fresh install would fail; put it back in the release or on the site");
            else if (was)
                setDigest(slot.entry, *was);
            report.gone.push_back(before.name);
            continue;
        }
        slot.digest = digestFile(slot.file->full, count);
        progress.fileDone();
        setDigest(slot.entry, *slot.digest);
        const bool seenByClients = static_cast<std::int64_t>(i + 1) <= previousMax;
        if (was && *was == *slot.digest && seenByClients) {
            report.kept.push_back(slot.file->relative);
            const auto onSite = fs.stamp(siteFile(fs, site, slot.entry.name));
            slot.copy = slot.entry.name != before.name || !onSite || onSite->size != slot.digest->size;
            continue;
        }
        slot.copy = true;
        if (!sortsAfter(fileVersion, before.version)) {
            problems.add(slot.file->relative + " changed, but its new FileVersion " + quoted(fileVersion) +
                         " does not sort after its old one " + quoted(before.version) +
                         " in the client's order (text compared byte by byte, so \"1.10\" sorts before \"1.9\"): "
                         "players would never get it. Use versions of one width (1.09, 1.10), or --file-version "
                         "with a text that sorts after " + quoted(before.version));
            continue;
        }
        report.changed.push_back({slot.file->relative, before.version, fileVersion});
        slot.entry.version = fileVersion;
    }
    progress.finish();

    Manifest next;
    next.version = version;
    next.game = game;
    std::size_t last = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        next.entries.push_back(slots[i].entry);
        if (!slots[i].entry.hole) last = i + 1;
        if (slots[i].file && !slots[i].previous) report.added.push_back(slots[i].file->relative);
    }
    next.entries.resize(last);
    next.max = std::to_string(last);
    report.entries = last;

    // What the client will read back must be what was meant: its reader
    // trims blanks and removes one pair of quotes.
    {
        Manifest probe = next;
        for (Entry& e : probe.entries)
            if (!e.hole && e.hash.empty()) e.size = "0", e.hash = std::string(64, '0');  // placeholders for new files
        const auto readBack = parseManifest(manifestText(probe));
        if (!readBack || readBack->version != version)
            problems.add("The release version " + quoted(version) + " cannot be written into info.ini as it stands");
        if (readBack && readBack->game != game)
            problems.add("GameFileName " + quoted(game) + " cannot be written into info.ini as it stands");
        for (std::size_t i = 0; readBack && i < probe.entries.size(); ++i) {
            const Entry& meant = probe.entries[i];
            const Entry got = i < readBack->entries.size() ? readBack->entries[i] : Entry{};
            if (meant.hole || (got.name == meant.name && got.version == meant.version && got.path == meant.path))
                continue;
            problems.add((slots[i].file ? slots[i].file->relative : meant.name) +
                         ": the client would read this entry back differently (names may not start or end with "
                         "blanks or be quoted)");
        }
    }
    const std::string signatureFile = site + fs.separator() + std::string(kManifestName) + ".sig";
    if (signing) {
        const std::string& serial = previous.serial;
        const auto before = serial.empty() ? std::optional<std::int64_t>(0) : modUpdate::parseSerial(serial);
        if (!before)
            problems.add("The site's Serial " + quoted(serial) + " is no number the client reads; fix it by hand");
        else
            next.serial = std::to_string(*before + 1);
        next.expires = utcText(signing->now + signing->freshDays * 86400);
        // A key that cannot sign is found now, before anything is written.
        signEcdsaP256(signing->privateKeyPem, "probe");
    } else if (fs.stamp(signatureFile)) {
        problems.add("The site is signed (it has info.ini.sig): publish with --key, or every client with the "
                     "publisher's key refuses the new info.ini");
    }
    problems.throwIfAny();

    // Writing: the files, then the news, then info.ini.
    for (const std::string& name : filesUnder(fs, site)) {
        const std::string leaf = name.substr(name.rfind('/') + 1);
        if (isTempFileName(leaf)) fs.remove(siteFile(fs, site, name));
    }
    std::uint64_t toCopy = 0, countToCopy = 0;
    for (const Slot& slot : slots)
        if (slot.copy && slot.file) toCopy += slot.file->size, ++countToCopy;
    progress.start("copying", countToCopy, toCopy);
    for (std::size_t i = 0; i < last; ++i) {
        Slot& slot = slots[i];
        if (!slot.copy || !slot.file) continue;
        makeSiteFolders(fs, site, slot.entry.name);
        const FileDigest copied = copyFile(fs, slot.file->full, siteFile(fs, site, slot.entry.name),
                                           Durability::Later, slot.digest, count);
        setDigest(next.entries[i], copied);
        progress.fileDone();
        ++report.copiedFiles;
        report.copiedBytes += copied.size;
    }
    progress.finish();
    if (options.news)
        copyFile(fs, *options.news, site + fs.separator() + "news.txt", Durability::Later, std::nullopt);
    fs.syncAll();
    const std::string text = manifestText(next);
    if (signing) {
        const std::string signature = signEcdsaP256(signing->privateKeyPem, text);
        auto signatureOut = fs.create(signatureFile, Durability::Now);
        signatureOut->write(signature.data(), signature.size());
        signatureOut->commit();
    }
    auto manifest = fs.create(site + fs.separator() + std::string(kManifestName), Durability::Now);
    manifest->write(text.data(), text.size());
    manifest->commit();
    return report;
}

}  // namespace velloran::publish
