// Starting the served program and ending the own process, for real.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "failure.h"
#include "process.h"
#include "servers.h"

namespace velloran {
namespace {

using namespace std::chrono_literals;
using test::TempFolder;

std::string startFailure(const std::string& path) {
    try {
        startProgram(path);
    } catch (const Failure& f) {
        return f.what();
    }
    return "(started)";
}

std::optional<std::string> waitForFile(const TempFolder& dir, const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (dir.exists(name + ".done")) return dir.read(name);
        std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
}

TEST(StartProgram, RunsThePathAsItStandsWithNoArgumentsAndOurDirectory) {
    TempFolder dir;
    // A descriptor of ours that is not close-on-exec must not reach the child.
    const int stray = ::dup2(::open("/dev/null", O_RDONLY), 40);
    ASSERT_EQ(stray, 40);
    const std::string program = dir.at("my game/run game.sh");
    dir.write("my game/run game.sh",
              "#!/bin/sh\n"
              "out='" + dir.at("report") + "'\n"
              "{ echo \"args=$#\"; echo \"cwd=$(pwd -P)\";\n"
              "  if [ -e /proc/$$/fd/40 ]; then echo fd40=open; else echo fd40=closed; fi; } > \"$out\"\n"
              "touch \"$out.done\"\n");
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

    startProgram(program);
    ::close(stray);
    const std::string cwd = std::filesystem::canonical(std::filesystem::current_path()).string();
    const auto report = waitForFile(dir, "report");
    ASSERT_TRUE(report) << "the program did not run";
    EXPECT_EQ(*report, "args=0\ncwd=" + cwd + "\nfd40=closed\n");
}

TEST(StartProgram, FailuresNameThePathAndTheReason) {
    TempFolder dir;
    dir.write("plain.txt", "not a program\n");
    dir.write("garbage", "\x01\x02\x03 not a program\n");
    ASSERT_EQ(::chmod(dir.at("garbage").c_str(), 0755), 0);
    dir.write("folder/x", "");
    struct Case {
        const char* name;
        std::string path;
        const char* reason;
    } const cases[] = {
        {"missing", dir.at("absent"), "No such file or directory"},
        {"not executable", dir.at("plain.txt"), "Permission denied"},
        {"a folder", dir.at("folder"), "Permission denied"},
        {"not a program format", dir.at("garbage"), "Exec format error"},
        {"path ending in a separator", dir.path() + "/", "Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(startFailure(c.path), "Cannot start " + c.path + ": " + c.reason);
    }
}

void registerTrap() {
    // exit() would run this and change the exit code; _exit() must not.
    std::atexit([] { std::_Exit(99); });
}

TEST(EndProcessNowDeathTest, EndsWithTheCodeAfterFlushingAndRunsNoExitHandlers) {
    EXPECT_EXIT(
        {
            registerTrap();
            std::setvbuf(stderr, nullptr, _IOFBF, 4096);  // held until flushed
            std::fputs("last words", stderr);
            endProcessNow(7);
        },
        ::testing::ExitedWithCode(7), "last words");
}

}  // namespace
}  // namespace velloran
