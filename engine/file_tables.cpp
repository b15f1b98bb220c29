#include "file_names.h"
#include "fs.h"
#include "manifest.h"
#include "mod_update.h"
#include "text.h"

namespace modUpdate {
namespace {

// Three values per entry, each as readSetting reads it, from one look at the
// file rather than one per value: the loop pumps no messages, so the file
// cannot change under it. Entries the file does not list stay empty records
// without being read.
void fillTable(Context& run, FileTable& table, const std::string& manifest) {
    if (!run.fs().isPlainFile(manifest)) return;
    const velloran::SettingsDocument& settings = run.manifests.file(manifest);
    for (const std::int64_t i : listedEntries(settings, fileCount)) {
        const std::string number = std::to_string(i);
        FileRecord& record = table.at(i);
        record.FileName = settings.get("FILES", "FileName" + number);
        record.FileVersion = settings.get("FILES", "FileVersion" + number);
        record.FilePath = settings.get("FILES", "FilePath" + number);
    }
}

}  // namespace

void loadFileTables(Context& run) {
    fillTable(run, localFiles, run.programPath(velloran::kManifestName));
    fillTable(run, remoteFiles, run.programPath(velloran::kTempManifestName));

    // An empty remote version never sorts after anything: only the remote
    // records that are stored can count.
    pendingCount = 0;
    for (const std::int64_t i : remoteFiles.numbers())
        if (velloran::sortsAfter(remoteFiles[i].FileVersion, localFiles[i].FileVersion)) ++pendingCount;
}

}  // namespace modUpdate
