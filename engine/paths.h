// Where a manifest entry's file lands, and the checks that keep every write
// inside the program folder.
//
// A manifest comes from a web server; its FileName and FilePath values are
// untrusted. A target is accepted only when each of its components is an
// ordinary file or folder name on every platform we ship for.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velloran {

// Removes one leading and then one trailing '\' or '/' (the subfolder rule of
// the download). A lone separator becomes the empty text: the program folder.
std::string normaliseFolder(std::string_view folder);

// The components of a relative path, split at '\' and '/'. Empty
// components (doubled separators) are dropped.
std::vector<std::string> pathComponents(std::string_view path);

// Why `folder` (already normalised) and `name` cannot name a file inside the
// program folder, or the empty text when they can. Refused: a name that
// starts or ends with a separator, an absolute or UNC folder, "." and "..",
// drive letters and any ':', control characters, characters Windows forbids
// in names (< > " | ? *), trailing dots or spaces, device names (CON, NUL,
// COM1, LPT1, ... with any extension), components over 255 bytes, and names
// of the updater's own temporary files (which a later start would sweep).
std::string refusedTarget(std::string_view folder, std::string_view name);

}  // namespace velloran
