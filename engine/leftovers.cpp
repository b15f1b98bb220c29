#include "leftovers.h"

#include <set>
#include <string>
#include <vector>

#include "failure.h"
#include "file_names.h"

namespace modUpdate {
namespace {

void removeIfPossible(velloran::FileSystem& fs, const std::string& path) {
    // A leftover we may not delete must not block updates.
    try {
        fs.remove(path);
    } catch (const velloran::Failure& failure) {
        if (failure.kind() != velloran::FailureKind::Io) throw;
    }
}

}  // namespace

std::vector<std::string> removeLeftovers(velloran::FileSystem& fs) {
    std::vector<std::string> resumable;
    // A crash or an Exit mid-transfer leaves at most one temporary file per
    // folder touched, in any folder a manifest can name, however deep. The
    // walk keeps its own list of folders rather than recursing, and list()
    // never marks a link as a folder, so it cannot leave the tree or loop.
    std::vector<std::string> folders{fs.programFolder()};
    while (!folders.empty()) {
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        for (const std::string& entry : fs.list(folder)) {
            if (!entry.empty() && entry.back() == fs.separator())
                folders.push_back(folder + fs.separator() + entry.substr(0, entry.size() - 1));
            else if (velloran::isResumeFileName(entry))
                resumable.push_back(folder + fs.separator() + entry);
            else if (velloran::isTempFileName(entry))
                removeIfPossible(fs, folder + fs.separator() + entry);
        }
    }
    return resumable;
}

void removeResumeLeftovers(Context& run, const std::vector<std::string>& keep) {
    const std::set<std::string> kept(keep.begin(), keep.end());
    for (const std::string& path : run.resumeLeftovers)
        if (!kept.count(path)) removeIfPossible(run.fs(), path);
    run.resumeLeftovers.clear();
}

}  // namespace modUpdate
