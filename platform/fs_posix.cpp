// File-system service over POSIX calls.
//
// Writes go to a temporary file beside the target and reach the target by
// rename(), which replaces it in one step: a reader (or the next run after a
// crash) sees either the old content or the whole new one.
#include "fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "failure.h"

namespace velloran {
namespace {

std::string reason(int err) { return std::strerror(err); }

[[noreturn]] void fail(const std::string& what, const std::string& path, int err) {
    throw Failure(what + " " + path + ": " + reason(err));
}

// Splits "/a/b/c" into "/a/b" and "c"; a bare name has the folder ".".
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    std::string folder = path.substr(0, slash);
    if (folder.empty()) folder = "/";
    return {folder, path.substr(slash + 1)};
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
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

class PosixOutputFile final : public OutputFile {
public:
    // `executableMode`: the mode a new program file gets; 0 when the target
    // exists already (its own mode was copied).
    PosixOutputFile(std::string target, std::string temp, int fd, mode_t executableMode)
        : target_(std::move(target)), temp_(std::move(temp)), fd_(fd), executableMode_(executableMode) {
        buffer_.reserve(kBufferSize);
    }

    ~PosixOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temp_.c_str());
    }

    PosixOutputFile(const PosixOutputFile&) = delete;
    PosixOutputFile& operator=(const PosixOutputFile&) = delete;

    void write(const char* data, std::size_t size) override {
        requireOpen();
        if (head_.size() < 4) head_.append(data, std::min<std::size_t>(size, 4 - head_.size()));
        if (buffer_.size() + size > kBufferSize) flush();
        if (size >= kBufferSize) {
            writeAll(data, size);
            return;
        }
        buffer_.append(data, size);
    }

    void commit() override {
        requireOpen();
        flush();
        // A program or script that arrives as a new file must be startable,
        // as the served program may be one: ELF binaries and #! scripts get
        // the execute bits the umask allows.
        if (executableMode_ != 0 && (head_.starts_with("\x7f" "ELF") || head_.starts_with("#!")))
            ::fchmod(fd_, executableMode_);
        if (::fdatasync(fd_) != 0) fail("Cannot write", target_, errno);
        const int fd = fd_;
        fd_ = -1;
        // A failed close can report a lost write (NFS); the data is not safe.
        if (::close(fd) != 0 && errno != EINTR) fail("Cannot write", target_, errno);
        if (::rename(temp_.c_str(), target_.c_str()) != 0) fail("Cannot replace", target_, errno);
        committed_ = true;
        // Make the rename itself durable. Some file systems refuse fsync on
        // a folder; the file is complete and in place either way.
        const int dir = ::open(splitPath(target_).first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    void requireOpen() const {
        if (fd_ < 0) throw Failure("Cannot write " + target_ + ": the file is already closed");
    }

    void flush() {
        if (buffer_.empty()) return;
        writeAll(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

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
        }
    }

    std::string target_;
    std::string temp_;
    int fd_;
    std::string buffer_;
    std::string head_;
    mode_t executableMode_;
    bool committed_ = false;
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
        const std::string name = splitPath(path).second;
        return !name.empty() && name[0] != '.';
    }

    std::string findEntry(const std::string& folder, const std::string& name) override {
        if (name.empty() || name.find('/') != std::string::npos) return {};
        Directory dir(folder.empty() ? "/" : folder);
        if (!dir.get()) return {};
        std::string best;
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string found = entry->d_name;
            if (found == name) return found;
            // Of several case-insensitive matches take the smallest name, so
            // the answer does not depend on the directory's order.
            if (equalsIgnoringAsciiCase(found, name) && (best.empty() || found < best)) best = found;
        }
        return best;
    }

    bool isFolder(const std::string& path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    void makeFolder(const std::string& path) override {
        if (::mkdir(path.c_str(), 0777) != 0) fail("Cannot make folder", path, errno);
    }

    std::unique_ptr<OutputFile> create(const std::string& target) override {
        const auto [folder, name] = splitPath(target);
        if (name.empty()) fail("Cannot create", target, EISDIR);
        const std::string suffix = "." + std::to_string(::getpid()) + ".part";
        std::string tempName = std::string(tempPrefix()) + name + suffix;
        if (tempName.size() > NAME_MAX) {
            // Keep the marker prefix and the suffix; shorten the middle.
            const std::size_t keep = NAME_MAX - std::string(tempPrefix()).size() - suffix.size();
            tempName = std::string(tempPrefix()) + name.substr(0, keep) + suffix;
        }
        const std::string temp = (folder == "/" ? std::string() : folder) + "/" + tempName;

        struct stat st;
        const bool exists = ::stat(target.c_str(), &st) == 0;
        if (exists && S_ISDIR(st.st_mode)) fail("Cannot create", target, EISDIR);

        const int flags = O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC;
        int fd = ::open(temp.c_str(), flags, 0666);
        if (fd < 0 && errno == EEXIST) {
            // Our pid is in the name: this is a leftover of a dead process
            // that had the same pid, never a file someone still writes.
            ::unlink(temp.c_str());
            fd = ::open(temp.c_str(), flags, 0666);
        }
        if (fd < 0) fail("Cannot create", target, errno);
        auto file = std::make_unique<PosixOutputFile>(target, temp, fd, exists ? 0 : executableMode());
        // An executable stays executable after an update. The file is ours,
        // so fchmod can only fail on exotic file systems; keep going then.
        if (exists) ::fchmod(fd, st.st_mode & 07777);
        return file;
    }

    void remove(const std::string& path) override {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("Cannot delete", path, errno);
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
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return std::nullopt;
        std::string content;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
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
            bool isDir = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
                struct stat st;
                isDir = ::fstatat(dirFd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
            }
            if (isDir) name += '/';
            names.push_back(std::move(name));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

std::unique_ptr<FileSystem> makeFileSystem() { return std::make_unique<PosixFileSystem>(); }

}  // namespace velloran
