// The contract suite's system side on Windows, and under Wine.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "fs_contract.h"
#include "text_win.h"

namespace velloran::contract {
namespace {

using win::narrow;
using win::widen;

// Wine's own export: the host path of a Windows path. Absent on Windows.
using UnixFileName = char*(CDECL*)(LPCWSTR);

UnixFileName wineUnixFileName() {
    return reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::string hostPath(UnixFileName convert, const std::string& path) {
    char* unix = convert(widen(path).c_str());
    if (!unix) return {};
    std::string out(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return out;
}

// Runs a shell command line on the host. Wine starts host programs without
// a process handle to wait for, so the command leaves `done` behind when it
// succeeded, and that is waited for.
bool runOnHost(const std::string& command, const std::string& done) {
    std::wstring line = widen("/bin/sh -c \"" + command + "\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::wstring marker = widen(done);
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < until;) {
        if (GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES) return DeleteFileW(marker.c_str()) != 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A junction: a folder carrying a mount-point reparse point. Needs no
// privilege on Windows; Wine 8 refuses the request.
bool makeJunction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
    HANDLE folder = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool made = false;
    if (folder != INVALID_HANDLE_VALUE) {
        // REPARSE_DATA_BUFFER's mount-point form: tag, data length, reserved,
        // then offsets and lengths of the substitute and print names, then
        // both names, each ending in a NUL.
        const std::wstring substitute = L"\\??\\" + target;
        const std::size_t namesBytes = (substitute.size() + 1 + target.size() + 1) * sizeof(wchar_t);
        std::string buffer(16 + namesBytes, '\0');
        auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        const WORD header[6] = {static_cast<WORD>(8 + namesBytes), 0, 0,
                                static_cast<WORD>(substitute.size() * sizeof(wchar_t)),
                                static_cast<WORD>((substitute.size() + 1) * sizeof(wchar_t)),
                                static_cast<WORD>(target.size() * sizeof(wchar_t))};
        std::memcpy(bytes, &tag, 4);
        std::memcpy(bytes + 4, header, sizeof header);
        std::memcpy(bytes + 16, substitute.c_str(), substitute.size() * sizeof(wchar_t));
        std::memcpy(bytes + 16 + (substitute.size() + 1) * sizeof(wchar_t), target.c_str(),
                    target.size() * sizeof(wchar_t));
        DWORD returned = 0;
        made = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, bytes, static_cast<DWORD>(buffer.size()), nullptr, 0,
                               &returned, nullptr) != 0;
        CloseHandle(folder);
    }
    if (!made) RemoveDirectoryW(link.c_str());
    return made;
}

// Removes `folder` and what it holds; a link is removed, never entered.
void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = folder + L"\\" + name;
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            const DWORD attributes = data.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                if (!RemoveDirectoryW(full.c_str())) DeleteFileW(full.c_str());
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(full);
            } else {
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

Scratch::Scratch() {
    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) throw std::runtime_error("no temporary folder");
    static int counter = 0;
    std::wstring base(temp, n);
    while (!base.empty() && base.back() == L'\\') base.pop_back();
    for (;;) {
        const std::wstring candidate = base + L"\\velloran-fs-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(++counter);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = narrow(candidate);
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("cannot make a temporary folder");
    }
}

Scratch::~Scratch() {
    removeTree(widen(path_));
    // Wine hides a dangling host link from every listing, so a folder that
    // held one is still there: the host removes it.
    if (GetFileAttributesW(widen(path_).c_str()) == INVALID_FILE_ATTRIBUTES) return;
    if (const UnixFileName convert = wineUnixFileName()) {
        const std::string host = hostPath(convert, path_);
        if (!host.empty()) runOnHost("rm -rf -- '" + host + "' && : > '" + host + ".gone'", path_ + ".gone");
    }
}

std::string Scratch::at(const std::string& relative) const {
    std::string native = relative;
    std::replace(native.begin(), native.end(), '/', '\\');
    return native.empty() ? path_ : path_ + "\\" + native;
}

std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> found;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((widen(folder) + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return found;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") found.push_back(narrow(name));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(found.begin(), found.end());
    return found;
}

bool isLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool makeLink(const std::string& link, const std::string& target, bool toFolder) {
    const std::wstring wideLink = widen(link);
    const std::wstring wideTarget = widen(target);
    if (toFolder && makeJunction(wideLink, wideTarget)) return true;
    // Wine 8 answers success here and makes nothing; hence the check.
    const DWORD flags = (toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (CreateSymbolicLinkW(wideLink.c_str(), wideTarget.c_str(), flags) && isLink(link)) return true;
    const UnixFileName convert = wineUnixFileName();
    if (!convert) return false;
    const std::string hostLink = hostPath(convert, link);
    const std::string hostTarget = hostPath(convert, target);
    if (hostLink.empty() || hostTarget.empty()) return false;
    return runOnHost("ln -s -- '" + hostTarget + "' '" + hostLink + "' && : > '" + hostLink + ".made'", link + ".made");
}

std::string processTag() { return std::to_string(GetCurrentProcessId()); }

}  // namespace velloran::contract
