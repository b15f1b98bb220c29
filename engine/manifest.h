// What the engine reads from a manifest document beyond single values: how
// far its numbered entries reach, and whether two documents describe the same
// release.
#pragma once

#include <cstdint>
#include <string>

#include "settings.h"

namespace modUpdate {

// The highest entry number n, 1 <= n <= bound, for which the FILES section
// has any key of entry n (FileName, FileVersion, FilePath, FileSize or
// FileHash followed by n). 0 when none. Costs time in the number of keys the
// file has, not in `bound`: every entry past it reads as empty texts.
std::int64_t lastListedEntry(const velloran::SettingsDocument& manifest, std::int64_t bound);

// True when both documents give the same Version, GameFileName and Max, and
// the same values for every key of every entry up to `entries` (the Max both
// were read with).
bool sameRelease(const velloran::SettingsDocument& a, const velloran::SettingsDocument& b, std::int64_t entries);

}  // namespace modUpdate
