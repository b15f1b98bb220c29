// A stand-in for the served program. It records how it was started in a
// file named after itself with ".started" appended, next to itself:
//   the command line exactly as received,
//   the show state asked for (wShowWindow, or "default"),
//   the current folder,
// one per line, then exits. Tests copy it under the name the manifest gives.
#include <windows.h>

#include <string>

namespace {

std::wstring line(const std::wstring& text) { return text + L"\r\n"; }

}  // namespace

int main() {
    wchar_t self[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    if (length == 0) return 1;
    std::wstring marker = std::wstring(self, length) + L".started";

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    std::wstring show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? std::to_wstring(startup.wShowWindow)
                                                                  : std::wstring(L"default");
    wchar_t folder[MAX_PATH * 4];
    DWORD folderLength = GetCurrentDirectoryW(MAX_PATH * 4, folder);

    std::wstring text = line(GetCommandLineW()) + line(show) + line(std::wstring(folder, folderLength));
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                        nullptr);
    HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
