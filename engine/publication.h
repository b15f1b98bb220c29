// The rules for a site signed by the publisher: which manifest the client
// takes as the publisher's, and which it refuses as forged, replayed or
// stale. Only in force when the build has publisher keys (Services::publicKeys).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mod_update.h"

namespace modUpdate {

// The text of every refusal for a signature that is missing, malformed or
// not by a compiled-in key.
inline constexpr std::string_view kNotSigned = "The update information is not signed by the publisher";

// Checks `body`, the remote manifest as it arrived, before it is stored:
// fetches its signature (the manifest's name + ".sig", at most
// Services::signatureCap bytes) and checks it against each key, then checks
// Serial and Expires against the installed manifest and the clock. Throws a
// Refused Failure that says what is wrong and what to do; on success records
// the bytes in run.signedManifest.
void checkPublication(Context& run, std::string_view body);

// "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970-01-01T00:00:00Z; nothing for
// any other text or an impossible date.
std::optional<std::int64_t> parseUtcTime(std::string_view text);

// A Serial: decimal digits only, at most 18 of them.
std::optional<std::int64_t> parseSerial(std::string_view text);

}  // namespace modUpdate
