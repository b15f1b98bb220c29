// The sweep of temporary files that an interrupted run left behind.
#pragma once

#include <string>
#include <vector>

#include "fs.h"
#include "mod_update.h"

namespace modUpdate {

// Removes every temporary file of this program (base/file_names.h) under
// the program folder, at any depth, without following links out of it, but
// for the resumable files and their notes: those it returns, by full path,
// for removeResumeLeftovers once the run knows which it continues. A file
// that cannot be removed is left; the sweep never fails.
std::vector<std::string> removeLeftovers(velloran::FileSystem& fs);

// Removes the resumable files of run.resumeLeftovers that are not in `keep`
// (full paths), and forgets them all. Never fails.
void removeResumeLeftovers(Context& run, const std::vector<std::string>& keep);

}  // namespace modUpdate
