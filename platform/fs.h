// File-system service. Paths are native full paths (callers join them with
// separator()). Every operation that can fail throws Failure with a text that
// names the path and the system's reason, and a kind: NotFound, DiskFull
// (no space, or the process's file size limit) or Io.
//
// Three interfaces, each sized to its users: the window needs only to find
// the program folder and test for a plain file (ProgramFolder); reading a
// manifest and looking around the folder adds FileReader; the update run
// writes through FileSystem.
//
// Links (symbolic links; on Windows also junctions and other reparse
// points):
// - Links on the way to the last component of a path are followed by every
//   operation. A caller that must keep its writes inside a folder asks
//   liesOutside() about each existing level of the path first.
// - Reading follows a link at the last component too: isPlainFile, stamp,
//   readFile, list and findEntry see what the link leads to.
// - list() marks no link as a folder, so a walk of the tree stays inside it.
// - Writing never goes through a link at the last component: create()
//   replaces such a link by the new file on commit (what the link leads to
//   keeps its content) and refuses a link to a folder as it refuses a
//   folder; the temporary file is never opened through a link; makeFolder()
//   fails on any link, dangling or not; remove() deletes the link itself.
//   openResumable() opens no link, nor a file with a second name, at the
//   resume name: it deletes that entry and starts empty (under Wine 8, where
//   deleting a host link deletes what it leads to, it refuses such a name).
//   Under Wine 8 the Windows backend cannot tell a host link to a file from
//   the file, so there remove() deletes what such a link leads to.
//
// Backends: fs_posix.cpp, fs_win.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velloran {

class ProgramFolder {
public:
    virtual ~ProgramFolder() = default;

    // The folder that holds the running executable, no trailing separator.
    virtual std::string programFolder() const = 0;
    // '\\' on Windows, '/' elsewhere.
    virtual char separator() const = 0;

    // True for an ordinary file that is not hidden (a name starting with '.'
    // on POSIX; the hidden or system attribute on Windows). Never fails:
    // anything else reads as false. Windows only: '*' and '?' in the last
    // component match as wildcards, as the system's file search does.
    virtual bool isPlainFile(const std::string& path) = 0;
};

// What identifies a file's content for caching: it changes when the file is
// replaced or written.
struct FileStamp {
    std::uint64_t identity = 0;  // inode / file index
    std::uint64_t size = 0;
    std::int64_t modified = 0;   // nanoseconds or 100-ns ticks, backend's unit
    bool operator==(const FileStamp&) const = default;
};

class FileReader : public ProgramFolder {
public:
    // The actual name of the entry (file or folder) in `folder` whose name
    // equals `name` without regard to ASCII letter case; an exact match is
    // preferred. Empty when none. Never fails.
    virtual std::string findEntry(const std::string& folder, const std::string& name) = 0;

    // True when the entry `path`, with every link on its way resolved, the
    // last component's too, lies outside the folder `root`, resolved the
    // same way: a root reached through a link (an installation under a
    // linked path) still holds what lies below it, and `root` itself lies
    // inside. Also true when either cannot be resolved: `path` absent or a
    // dangling link, `root` absent or not a folder. Names compare as the
    // file system compares them (without regard to case on Windows); ".."
    // in `path` counts as the system resolves it. Never fails.
    virtual bool liesOutside(const std::string& root, const std::string& path) = 0;

    // Stamp of an existing plain file; nullopt when it cannot be read.
    virtual std::optional<FileStamp> stamp(const std::string& path) = 0;

    // Whole content of a file, at most `cap` bytes (the rest is ignored).
    // nullopt when it cannot be read, and for anything but a plain file (a
    // pipe, a device), without waiting on it.
    virtual std::optional<std::string> readFile(const std::string& path, std::size_t cap) = 0;

    // Names (not paths) of the entries of `folder`, real folders marked by a
    // trailing separator (a link or junction to a folder is not marked, so a
    // walk of the tree stays inside it). Empty when it cannot be listed.
    virtual std::vector<std::string> list(const std::string& folder) = 0;
};

// A file being written. The bytes go to a temporary file next to the target
// (named by tempFileName() of base/file_names.h); commit() renames it over
// the target in one step, so the target is always its old or its new
// content. Destroying an OutputFile that was not committed deletes the
// temporary file, so the target keeps its old content in every failure.
//
// Durability::Now: commit() also puts the bytes and the rename on stable
// storage before it returns. Durability::Later: they survive a crash of this
// process at once, a power cut only after FileSystem::syncAll(). Windows
// only: both flush at commit(), and syncAll() does nothing.
enum class Durability { Now, Later };

class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual void write(const char* data, std::size_t size) = 0;
    virtual void commit() = 0;
};

// A download's file that a later attempt may continue. Its bytes go to
// resumeFileName() of the target's name, beside the target, and stay there
// when it is not committed (destroyed uncommitted, or the process ended), so
// that openResumable() of the same target, in this run or a later one, finds
// them again. commit() renames it over the target as OutputFile does; like
// create(), it is never written through a link at its last component.
class ResumableFile : public OutputFile {
public:
    // The bytes it holds: those kept from before and those written since.
    virtual std::uint64_t size() const = 0;
    // Drops every byte it holds, to start over.
    virtual void restart() = 0;
    // Hands the bytes it held when opened (before any write or restart) to
    // `sink` in order, in pieces of bounded size: for a digest over a file
    // that is continued. Nothing after restart(). Fails (Failure) as a read
    // fails.
    virtual void readKept(const std::function<void(const char*, std::size_t)>& sink) = 0;
};

class FileSystem : public FileReader {
public:
    // Makes one folder; its parent must exist.
    virtual void makeFolder(const std::string& path) = 0;

    // Starts writing `target` (see OutputFile). The temporary file is made
    // at once, so a folder that cannot be written fails here, and so does a
    // target that is a folder.
    virtual std::unique_ptr<OutputFile> create(const std::string& target, Durability durability) = 0;

    // Opens the resumable file of `target` (see ResumableFile), keeping what
    // it holds, or making it empty. Fails as create() does. nullptr when this
    // file system keeps no resumable files (the default): downloads then
    // start from the beginning each time.
    virtual std::unique_ptr<ResumableFile> openResumable(const std::string& target, Durability durability) {
        (void)target;
        (void)durability;
        return nullptr;
    }

    // Puts every file committed with Durability::Later on stable storage.
    virtual void syncAll() = 0;

    // Deletes a file. Fails if it exists and cannot be deleted.
    virtual void remove(const std::string& path) = 0;
};

// The system's file service. On POSIX the first call also makes the process
// ignore SIGXFSZ (unless someone set a handler), so that a write beyond the
// file size limit fails as DiskFull instead of ending the process.
std::unique_ptr<FileSystem> makeFileSystem();

}  // namespace velloran
