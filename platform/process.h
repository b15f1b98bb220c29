// Process service for the window commands.
//
// Backends: process_posix.cpp, process_win.cpp.
#pragma once

#include <string>

namespace velloran {

// Starts the program at `path` as a new process with no arguments, a normal
// activated window and the current directory inherited. The path is used as
// it stands (spaces included, never split into arguments). Throws Failure
// when it cannot be started.
void startProgram(const std::string& path);

// Ends this process at once, without running any further code of ours.
[[noreturn]] void endProcessNow(int code);

}  // namespace velloran
