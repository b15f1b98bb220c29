// What the file service's contract suite (fs_contract_test.cpp) needs from
// the system beside the service it tests: folders to work in, files made and
// read behind the service's back, and links. One implementation per system,
// chosen by the build: fs_contract_posix.cpp, fs_contract_win.cpp. Paths are
// native full paths, as the service takes them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "failure.h"

namespace velloran::contract {

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the Scratch goes; links in it are removed, never
// followed.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // No trailing separator.
    const std::string& path() const { return path_; }
    // `relative` written with '/'; the result with the system's separator.
    std::string at(const std::string& relative) const;

private:
    std::string path_;
};

// Writes `bytes` to `path`, making missing folders on the way.
void put(const std::string& path, const std::string& bytes);
// Whole content; nullopt when it cannot be read.
std::optional<std::string> content(const std::string& path);
// Makes `path` and every missing folder above it.
void makeFolders(const std::string& path);
// Names in `folder`, sorted; empty when it cannot be listed.
std::vector<std::string> names(const std::string& folder);
// True when `path` is a link (symbolic link, junction), dangling or not.
bool isLink(const std::string& path);

// Makes `link` a link to `target` (a full path, which need not exist). On
// Windows a folder link is a junction where the system can make one, and
// under Wine a host symbolic link, which Wine shows as a reparse point. False
// when the system makes no such link.
bool makeLink(const std::string& link, const std::string& target, bool toFolder);

// The process identifier as the service writes it into temporary names.
std::string processTag();

// How an action on the service ended: a Failure's kind and text, or not at all.
struct Outcome {
    bool failed = false;
    FailureKind kind = FailureKind::Io;
    std::string text;
};
Outcome outcomeOf(const std::function<void()>& action);

}  // namespace velloran::contract
