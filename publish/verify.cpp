#include "verify.h"

#include <map>

#include "ascii.h"
#include "failure.h"
#include "file_bytes.h"
#include "file_names.h"
#include "number.h"
#include "publication.h"
#include "signature.h"
#include "site.h"

namespace velloran::publish {

std::vector<std::string> verifySite(FileSystem& fs, const std::string& site, Progress& progress) {
    if (!isFolder(fs, site)) throw Failure(FailureKind::NotFound, "The site folder " + site + " does not exist");
    const std::string manifestPath = site + fs.separator() + std::string(kManifestName);
    const auto text = fs.stamp(manifestPath) ? fs.readFile(manifestPath, 64u << 20) : std::nullopt;
    if (!text) throw Failure(FailureKind::NotFound, site + " has no " + std::string(kManifestName) + ": it is not an update site");
    const auto manifest = parseManifest(*text);
    if (!manifest) throw Failure(FailureKind::NotFound, manifestPath + " has no [VERSION] section: it is not a manifest");

    std::vector<std::string> problems;
    if (trimSpaces(manifest->version).empty()) problems.push_back("Version is empty");

    std::size_t last = 0;
    for (std::size_t i = 0; i < manifest->entries.size(); ++i)
        if (!manifest->entries[i].hole) last = i + 1;
    try {
        const std::int32_t max = leadingNumber(manifest->max);
        if (static_cast<std::int64_t>(last) > max)
            problems.push_back("Max=" + manifest->max + " does not cover entries " + std::to_string(std::max(max, 0) + 1) +
                               " to " + std::to_string(last) + ": the client never looks at them");
    } catch (const Failure&) {
        problems.push_back("Max=" + manifest->max + " is a number the client cannot read");
    }

    std::vector<std::string> names;
    std::map<std::string, std::size_t> localOwner;  // folded local path -> entry number
    std::uint64_t bytes = 0, listed = 0;
    for (const Entry& entry : manifest->entries) {
        names.push_back(entry.name);
        if (const auto size = parseByteCount(entry.size); size && !trimSpaces(entry.name).empty())
            bytes += *size, ++listed;
    }
    progress.start("hashing", listed, bytes);
    for (std::size_t i = 0; i < manifest->entries.size(); ++i) {
        const Entry& entry = manifest->entries[i];
        if (trimSpaces(entry.name).empty()) continue;
        const std::string what = "entry " + std::to_string(i + 1) + " (" + entry.name + ")";
        if (const std::string why = refusedEntry(entry); !why.empty()) {
            problems.push_back(what + ": the client refuses this name: " + why);
            continue;
        }
        if (auto [it, added] = localOwner.emplace(foldedName(localPath(entry)), i + 1); !added)
            problems.push_back(what + ": stored as " + localPath(entry) + " in the program folder, as entry " +
                               std::to_string(it->second) + " is");
        const auto size = parseByteCount(entry.size);
        const bool hashText = entry.hash.size() == 64 &&
                              entry.hash.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        if (!size) problems.push_back(what + ": FileSize " + (entry.size.empty() ? "is missing" : "\"" + entry.size + "\" is no byte count"));
        if (!hashText) problems.push_back(what + ": FileHash " + (entry.hash.empty() ? "is missing" : "\"" + entry.hash + "\" is no SHA-256"));
        const std::string file = siteFile(fs, site, entry.name);
        const auto stamp = fs.stamp(file);
        if (!stamp) {
            problems.push_back(what + ": the file is missing from the site");
            continue;
        }
        if (size && stamp->size != *size) {
            problems.push_back(what + ": the file has " + std::to_string(stamp->size) + " bytes, FileSize promises " +
                               std::to_string(*size));
            continue;
        }
        if (!hashText) continue;
        const FileDigest digest = digestFile(file, [&](std::uint64_t n) { progress.addBytes(n); });
        progress.fileDone();
        if (digest.sha256 != lowerAscii(entry.hash))
            problems.push_back(what + ": the file's SHA-256 is " + digest.sha256 + ", FileHash promises " +
                               lowerAscii(entry.hash));
    }
    progress.finish();
    for (const Collision& c : siteCollisions(names))
        problems.push_back("\"" + c.first + "\" and \"" + c.second +
                           "\" are one file on a host that ignores letter case");
    for (const std::string& name : filesUnder(fs, site))
        if (isTempFileName(name.substr(name.rfind('/') + 1)))
            problems.push_back(name + " is a temporary file left by an interrupted build");
    return problems;
}

std::vector<std::string> verifySignedSite(FileSystem& fs, const std::string& site, const std::string& publicKeyPem,
                                          std::int64_t now, Progress& progress) {
    std::vector<std::string> problems = verifySite(fs, site, progress);
    const std::string manifestPath = site + fs.separator() + std::string(kManifestName);
    const std::string text = fs.readFile(manifestPath, 64u << 20).value_or("");
    const auto signature = fs.stamp(manifestPath + ".sig") ? fs.readFile(manifestPath + ".sig", 4096) : std::nullopt;
    if (!signature)
        problems.push_back("info.ini.sig is missing: clients with the publisher's key refuse the site");
    else if (!verifyEcdsaP256(publicKeyPem, text, *signature))
        problems.push_back("info.ini.sig is not this key's signature over info.ini as it stands");
    const auto manifest = parseManifest(text);
    if (!manifest) return problems;
    if (!modUpdate::parseSerial(manifest->serial))
        problems.push_back("Serial \"" + manifest->serial + "\" is missing or no number the client reads");
    const auto expires = modUpdate::parseUtcTime(manifest->expires);
    if (!expires)
        problems.push_back("Expires \"" + manifest->expires + "\" is missing or not of the form 2027-01-31T00:00:00Z");
    else if (now >= *expires)
        problems.push_back("The publication expired at " + manifest->expires + ": clients refuse it; publish again");
    return problems;
}

}  // namespace velloran::publish
