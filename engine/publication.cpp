#include <chrono>

#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "publication.h"
#include "settings.h"
#include "transfer.h"

namespace modUpdate {
namespace {

using velloran::Failure;
using velloran::FailureKind;

[[noreturn]] void refuse(const std::string& why) { throw Failure(FailureKind::Refused, why); }

// The signature file, or the reason there is none. Only an answer the site
// gives counts as "not signed"; a network failure stays one, so a player on a
// bad line is not told the publisher forgot to sign.
std::string fetchSignature(Context& run) {
    try {
        return fetchWhole(run, baseUrl + std::string(velloran::kManifestName) + ".sig", run.services.signatureCap);
    } catch (const Failure& failure) {
        if (failure.kind() == FailureKind::Network) throw;
        refuse(std::string(kNotSigned) + " (" + failure.what() + ")");
    }
}

bool signedByAKey(Context& run, std::string_view body, std::string_view signature) {
    if (!run.services.verifySignature) refuse("This build has publisher keys but cannot check a signature");
    for (const std::string& key : run.services.publicKeys)
        if (run.services.verifySignature(key, body, signature)) return true;
    return false;
}

std::int64_t now(Context& run) {
    if (!run.services.secondsNow) refuse("This build has publisher keys but no clock to check an expiry against");
    return run.services.secondsNow();
}

const std::string kPublishAgain = "; the publisher must publish it again with velloran-publish build --key";

}  // namespace

std::optional<std::int64_t> parseSerial(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<std::int64_t> parseUtcTime(std::string_view text) {
    // One fixed form: the publisher tool writes it, and a looser reader would
    // only invite two readings of one date.
    static constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kForm.size()) return std::nullopt;
    for (std::size_t i = 0; i < kForm.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t width) {
        int value = 0;
        for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const std::chrono::year_month_day date{std::chrono::year(number(0, 4)),
                                           std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                           std::chrono::day(static_cast<unsigned>(number(8, 2)))};
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    const auto days = std::chrono::sys_days(date).time_since_epoch().count();
    return static_cast<std::int64_t>(days) * 86400 + hour * 3600 + minute * 60 + second;
}

void checkPublication(Context& run, std::string_view body) {
    const std::string signature = fetchSignature(run);
    if (!signedByAKey(run, body, signature)) refuse(std::string(kNotSigned));

    // Signed, so the publisher wrote these; what is left is whether this is
    // the publication the site should be serving now.
    const velloran::SettingsDocument remote(body);
    const std::string serialText = remote.get("VERSION", "Serial");
    const std::string expiresText = remote.get("VERSION", "Expires");
    const auto serial = parseSerial(serialText);
    if (!serial) refuse("The update information has no valid Serial (\"" + serialText + "\")" + kPublishAgain);
    const auto expires = parseUtcTime(expiresText);
    if (!expires) refuse("The update information has no valid Expires (\"" + expiresText + "\")" + kPublishAgain);
    if (now(run) >= *expires)
        refuse("The update information expired at " + expiresText +
               ": the update site is no longer kept up to date or is held back; ask the publisher to publish again, "
               "and check this computer's clock");

    const std::string installedPath = run.programPath(velloran::kManifestName);
    const auto installed = run.fs().readFile(installedPath, run.services.manifestCap);
    if (installed) {
        const auto installedSerial = parseSerial(velloran::SettingsDocument(*installed).get("VERSION", "Serial"));
        if (installedSerial && *serial < *installedSerial)
            refuse("The update information is older (Serial " + serialText + ") than the installed one (Serial " +
                   std::to_string(*installedSerial) +
                   "): the update site may have been rolled back; nothing was changed, ask the publisher");
        if (installedSerial && *serial == *installedSerial && *installed != body)
            refuse("The update information has the Serial of the installed one (" + serialText +
                   ") but other contents; nothing was changed, the publisher must give each publication a new Serial");
    }
    run.signedManifest = std::string(body);
}

}  // namespace modUpdate
