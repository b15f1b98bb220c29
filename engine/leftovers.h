// The sweep of temporary files that an interrupted run left behind.
#pragma once

#include "fs.h"

namespace modUpdate {

// Removes every temporary file of this program (base/file_names.h) under
// the program folder, at any depth, without following links out of it. A
// file that cannot be removed is left; the sweep never fails.
void removeLeftovers(velloran::FileSystem& fs);

}  // namespace modUpdate
