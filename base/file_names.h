// The names of the program's own files, and how to recognise them: the two
// manifests it keeps in the program folder and the temporary files it writes
// beside a file it replaces. The engine, the platform's file service and the
// tests all take them from here.
#pragma once

#include <string>
#include <string_view>

namespace velloran {

// The manifest as the update site serves it, and the local copy of the
// release last installed.
inline constexpr std::string_view kManifestName = "info.ini";
// Where the remote manifest is kept while an update runs.
inline constexpr std::string_view kTempManifestName = "temp.ini";

// Every temporary file starts with this prefix and ends with kTempSuffix.
inline constexpr std::string_view kTempPrefix = "~velloran-";
inline constexpr std::string_view kTempSuffix = ".part";

// "~velloran-<name>.<process>.part": the temporary file that receives the
// new content of `name`. `maxLength` bounds the whole name (a file system's
// limit); the end of `name` gives way, so the result still starts with
// kTempPrefix and ends with kTempSuffix.
std::string tempFileName(std::string_view name, std::string_view process, std::size_t maxLength = 255);

// "~velloran-<name>.resume.part": where a download of `name` that may be
// resumed keeps the bytes it received, under the same name in every run so
// that the next attempt finds them; and "~velloran-<name>.resume-from.part":
// what those bytes were (the address, the server's validator). Shortened as
// tempFileName() shortens.
std::string resumeFileName(std::string_view name, std::size_t maxLength = 255);
std::string resumeInfoName(std::string_view name, std::size_t maxLength = 255);
// True for a name resumeFileName() or resumeInfoName() gives.
bool isResumeFileName(std::string_view name);

// True for a name this program gives its temporary files: a leftover that a
// later run may remove, and never a name a manifest may use.
bool isTempFileName(std::string_view name);

}  // namespace velloran
