// Starting the served program and ending this one, on Win32.
#include "process.h"

#include <windows.h>

#include "failure.h"
#include "start_win.h"
#include "text_win.h"

namespace velloran {

void startProgram(const std::string& path) {
    std::wstring application = win::widen(path);
    // The application is named explicitly: with only a command line, an
    // unquoted "C:\Program Files\Game\game.exe" would first be tried as
    // "C:\Program.exe". The command line is the path as it stands, no
    // quotes and no arguments; CreateProcessW may write into it.
    std::wstring commandLine = application;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        throw Failure(FailureKind::Io, "Cannot start " + path + ": " + win::systemMessage(GetLastError()));
    // The served program lets this one end at once and may take the
    // foreground when its first window shows.
    AllowSetForegroundWindow(process.dwProcessId);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

[[noreturn]] void endProcessNow(int code) { ExitProcess(static_cast<UINT>(code)); }

namespace win {

void restrictDllSearch() {
    // Looked up rather than linked: systems before Windows 8 without the
    // update that added it simply keep their default search.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    auto set = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace win
}  // namespace velloran
