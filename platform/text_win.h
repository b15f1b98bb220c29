// Windows text boundary: the engine's texts are bytes in the ANSI code page;
// every Win32 call inside the backends takes wide characters. Also the
// system's own texts for error codes, as the failure reports show them.
//
// Only the *_win.cpp backends and the Windows window include this header.
#pragma once

#include <string>

namespace velloran::win {

// ANSI code page bytes to UTF-16. Bytes the code page does not map become
// the code page's default character; never fails.
std::wstring widen(const std::string& ansi);

// UTF-16 to ANSI code page bytes; characters the code page cannot hold
// become '?'. Never fails.
std::string narrow(const std::wstring& wide);

// The system's message for `code` (a GetLastError() value), without the
// trailing line end. `module` names a DLL whose message table to search
// first (e.g. L"winhttp.dll"), or nullptr for the system's table. When no
// text exists, "error <code>".
std::string systemMessage(unsigned long code, const wchar_t* module = nullptr);

}  // namespace velloran::win
