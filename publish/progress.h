// The progress line of a long step on a terminal: files and bytes done of
// the step's total, rewritten in place a few times a second. Shows nothing
// when the output is not a terminal, so logs and pipes get the summary alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace velloran::publish {

// True when `stream` is an interactive terminal. Backends:
// terminal_posix.cpp, terminal_win.cpp.
bool isTerminal(std::FILE* stream);

class Progress {
public:
    // `show` false: every call does nothing.
    Progress(std::FILE* out, bool show) : out_(out), show_(show) {}
    ~Progress() { finish(); }

    // Starts a step ("hashing", "copying") over `files` files of `bytes` bytes.
    void start(const std::string& what, std::uint64_t files, std::uint64_t bytes);
    void addBytes(std::uint64_t bytes);
    void fileDone();
    // Ends the step's line.
    void finish();

private:
    void draw(bool force);

    std::FILE* out_;
    bool show_;
    bool open_ = false;
    std::string what_;
    std::uint64_t files_ = 0, bytes_ = 0, filesDone_ = 0, bytesDone_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// "1.5 GiB", "300.0 MiB", "12 bytes".
std::string byteText(std::uint64_t bytes);

}  // namespace velloran::publish
