// File-system service over POSIX calls.
//
// Writes go to a temporary file beside the target and reach the target by
// rename(), which replaces it in one step: a reader (or the next run after a
// crash) sees either the old content or the whole new one.
#include "fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "failure.h"
#include "file_names.h"
#include "ascii.h"

namespace velloran {
namespace {

// The system's error numbers, in the failure vocabulary.
FailureKind kindOf(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return FailureKind::NotFound;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return FailureKind::DiskFull;
    default:
        return FailureKind::Io;
    }
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int err) {
    std::string reason = std::strerror(err);
    // The system's text alone does not say which limit was met.
    if (err == EFBIG) reason += " (the file system's limit, or this process's file size limit: ulimit -f)";
    throw Failure(kindOf(err), what + " " + path + ": " + reason);
}

// The real path of an existing entry, every link resolved; empty when it
// cannot be resolved.
std::string resolved(const std::string& path) {
    char* real = ::realpath(path.empty() ? "/" : path.c_str(), nullptr);
    if (!real) return {};
    std::string out(real);
    std::free(real);
    return out;
}

// Whether `path`, spelled below the folder `root` (which exists), has no
// link on its way down from there. Answers without resolving `root`, so the
// common case costs one lstat per level below the root and no realpath.
// nullopt when the spelling does not decide: `path` is not written below
// `root`, has "." or ".." in it, or meets a link.
std::optional<bool> insideWithoutLinks(const std::string& root, const std::string& path) {
    const std::string start = root == "/" ? std::string() : root;
    if (path.size() < start.size() || path.compare(0, start.size(), start) != 0) return std::nullopt;
    if (path.size() == start.size()) return true;  // the root itself
    if (path[start.size()] != '/') return std::nullopt;
    std::string level = start;
    std::size_t from = start.size();
    while (from < path.size()) {
        const std::size_t slash = path.find('/', from + 1);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        const std::string_view part(path.data() + from + 1, end - from - 1);
        from = end;
        if (part.empty()) continue;
        if (part == "." || part == "..") return std::nullopt;
        level.append(1, '/').append(part);
        struct stat st;
        if (::lstat(level.c_str(), &st) != 0) return false;  // absent: cannot be resolved
        if (S_ISLNK(st.st_mode)) return std::nullopt;
    }
    return true;
}

// Splits "/a/b/c" into "/a/b" and "c"; a bare name has the folder ".".
std::pair<std::string, std::string> folderAndName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    // Built without assigning a literal to the substring: GCC 12 warns
    // falsely (-Wrestrict) about that at -O3.
    return {slash == 0 ? std::string(1, '/') : path.substr(0, slash), path.substr(slash + 1)};
}

class Directory {
public:
    explicit Directory(const std::string& path) : dir_(opendir(path.c_str())) {}
    ~Directory() {
        if (dir_) closedir(dir_);
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

// The names in one folder, grouped by their lower-case form.
class Listing {
public:
    void add(const std::string& name) {
        auto& names = byLower_[lowerAscii(name)];
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    void remove(const std::string& name) {
        const auto found = byLower_.find(lowerAscii(name));
        if (found == byLower_.end()) return;
        auto& names = found->second;
        names.erase(std::remove(names.begin(), names.end(), name), names.end());
        if (names.empty()) byLower_.erase(found);
    }
    // The exact name if present; else the smallest name equal to it without
    // regard to case, so the answer does not depend on the folder's order.
    std::string find(const std::string& name) const {
        const auto found = byLower_.find(lowerAscii(name));
        if (found == byLower_.end()) return {};
        const auto& names = found->second;
        if (std::find(names.begin(), names.end(), name) != names.end()) return name;
        return *std::min_element(names.begin(), names.end());
    }

private:
    std::unordered_map<std::string, std::vector<std::string>> byLower_;
};

// Reads a folder; false when it cannot be read.
bool readFolder(const std::string& folder, Listing& listing) {
    Directory dir(folder);
    if (!dir.get()) return false;
    while (const dirent* entry = ::readdir(dir.get())) listing.add(entry->d_name);
    return true;
}

// Answers findEntry() from listings of the folders asked about, kept current
// by inotify. Reading a folder costs time in proportion to its size, and an
// update stores its files one after the other into the same folder, so
// reading it for every file would make the update quadratic in the number of
// files. A listing follows every change the kernel reports, made by this
// process or any other, in order; it is brought up to date before each
// answer, so an answer is as current as a fresh read of the folder. Where
// inotify is not available (no instance, no watch left), the folder is read
// every time. Not thread-safe, like the file system it serves.
class FolderIndex {
public:
    FolderIndex() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~FolderIndex() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderIndex(const FolderIndex&) = delete;
    FolderIndex& operator=(const FolderIndex&) = delete;

    std::string find(const std::string& folder, const std::string& name) {
        const int wd = fd_ < 0 ? -1 : ::inotify_add_watch(fd_, folder.c_str(), kEvents);
        if (wd < 0) {
            Listing listing;
            return readFolder(folder, listing) ? listing.find(name) : std::string();
        }
        catchUp();
        auto known = listings_.find(wd);
        if (known == listings_.end()) {
            // Watching starts before the read, so a change made while the
            // folder is read is also reported, and applied after it.
            Listing listing;
            if (!readFolder(folder, listing)) {
                ::inotify_rm_watch(fd_, wd);
                catchUp();
                return {};
            }
            known = listings_.emplace(wd, std::move(listing)).first;
            catchUp();
            known = listings_.find(wd);
            if (known == listings_.end()) return {};  // the folder went away meanwhile
        }
        return known->second.find(name);
    }

private:
    static constexpr std::uint32_t kEvents =
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

    // Applies every change reported so far.
    void catchUp() {
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) return;  // EAGAIN: nothing more reported
            for (const char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                p += sizeof(inotify_event) + event->len;
                if (event->mask & IN_Q_OVERFLOW) {
                    listings_.clear();  // changes were lost: read the folders again
                    continue;
                }
                const auto listing = listings_.find(event->wd);
                if (listing == listings_.end()) continue;
                if (event->mask & (IN_IGNORED | IN_DELETE_SELF)) {
                    listings_.erase(listing);
                } else if (event->len > 0) {
                    const std::string name = event->name;  // NUL-padded
                    if (event->mask & (IN_CREATE | IN_MOVED_TO))
                        listing->second.add(name);
                    else if (event->mask & (IN_DELETE | IN_MOVED_FROM))
                        listing->second.remove(name);
                }
            }
        }
    }

    int fd_;
    std::unordered_map<int, Listing> listings_;  // by watch descriptor
};

// Writes to an open file through a buffer, asking the kernel to write each
// finished stretch out while the download goes on; shared by the temporary
// file of create() and the resumable file. Failures name `target`.
class BufferedWriter {
public:
    BufferedWriter(std::string target, int fd, std::uint64_t position)
        : target_(std::move(target)), fd_(fd), position_(position), writebackStart_(position) {
        buffer_.reserve(kBufferSize);
    }
    ~BufferedWriter() {
        if (fd_ >= 0) ::close(fd_);
    }
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;

    const std::string& target() const { return target_; }
    int fd() const { return fd_; }
    // Bytes handed to write() so far, and those the file held before.
    std::uint64_t size() const { return position_ + buffer_.size(); }

    void write(const char* data, std::size_t size) {
        requireOpen();
        if (buffer_.size() + size > kBufferSize) flush();
        if (size >= kBufferSize) {
            writeAll(data, size);
            return;
        }
        buffer_.append(data, size);
    }

    void flush() {
        if (buffer_.empty()) return;
        // Dropped even when the write fails: size() then counts what the
        // file holds, not what was meant for it.
        const std::string pending = std::move(buffer_);
        buffer_.clear();
        writeAll(pending.data(), pending.size());
    }

    // Drops every byte, buffered or written.
    void truncate() {
        requireOpen();
        buffer_.clear();
        if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) fail("Cannot write", target_, errno);
        position_ = 0;
        writebackStart_ = 0;
    }

    // Everything buffered written, then on stable storage when `durable`,
    // and the file closed. The writer is closed afterwards even when it fails.
    void finish(bool durable) {
        requireOpen();
        flush();
        if (durable && ::fdatasync(fd_) != 0) fail("Cannot write", target_, errno);
        const int fd = fd_;
        fd_ = -1;
        // A failed close can report a lost write (NFS); the data is not safe.
        if (::close(fd) != 0 && errno != EINTR) fail("Cannot write", target_, errno);
    }

    void requireOpen() const {
        if (fd_ < 0) throw Failure(FailureKind::Io, "Cannot write " + target_ + ": the file is already closed");
    }

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;
    static constexpr std::uint64_t kWritebackStep = 8u << 20;

    void writeAll(const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, std::min<std::size_t>(size, SSIZE_MAX));
            if (n < 0) {
                if (errno == EINTR) continue;
                fail("Cannot write", target_, errno);
            }
            if (n == 0) fail("Cannot write", target_, ENOSPC);
            data += n;
            size -= static_cast<std::size_t>(n);
            position_ += static_cast<std::uint64_t>(n);
        }
        startWriteback();
    }

    // commit() must wait until every byte is on disk. Left to the kernel, a
    // large file would be written out only then, all at once; asking for the
    // writeback of each finished stretch while the download goes on leaves
    // commit() little more than the last stretch to wait for. It is a hint:
    // a failure here changes nothing, and fdatasync() reports real errors.
    void startWriteback() {
        if (position_ - writebackStart_ < kWritebackStep) return;
        ::sync_file_range(fd_, static_cast<off_t>(writebackStart_), static_cast<off_t>(position_ - writebackStart_),
                          SYNC_FILE_RANGE_WRITE);
        writebackStart_ = position_;
    }

    std::string target_;
    int fd_;
    std::uint64_t position_;        // where the next byte goes in the file
    std::uint64_t writebackStart_;  // where the not yet requested writeback begins
    std::string buffer_;
};

// Renames the finished file `from` over `target`; with `durable`, the
// rename itself is on stable storage when it returns.
void renameOver(const std::string& from, const std::string& target, bool durable) {
    if (::rename(from.c_str(), target.c_str()) != 0) fail("Cannot replace", target, errno);
    if (!durable) return;
    // Some file systems refuse fsync on a folder; the file is complete and
    // in place either way.
    const int dir = ::open(folderAndName(target).first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

// A program or script that arrives as a new file must be startable, as the
// served program may be one: ELF binaries and #! scripts get the execute
// bits the umask allows.
bool looksExecutable(std::string_view head) { return head.starts_with("\x7f" "ELF") || head.starts_with("#!"); }

class PosixOutputFile final : public OutputFile {
public:
    // `executableMode`: the mode a new program file gets; 0 when the target
    // exists already (its own mode was copied).
    PosixOutputFile(std::string target, std::string temp, int fd, mode_t executableMode, Durability durability)
        : writer_(std::move(target), fd, 0),
          temp_(std::move(temp)),
          executableMode_(executableMode),
          durable_(durability == Durability::Now) {}

    ~PosixOutputFile() override {
        if (!committed_) ::unlink(temp_.c_str());
    }

    PosixOutputFile(const PosixOutputFile&) = delete;
    PosixOutputFile& operator=(const PosixOutputFile&) = delete;

    void write(const char* data, std::size_t size) override {
        writer_.requireOpen();
        if (head_.size() < 4) head_.append(data, std::min<std::size_t>(size, 4 - head_.size()));
        writer_.write(data, size);
    }

    void commit() override {
        writer_.requireOpen();
        if (executableMode_ != 0 && looksExecutable(head_)) ::fchmod(writer_.fd(), executableMode_);
        writer_.finish(durable_);
        renameOver(temp_, writer_.target(), durable_);
        committed_ = true;
    }

private:
    BufferedWriter writer_;
    std::string temp_;
    std::string head_;
    mode_t executableMode_;
    bool durable_;
    bool committed_ = false;
};

// The resumable file: opened by openResumable() with what it holds already,
// written at its end, and kept when it is dropped uncommitted.
class PosixResumableFile final : public ResumableFile {
public:
    PosixResumableFile(std::string target, std::string path, int fd, std::uint64_t kept, mode_t executableMode,
                       Durability durability)
        : writer_(std::move(target), fd, kept),
          path_(std::move(path)),
          kept_(kept),
          executableMode_(executableMode),
          durable_(durability == Durability::Now) {}

    ~PosixResumableFile() override {
        // What was handed over is kept for the next attempt. A failure here
        // leaves a shorter file, whose bytes are still the download's first.
        if (writer_.fd() < 0) return;
        try {
            writer_.flush();
        } catch (const Failure&) {
        }
    }

    PosixResumableFile(const PosixResumableFile&) = delete;
    PosixResumableFile& operator=(const PosixResumableFile&) = delete;

    std::uint64_t size() const override { return writer_.size(); }

    void restart() override {
        writer_.truncate();
        kept_ = 0;
    }

    void write(const char* data, std::size_t size) override { writer_.write(data, size); }

    void readKept(const std::function<void(const char*, std::size_t)>& sink) override {
        writer_.requireOpen();
        // pread leaves the position where writes go untouched; the kept bytes
        // were on disk before any buffered write, so no flush is needed.
        std::string piece(64 * 1024, '\0');
        for (std::uint64_t at = 0; at < kept_;) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), kept_ - at));
            const ssize_t n = ::pread(writer_.fd(), piece.data(), want, static_cast<off_t>(at));
            if (n < 0) {
                if (errno == EINTR) continue;
                fail("Cannot read", path_, errno);
            }
            if (n == 0)
                throw Failure(FailureKind::Io, "Cannot read " + path_ + ": it became shorter while it was open");
            sink(piece.data(), static_cast<std::size_t>(n));
            at += static_cast<std::uint64_t>(n);
        }
    }

    void commit() override {
        writer_.requireOpen();
        writer_.flush();
        // The mode create() gives: the replaced file's own, or execute bits
        // for a new program. Taken now, as the target may have changed since
        // the file was first opened, maybe by an earlier run.
        const std::string& target = writer_.target();
        struct stat st;
        if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ::fchmod(writer_.fd(), st.st_mode & 07777);
        } else {
            char head[4];
            const ssize_t n = ::pread(writer_.fd(), head, sizeof head, 0);
            if (n > 0 && looksExecutable(std::string_view(head, static_cast<std::size_t>(n))))
                ::fchmod(writer_.fd(), executableMode_);
        }
        writer_.finish(durable_);
        renameOver(path_, target, durable_);
    }

private:
    BufferedWriter writer_;
    std::string path_;
    std::uint64_t kept_;
    mode_t executableMode_;
    bool durable_;
};

class PosixFileSystem final : public FileSystem {
public:
    // 0777 less the process's umask, read once: umask can only be read by
    // setting it, so do that before any other thread could create files.
    static mode_t executableMode() {
        static const mode_t mode = [] {
            const mode_t mask = ::umask(022);
            ::umask(mask);
            return static_cast<mode_t>(0777 & ~mask);
        }();
        return mode;
    }

    std::string programFolder() const override {
        std::string path(256, '\0');
        for (;;) {
            const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
            if (n < 0) fail("Cannot find the program folder from", "/proc/self/exe", errno);
            if (static_cast<std::size_t>(n) < path.size()) {
                path.resize(static_cast<std::size_t>(n));
                break;
            }
            path.resize(path.size() * 2);
        }
        const std::size_t slash = path.rfind('/');
        // The root folder is the empty text, so that folder + "/" + name
        // still reads "/name".
        return slash == std::string::npos ? std::string() : path.substr(0, slash);
    }

    char separator() const override { return '/'; }

    bool isPlainFile(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        const std::string name = folderAndName(path).second;
        return !name.empty() && name[0] != '.';
    }

    std::string findEntry(const std::string& folder, const std::string& name) override {
        if (name.empty() || name.find('/') != std::string::npos) return {};
        return folders_.find(folder.empty() ? "/" : folder, name);
    }

    bool liesOutside(const std::string& root, const std::string& path) override {
        // The engine asks about every folder on the way to each file it
        // downloads, so the usual case, a path written below the root with no
        // link on the way, is answered without resolving anything.
        std::string base = root.empty() ? "/" : root;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        struct stat st;
        if (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
        if (const auto inside = insideWithoutLinks(base, path)) return !*inside;

        const std::string realRoot = resolved(base);
        const std::string realPath = resolved(path);
        if (realRoot.empty() || realPath.empty()) return true;
        if (realPath == realRoot) return false;
        const std::string inside = realRoot == "/" ? realRoot : realRoot + "/";
        return !realPath.starts_with(inside);
    }

    void makeFolder(const std::string& path) override {
        // mkdir follows no link at `path`: any link there, dangling or not,
        // is an existing entry (EEXIST).
        if (::mkdir(path.c_str(), 0777) != 0) fail("Cannot make folder", path, errno);
    }

    void syncAll() override {
        // One syncfs for the whole update costs what one fdatasync costs;
        // one per file made storing many small files many times slower.
        const std::string folder = programFolder();
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) fail("Cannot flush", folder, errno);
        const int rc = ::syncfs(fd);
        const int error = errno;
        ::close(fd);
        if (rc != 0) fail("Cannot flush", folder, error);
    }

    // A folder, or a link to one, cannot be replaced by a file: refused
    // before anything is written.
    static void refuseFolder(const std::string& target) {
        struct stat st;
        if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) fail("Cannot create", target, EISDIR);
    }

    std::unique_ptr<OutputFile> create(const std::string& target, Durability durability) override {
        const auto [folder, name] = folderAndName(target);
        if (name.empty()) fail("Cannot create", target, EISDIR);
        const std::string tempName = tempFileName(name, std::to_string(::getpid()), NAME_MAX);
        const std::string temp = (folder == "/" ? std::string() : folder) + "/" + tempName;

        // A link at the target is replaced by the new file on commit, never
        // written through, so the file is new and takes nothing from what
        // the link leads to (the mode of a program elsewhere, say).
        refuseFolder(target);
        struct stat st;
        const bool exists = ::lstat(target.c_str(), &st) == 0 && !S_ISLNK(st.st_mode);

        // O_EXCL alone already refuses to follow a link at the name;
        // O_NOFOLLOW says so.
        const int flags = O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC;
        int fd = ::open(temp.c_str(), flags, 0666);
        if (fd < 0 && errno == EEXIST) {
            // Our pid is in the name: this is a leftover of a dead process
            // that had the same pid, never a file someone still writes. If it
            // is a link, unlink removes the link, not what it leads to.
            ::unlink(temp.c_str());
            fd = ::open(temp.c_str(), flags, 0666);
        }
        if (fd < 0) fail("Cannot create", target, errno);
        auto file = std::make_unique<PosixOutputFile>(target, temp, fd, exists ? 0 : executableMode(), durability);
        // An executable stays executable after an update. The file is ours,
        // so fchmod can only fail on exotic file systems; keep going then.
        if (exists) ::fchmod(fd, st.st_mode & 07777);
        return file;
    }

    std::unique_ptr<ResumableFile> openResumable(const std::string& target, Durability durability) override {
        const auto [folder, name] = folderAndName(target);
        if (name.empty()) fail("Cannot create", target, EISDIR);
        const std::string path = (folder == "/" ? std::string() : folder) + "/" + resumeFileName(name, NAME_MAX);
        refuseFolder(target);
        // The file may be there already, so opening it proves nothing about
        // the folder; the rename at commit() would be the first to fail.
        struct stat folderStat;
        if (::stat(folder.c_str(), &folderStat) != 0) fail("Cannot create", target, errno);
        if (!S_ISDIR(folderStat.st_mode)) fail("Cannot create", target, ENOTDIR);
        if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) fail("Cannot create", target, errno);

        // O_NOFOLLOW: a link at the name is never opened. Neither is a file
        // with a second name, which may lie anywhere on the same disk: both
        // are removed (unlink removes the link or that one name) and the
        // download starts over in a new file of its own.
        int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        struct stat st;
        const bool ours = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
        if (!ours) {
            if (fd >= 0) {
                ::close(fd);
            } else if (errno != ELOOP && errno != EISDIR && errno != ENXIO && errno != EWOULDBLOCK) {
                fail("Cannot create", target, errno);
            }
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("Cannot create", target, errno);
            fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 || ::fstat(fd, &st) != 0) {
                const int error = errno;
                if (fd >= 0) ::close(fd);
                fail("Cannot create", target, error);
            }
        }
        // Writes go at the end; O_NONBLOCK only kept a planted FIFO from
        // blocking the open.
        ::fcntl(fd, F_SETFL, 0);
        if (::lseek(fd, 0, SEEK_END) < 0) {
            const int error = errno;
            ::close(fd);
            fail("Cannot open", path, error);
        }
        return std::make_unique<PosixResumableFile>(target, path, fd, static_cast<std::uint64_t>(st.st_size),
                                                    executableMode(), durability);
    }

    void remove(const std::string& path) override {
        // ENOTDIR: a file stands where a folder on the way should be, so
        // there is nothing to delete either.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) fail("Cannot delete", path, errno);
    }

    std::optional<FileStamp> stamp(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        FileStamp s;
        s.identity = static_cast<std::uint64_t>(st.st_ino);
        s.size = static_cast<std::uint64_t>(st.st_size);
        s.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        return s;
    }

    std::optional<std::string> readFile(const std::string& path, std::size_t cap) override {
        // O_NONBLOCK: a pipe planted under the name must not hold the
        // caller at open(); only a regular file is read.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return std::nullopt;
        std::string content;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return std::nullopt;
        }
        content.reserve(std::min<std::size_t>(cap, static_cast<std::size_t>(st.st_size)));
        char chunk[64 * 1024];
        while (content.size() < cap) {
            const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, cap - content.size()));
            if (n < 0) {
                if (errno == EINTR) continue;
                ::close(fd);
                return std::nullopt;
            }
            if (n == 0) break;
            content.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return content;
    }

    std::vector<std::string> list(const std::string& folder) override {
        std::vector<std::string> names;
        Directory dir(folder.empty() ? "/" : folder);
        if (!dir.get()) return names;
        const int dirFd = ::dirfd(dir.get());
        while (const dirent* entry = ::readdir(dir.get())) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            // A link is never listed as a folder: whoever walks the tree
            // must not be led out of it, or round in circles.
            bool isDir = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st;
                isDir = ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
            }
            if (isDir) name += '/';
            names.push_back(std::move(name));
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    FolderIndex folders_;
};

}  // namespace

std::unique_ptr<FileSystem> makeFileSystem() {
    // A write beyond the process's file size limit (ulimit -f) raises
    // SIGXFSZ, whose default action ends the process without a word: no
    // failure report, the update just gone. Ignored, the write fails with
    // EFBIG instead, a DiskFull failure that names the file. A handler set
    // by someone else is left alone; it has the same effect. The served
    // program still starts with default signal handling (startProgram).
    static const bool ignored = [] {
        struct sigaction current {};
        if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGXFSZ, SIG_IGN);
        return true;
    }();
    (void)ignored;
    return std::make_unique<PosixFileSystem>();
}

}  // namespace velloran
