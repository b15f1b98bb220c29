// Start-up chores of the Windows program, called first thing in main.
#pragma once

namespace velloran::win {

// Restricts the DLL search of this process to System32, so that no DLL is
// ever loaded from the program folder or the current folder. Does nothing on
// a system without SetDefaultDllDirectories.
void restrictDllSearch();

// Deletes the copies of the program's own executable that an earlier
// self-update moved aside (see asidePrefix()). A copy that cannot be deleted
// yet (its process still runs) stays for a later start. Never fails.
void removeAsideCopies();

// Prefix of the name under which a self-update moves the running executable
// aside, in the same folder: the prefix followed by the executable's name.
constexpr const char* asidePrefix() { return "~velloran-old-"; }

}  // namespace velloran::win
