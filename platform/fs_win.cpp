// File system on Win32 wide-character calls. Engine paths are ANSI code page
// bytes; they are widened at every call and names coming back are narrowed.
#include "fs.h"

#include <windows.h>

#include <algorithm>

#include "failure.h"
#include "file_names.h"
#include "start_win.h"
#include "text_win.h"

namespace velloran {
namespace {

using win::narrow;
using win::systemMessage;
using win::widen;

std::wstring modulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring::size_type lastSeparator(const std::wstring& path) {
    return path.find_last_of(L"\\/");
}

std::wstring folderOf(const std::wstring& path) {
    auto cut = lastSeparator(path);
    return cut == std::wstring::npos ? std::wstring(L".") : path.substr(0, cut);
}

std::wstring leafOf(const std::wstring& path) {
    auto cut = lastSeparator(path);
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// The system's error codes, in the failure vocabulary.
FailureKind kindOf(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return FailureKind::NotFound;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_FILE_TOO_LARGE:
        return FailureKind::DiskFull;
    default:
        return FailureKind::Io;
    }
}

[[noreturn]] void fail(const std::string& what, const std::string& path, DWORD code) {
    throw Failure(kindOf(code), what + " " + path + ": " + systemMessage(code));
}

// The final path of an existing file or folder, every link, junction and
// other reparse point on its way resolved; empty when it cannot be opened.
std::wstring finalPath(const std::wstring& path) {
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    std::wstring out(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFinalPathNameByHandleW(handle, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
        if (n == 0) {
            out.clear();
            break;
        }
        if (n < out.size()) {
            out.resize(n);
            break;
        }
        out.resize(n + 1);
    }
    CloseHandle(handle);
    while (!out.empty() && out.back() == L'\\') out.pop_back();
    return out;
}

// Names compare as the file system compares them: without regard to case.
bool sameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The final path of the entry `path` itself: its folder with every link
// resolved, followed by its own name in long form. For a link that is the
// link, where finalPath() gives what the link leads to.
std::wstring ownEntry(const std::wstring& path) {
    const std::wstring folder = finalPath(folderOf(path));
    if (folder.empty()) return {};
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetLongPathNameW(path.c_str(), full.data(), static_cast<DWORD>(full.size()));
        if (n == 0) {
            full = path;
            break;
        }
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);
    }
    return folder + L"\\" + leafOf(full);
}

// Closes a find handle on every way out.
struct FindHandle {
    HANDLE handle;
    ~FindHandle() {
        if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
    }
};

struct FileIdentity {
    DWORD volume = 0;
    DWORD high = 0;
    DWORD low = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Volume and file index of an existing file; nothing when it cannot be
// opened (absent, no rights). `flags`: FILE_FLAG_OPEN_REPARSE_POINT gives a
// link its own identity instead of that of what it leads to.
bool identityOf(const std::wstring& path, FileIdentity& out, DWORD flags = 0) {
    HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!ok) return false;
    out = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// Whether `target` is the running executable's own entry, which cannot be
// replaced but only moved aside. The file identity tells the executable by
// any spelling (another letter case, its short name); a link that leads to
// it is an entry of its own, replaced like any file, and the executable
// stays. Moving the executable aside for such a link would have the next
// start delete it. Wine 8 opens what a link to a file leads to even with
// FILE_FLAG_OPEN_REPARSE_POINT, so the resolved names decide as well.
bool isRunningExecutable(const std::wstring& target) {
    FileIdentity exe, other;
    if (!identityOf(modulePath(), exe) || !identityOf(target, other, FILE_FLAG_OPEN_REPARSE_POINT) || !(exe == other))
        return false;
    const std::wstring self = finalPath(modulePath());
    return !self.empty() && sameName(ownEntry(target), self);
}

// Moves the finished file `from` over the target, in one step.
void replaceWith(const std::wstring& from, const std::wstring& wideTarget, const std::string& target) {
    // A read-only target is not written, as opening it for writing would
    // be refused. Windows' rename refuses it too, but not every
    // implementation of it does.
    DWORD attributes = GetFileAttributesW(wideTarget.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        fail("Cannot write", target, ERROR_ACCESS_DENIED);

    // A running executable cannot be replaced, but it can be renamed: it
    // moves aside and the next start deletes it (win::removeAsideCopies).
    std::wstring aside;
    if (isRunningExecutable(wideTarget)) {
        std::wstring exe = modulePath();
        aside = folderOf(exe) + L"\\" + widen(win::asidePrefix()) + leafOf(exe);
        if (!MoveFileExW(exe.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            fail("Cannot move aside the running program", narrow(exe), GetLastError());
    }
    if (!MoveFileExW(from.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD code = GetLastError();
        if (!aside.empty()) MoveFileExW(aside.c_str(), modulePath().c_str(), MOVEFILE_WRITE_THROUGH);
        fail("Cannot write", target, code);
    }
}

void writeAll(HANDLE handle, const char* data, std::size_t size, const std::string& target) {
    while (size > 0) {
        DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr)) fail("Cannot write", target, GetLastError());
        data += written;
        size -= written;
    }
}

// A target that is a folder, or a link to one: the rename at commit() would
// refuse it; refusing it at once, as POSIX does, keeps a download from
// running for nothing.
void refuseFolder(const std::wstring& wideTarget, const std::string& target) {
    const DWORD attributes = GetFileAttributesW(wideTarget.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw Failure(FailureKind::Io, "Cannot create " + target + ": it is a folder");
}

class WinOutputFile final : public OutputFile {
public:
    WinOutputFile(std::string target, std::wstring wideTarget)
        : target_(std::move(target)), wideTarget_(std::move(wideTarget)) {
        // The engine removes temporary names left over by a run that ended
        // mid-write. A leftover of an earlier run with the same process id
        // may hold the name; a numbered one is then taken.
        const std::wstring folder = folderOf(wideTarget_);
        const std::string name = narrow(leafOf(wideTarget_));
        const std::string process = std::to_string(GetCurrentProcessId());
        for (unsigned attempt = 0; attempt < 1000; ++attempt) {
            const std::string tag = attempt ? process + "-" + std::to_string(attempt) : process;
            std::wstring candidate = folder + L"\\" + widen(tempFileName(name, tag));
            handle_ = CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle_ != INVALID_HANDLE_VALUE) {
                temp_ = candidate;
                return;
            }
            DWORD code = GetLastError();
            if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) fail("Cannot create", target_, code);
        }
        fail("Cannot create", target_, ERROR_FILE_EXISTS);
    }

    ~WinOutputFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        if (!committed_ && !temp_.empty()) DeleteFileW(temp_.c_str());
    }

    void write(const char* data, std::size_t size) override {
        requireOpen();
        writeAll(handle_, data, size, target_);
    }

    void commit() override {
        requireOpen();
        if (!FlushFileBuffers(handle_)) fail("Cannot write", target_, GetLastError());
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        replaceWith(temp_, wideTarget_, target_);
        committed_ = true;
    }

private:
    void requireOpen() const {
        if (handle_ == INVALID_HANDLE_VALUE)
            throw Failure(FailureKind::Io, "Cannot write " + target_ + ": the file is already closed");
    }

    std::string target_;
    std::wstring wideTarget_;
    std::wstring temp_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool committed_ = false;
};

// The resumable file: opened with what it holds already, written at its
// end, and kept when it is dropped uncommitted. Others may read it and
// delete or rename it while it is open, never write it: a second writer
// (another run at the same time) is refused until this one closes it, and
// nothing is locked once the process has ended, however it ended.
class WinResumableFile final : public ResumableFile {
public:
    WinResumableFile(std::string target, std::wstring wideTarget)
        : target_(std::move(target)),
          wideTarget_(std::move(wideTarget)),
          path_(folderOf(wideTarget_) + L"\\" + widen(resumeFileName(narrow(leafOf(wideTarget_))))) {
        open();
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(handle_, &size) || !SetFilePointerEx(handle_, LARGE_INTEGER{}, nullptr, FILE_END)) {
            const DWORD code = GetLastError();
            CloseHandle(handle_);
            fail("Cannot open", narrow(path_), code);
        }
        kept_ = static_cast<std::uint64_t>(size.QuadPart);
        size_ = kept_;
    }

    ~WinResumableFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }

    WinResumableFile(const WinResumableFile&) = delete;
    WinResumableFile& operator=(const WinResumableFile&) = delete;

    std::uint64_t size() const override { return size_; }

    void restart() override {
        requireOpen();
        if (!SetFilePointerEx(handle_, LARGE_INTEGER{}, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_))
            fail("Cannot write", target_, GetLastError());
        size_ = 0;
        kept_ = 0;
    }

    void write(const char* data, std::size_t size) override {
        requireOpen();
        try {
            writeAll(handle_, data, size, target_);
        } catch (const Failure&) {
            LARGE_INTEGER at{};
            if (SetFilePointerEx(handle_, LARGE_INTEGER{}, &at, FILE_CURRENT))
                size_ = static_cast<std::uint64_t>(at.QuadPart);
            throw;
        }
        size_ += size;
    }

    void readKept(const std::function<void(const char*, std::size_t)>& sink) override {
        requireOpen();
        // A read at an offset moves the file pointer of a handle opened for
        // synchronous use; it goes back to the end for the next write.
        std::string piece(64 * 1024, '\0');
        for (std::uint64_t at = 0; at < kept_;) {
            OVERLAPPED where{};
            where.Offset = static_cast<DWORD>(at);
            where.OffsetHigh = static_cast<DWORD>(at >> 32);
            const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(piece.size(), kept_ - at));
            DWORD got = 0;
            if (!ReadFile(handle_, piece.data(), want, &got, &where)) {
                const DWORD code = GetLastError();
                SetFilePointerEx(handle_, LARGE_INTEGER{}, nullptr, FILE_END);
                fail("Cannot read", narrow(path_), code);
            }
            if (got == 0) {
                SetFilePointerEx(handle_, LARGE_INTEGER{}, nullptr, FILE_END);
                throw Failure(FailureKind::Io,
                              "Cannot read " + narrow(path_) + ": it became shorter while it was open");
            }
            sink(piece.data(), got);
            at += got;
        }
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(size_);
        if (!SetFilePointerEx(handle_, end, nullptr, FILE_BEGIN)) fail("Cannot read", narrow(path_), GetLastError());
    }

    void commit() override {
        requireOpen();
        if (!FlushFileBuffers(handle_)) fail("Cannot write", target_, GetLastError());
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        replaceWith(path_, wideTarget_, target_);
    }

private:
    static constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

    // Opens the file at path_, or makes it, never through a link. A link
    // there (its own entry, as Windows shows it), a folder and a file with a
    // second name are deleted and a new file made: deleting removes that
    // entry, not what it leads to. Wine 8 opens what a host link leads to
    // even with FILE_FLAG_OPEN_REPARSE_POINT, shows a link to a file as the
    // file, and deletes what such a link leads to; only the final path of
    // what was opened tells, so there such a name is refused, not deleted.
    void open() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const DWORD own = GetFileAttributesW(path_.c_str());
            if (own != INVALID_FILE_ATTRIBUTES && (own & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
                removeEntry(own);
                continue;
            }
            // CREATE_NEW after OPEN_EXISTING: a new file is never made where
            // a dangling link stands, which would make it where that leads.
            handle_ = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (handle_ == INVALID_HANDLE_VALUE) {
                const DWORD code = GetLastError();
                if (code != ERROR_FILE_NOT_FOUND) fail("Cannot create", target_, code);
                handle_ = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
                if (handle_ == INVALID_HANDLE_VALUE) {
                    const DWORD made = GetLastError();
                    if (made == ERROR_FILE_EXISTS || made == ERROR_ALREADY_EXISTS) continue;  // made meanwhile
                    fail("Cannot create", target_, made);
                }
            }
            BY_HANDLE_FILE_INFORMATION info;
            if (!GetFileInformationByHandle(handle_, &info)) {
                const DWORD code = GetLastError();
                close();
                fail("Cannot create", target_, code);
            }
            if (!isEntry(handle_, path_)) {
                close();
                refuse();
            }
            const DWORD foreign = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
            if ((info.dwFileAttributes & foreign) || info.nNumberOfLinks != 1) {
                close();
                removeEntry(info.dwFileAttributes);
                continue;
            }
            return;
        }
        fail("Cannot create", target_, ERROR_FILE_EXISTS);
    }

    // Deletes the entry at path_ itself, having made sure that what the
    // deletion reaches is that entry.
    void removeEntry(DWORD attributes) {
        HANDLE entry = CreateFileW(path_.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (entry == INVALID_HANDLE_VALUE) fail("Cannot create", target_, GetLastError());
        const bool itself = isEntry(entry, path_);
        CloseHandle(entry);
        if (!itself) refuse();
        const bool gone = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path_.c_str())
                                                                  : DeleteFileW(path_.c_str());
        if (!gone) fail("Cannot create", target_, GetLastError());
    }

    [[noreturn]] void refuse() const {
        throw Failure(FailureKind::Io, "Cannot create " + target_ + ": " + narrow(path_) + " is a link");
    }

    // Whether `handle` is open on the entry `path` itself, not on what a
    // link there leads to.
    static bool isEntry(HANDLE handle, const std::wstring& path) {
        const std::wstring folder = finalPath(folderOf(path));
        std::wstring opened(MAX_PATH, L'\0');
        for (;;) {
            const DWORD n = GetFinalPathNameByHandleW(handle, opened.data(), static_cast<DWORD>(opened.size()),
                                                      FILE_NAME_NORMALIZED);
            if (n == 0) return false;
            if (n < opened.size()) {
                opened.resize(n);
                break;
            }
            opened.resize(n + 1);
        }
        return !folder.empty() && sameName(opened, folder + L"\\" + leafOf(path));
    }

    void close() {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    void requireOpen() const {
        if (handle_ == INVALID_HANDLE_VALUE)
            throw Failure(FailureKind::Io, "Cannot write " + target_ + ": the file is already closed");
    }

    std::string target_;
    std::wstring wideTarget_;
    std::wstring path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::uint64_t kept_ = 0;
    std::uint64_t size_ = 0;
};

class WinFileSystem final : public FileSystem {
public:
    std::string programFolder() const override { return narrow(folderOf(modulePath())); }

    char separator() const override { return '\\'; }

    bool isPlainFile(const std::string& path) override {
        // The search a launcher's existence test has always been: wildcards
        // act as patterns, a path ending in a separator searches the folder's
        // contents, and only normal files (read-only ones too) count.
        std::wstring pattern = widen(path);
        if (!pattern.empty() && (pattern.back() == L'\\' || pattern.back() == L'/')) pattern += L'*';
        WIN32_FIND_DATAW data;
        FindHandle find{FindFirstFileW(pattern.c_str(), &data)};
        if (find.handle == INVALID_HANDLE_VALUE) return false;
        const DWORD excluded = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        do {
            if ((data.dwFileAttributes & excluded) == 0) return true;
        } while (FindNextFileW(find.handle, &data));
        return false;
    }

    std::string findEntry(const std::string& folder, const std::string& name) override {
        std::wstring wanted = widen(name);
        if (wanted.empty()) return {};
        std::wstring pattern = widen(folder) + L"\\" + wanted;
        WIN32_FIND_DATAW data;
        FindHandle find{FindFirstFileW(pattern.c_str(), &data)};
        if (find.handle == INVALID_HANDLE_VALUE) return {};
        // The search also matches wildcards and short names; only an entry
        // whose own name equals `name` counts, an exact spelling first.
        std::wstring found;
        do {
            std::wstring entry = data.cFileName;
            if (entry == wanted) return narrow(entry);
            if (found.empty() &&
                CompareStringOrdinal(entry.c_str(), static_cast<int>(entry.size()), wanted.c_str(),
                                     static_cast<int>(wanted.size()), TRUE) == CSTR_EQUAL)
                found = entry;
        } while (FindNextFileW(find.handle, &data));
        return narrow(found);
    }

    bool liesOutside(const std::string& root, const std::string& path) override {
        // Both resolved in full, the last component too. Checking attributes
        // level by level for reparse points would cost as many opens, and
        // Wine 8 shows a host link to a file as a plain file.
        const std::wstring realRoot = finalPath(widen(root));
        const std::wstring realPath = finalPath(widen(path));
        if (realRoot.empty() || realPath.empty()) return true;
        if (sameName(realPath, realRoot)) return false;
        return !(realPath.size() > realRoot.size() && realPath[realRoot.size()] == L'\\' &&
                 sameName(realPath.substr(0, realRoot.size()), realRoot));
    }

    // CreateDirectoryW refuses any existing entry at `path`, a link too.
    void makeFolder(const std::string& path) override {
        if (!CreateDirectoryW(widen(path).c_str(), nullptr)) fail("Cannot make folder", path, GetLastError());
    }

    // Every commit flushes and moves with MOVEFILE_WRITE_THROUGH: flushing a
    // whole volume later would need administrator rights.
    std::unique_ptr<OutputFile> create(const std::string& target, Durability) override {
        std::wstring wide = widen(target);
        refuseFolder(wide, target);
        return std::make_unique<WinOutputFile>(target, std::move(wide));
    }

    std::unique_ptr<ResumableFile> openResumable(const std::string& target, Durability) override {
        std::wstring wide = widen(target);
        refuseFolder(wide, target);
        return std::make_unique<WinResumableFile>(target, std::move(wide));
    }

    void syncAll() override {}

    // DeleteFileW deletes a link, not what it leads to. Wine 8 is the
    // exception for a host link to a file: there the file goes.
    void remove(const std::string& path) override {
        if (DeleteFileW(widen(path).c_str())) return;
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;
        fail("Cannot delete", path, code);
    }

    std::optional<FileStamp> stamp(const std::string& path) override {
        HANDLE file = CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return std::nullopt;
        BY_HANDLE_FILE_INFORMATION info;
        bool ok = GetFileInformationByHandle(file, &info) != 0;
        CloseHandle(file);
        if (!ok || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
        FileStamp stamp;
        stamp.identity = ((std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow) ^
                         (std::uint64_t{info.dwVolumeSerialNumber} << 16);
        stamp.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
        stamp.modified = static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                                   info.ftLastWriteTime.dwLowDateTime);
        return stamp;
    }

    std::optional<std::string> readFile(const std::string& path, std::size_t cap) override {
        HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) return std::nullopt;
        // Only a file on disk is read, not a pipe or a device.
        if (GetFileType(file) != FILE_TYPE_DISK) {
            CloseHandle(file);
            return std::nullopt;
        }
        std::string content;
        char buffer[65536];
        bool ok = true;
        while (content.size() < cap) {
            DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, cap - content.size()));
            DWORD got = 0;
            if (!ReadFile(file, buffer, want, &got, nullptr)) {
                ok = false;
                break;
            }
            if (got == 0) break;
            content.append(buffer, got);
        }
        CloseHandle(file);
        if (!ok) return std::nullopt;
        return content;
    }

    std::vector<std::string> list(const std::string& folder) override {
        std::vector<std::string> names;
        WIN32_FIND_DATAW data;
        FindHandle find{FindFirstFileW((widen(folder) + L"\\*").c_str(), &data)};
        if (find.handle == INVALID_HANDLE_VALUE) return names;
        do {
            std::wstring entry = data.cFileName;
            if (entry == L"." || entry == L"..") continue;
            // Junctions and folder links are not listed as folders: whoever
            // walks the tree must not be led out of it.
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                entry += L'\\';
            names.push_back(narrow(entry));
        } while (FindNextFileW(find.handle, &data));
        return names;
    }
};

}  // namespace

std::unique_ptr<FileSystem> makeFileSystem() { return std::make_unique<WinFileSystem>(); }

namespace win {

void removeAsideCopies() {
    std::wstring folder = folderOf(modulePath());
    WIN32_FIND_DATAW data;
    FindHandle find{FindFirstFileW((folder + L"\\" + widen(asidePrefix()) + L"*").c_str(), &data)};
    if (find.handle == INVALID_HANDLE_VALUE) return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        DeleteFileW((folder + L"\\" + data.cFileName).c_str());
    } while (FindNextFileW(find.handle, &data));
}

}  // namespace win
}  // namespace velloran
