// Trace of the window's operations, for end-to-end tests and diagnosis.
//
// In a build with VELLORAN_TRACE defined, trace() writes one line to standard
// error and flushes it at once: the operation's name, a TAB and the argument
// (empty for operations without one). Backslash, TAB, CR and LF in the
// argument are written as \\, \t, \r and \n, so every call is one line.
// Without VELLORAN_TRACE, trace() compiles to nothing.
//
// Names: show, caption, L2, L3, Label4, news, lblConnect (argument 1 or 0),
// minimise, exit, launch (the path started), msgbox (its text), failure (the
// failure's text), font (the family the window's text is drawn in, once the
// window shows), scale (the whole factor the window is drawn at, after font).
// Both toolkits use these names; test scenarios depend on them.
#pragma once

#include <string>
#include <string_view>

namespace frmUpdate {

// The argument as it appears in a trace line. Always available, so it can be
// tested in any build.
std::string escapeTraceArgument(std::string_view argument);

#ifdef VELLORAN_TRACE
void trace(std::string_view operation, std::string_view argument = {});
#else
inline void trace(std::string_view, std::string_view = {}) {}
#endif

}  // namespace frmUpdate
