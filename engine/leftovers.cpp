#include "leftovers.h"

#include <string>

#include "failure.h"
#include "file_names.h"

namespace modUpdate {
namespace {

void sweep(velloran::FileSystem& fs, const std::string& folder, int depth) {
    for (const std::string& entry : fs.list(folder)) {
        if (!entry.empty() && entry.back() == fs.separator()) {
            if (depth > 0) sweep(fs, folder + fs.separator() + entry.substr(0, entry.size() - 1), depth - 1);
        } else if (velloran::isTempFileName(entry)) {
            // A leftover we may not delete must not block updates.
            try {
                fs.remove(folder + fs.separator() + entry);
            } catch (const velloran::Failure& failure) {
                if (failure.kind() != velloran::FailureKind::Io) throw;
            }
        }
    }
}

}  // namespace

void removeLeftovers(velloran::FileSystem& fs) {
    // A crash or an Exit mid-transfer leaves at most one temporary file per
    // folder touched; the folders are those of the manifest, a few levels deep.
    sweep(fs, fs.programFolder(), 8);
}

}  // namespace modUpdate
