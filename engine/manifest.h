// What the engine reads from a manifest document beyond single values: how
// far its numbered entries reach, and whether two documents describe the same
// release.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings.h"

namespace modUpdate {

// The entry numbers n, 1 <= n <= bound, for which the FILES section has any
// key of entry n (FileName, FileVersion, FilePath, FileSize or FileHash
// followed by n), in increasing order. Costs time in the number of keys the
// file has, not in `bound` or in the numbers: every other entry reads as
// empty texts.
std::vector<std::int64_t> listedEntries(const velloran::SettingsDocument& manifest, std::int64_t bound);

// True when both documents give the same Version, GameFileName and Max, and
// the same values for every key of every entry up to `entries` (the Max both
// were read with).
bool sameRelease(const velloran::SettingsDocument& a, const velloran::SettingsDocument& b, std::int64_t entries);

}  // namespace modUpdate
