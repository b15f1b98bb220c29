// What the POSIX file service promises beyond the shared contract
// (tests/contract/fs_contract_test.cpp): permission bits, hidden names, the
// system's own reasons in failure texts, two names that differ only in case,
// and the program folder from /proc.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "servers.h"

namespace velloran {
namespace {

using test::TempFolder;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

mode_t currentUmask() {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

std::string failureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const Failure& f) {
        return f.what();
    }
    return "(no failure)";
}

TEST(PosixFileSystem, PermissionBitsOfTheTargetSurviveTheReplacement) {
    TempFolder dir;
    auto fs = makeFileSystem();
    struct Case {
        const char* name;
        std::optional<mode_t> before;
        mode_t after;
        std::string content = "new";
    } const cases[] = {
        {"executable stays executable", 0755, 0755},
        {"read-only stays read-only", 0444, 0444},
        {"private stays private", 0600, 0600},
        {"new file follows the umask", std::nullopt, static_cast<mode_t>(0666 & ~currentUmask())},
        {"new ELF program is executable", std::nullopt, static_cast<mode_t>(0777 & ~currentUmask()),
         std::string("\x7f" "ELF\2\1\1", 7)},
        {"new script is executable", std::nullopt, static_cast<mode_t>(0777 & ~currentUmask()), "#!/bin/sh\n"},
        {"replaced script keeps its mode", 0644, 0644, "#!/bin/sh\n"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "m" + std::to_string(n++);
        if (c.before) {
            dir.write(name, "old");
            ASSERT_EQ(::chmod(dir.at(name).c_str(), *c.before), 0);
        }
        auto out = fs->create(dir.at(name), Durability::Now);
        // Byte by byte: the file's head may arrive in pieces.
        for (char ch : c.content) out->write(&ch, 1);
        out->commit();
        EXPECT_EQ(modeOf(dir.at(name)), c.after);
        EXPECT_EQ(dir.read(name), c.content);
    }
}

// The reason is the system's text for the error of that very call, not of a
// later one that overwrote errno.
TEST(PosixFileSystem, FailureTextsCarryTheSystemsReason) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("file", "x");
    dir.write("folder/inside", "x");
    struct Case {
        const char* name;
        std::function<void()> action;
        std::string text;
    } const cases[] = {
        {"create in a missing folder", [&] { fs->create(dir.at("none/a.dat"), Durability::Now); },
         "Cannot create " + dir.at("none/a.dat") + ": No such file or directory"},
        {"create over a folder", [&] { fs->create(dir.at("folder"), Durability::Now); },
         "Cannot create " + dir.at("folder") + ": Is a directory"},
        {"create below a file", [&] { fs->create(dir.at("file/a.dat"), Durability::Now); },
         "Cannot create " + dir.at("file/a.dat") + ": Not a directory"},
        {"make an existing folder", [&] { fs->makeFolder(dir.at("folder")); },
         "Cannot make folder " + dir.at("folder") + ": File exists"},
        {"make a folder over a file", [&] { fs->makeFolder(dir.at("file")); },
         "Cannot make folder " + dir.at("file") + ": File exists"},
        {"make a folder in a missing folder", [&] { fs->makeFolder(dir.at("none/sub")); },
         "Cannot make folder " + dir.at("none/sub") + ": No such file or directory"},
        {"delete a folder", [&] { fs->remove(dir.at("folder")); },
         "Cannot delete " + dir.at("folder") + ": Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failureText(c.action), c.text);
    }
}

TEST(PosixFileSystem, AFailedWriteThrowsAndKeepsTheTarget) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("t.dat", "old");
    // A file-size limit makes write() fail like a full disk would, without
    // needing one.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string text;
    {
        auto out = fs->create(dir.at("t.dat"), Durability::Now);
        text = failureText([&] {
            std::string chunk(1024, 'x');
            for (int i = 0; i < 200; ++i) out->write(chunk.data(), chunk.size());
            out->commit();
        });
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);
    EXPECT_EQ(text, "Cannot write " + dir.at("t.dat") + ": File too large");
    EXPECT_EQ(dir.read("t.dat"), "old");
    EXPECT_EQ(dir.list(), std::vector<std::string>{"t.dat"});
}

TEST(PosixFileSystem, ALeftoverTemporaryOfThisPidIsReplaced) {
    TempFolder dir;
    auto fs = makeFileSystem();
    const std::string temp = std::string(kTempPrefix) + "a.dat." + std::to_string(::getpid()) + ".part";
    dir.write(temp, "stale");
    auto out = fs->create(dir.at("a.dat"), Durability::Now);
    out->write("new", 3);
    out->commit();
    EXPECT_EQ(dir.read("a.dat"), "new");
    EXPECT_EQ(dir.list(), std::vector<std::string>{"a.dat"});
}

TEST(PosixFileSystem, FindEntryPrefersAnExactMatchAmongNamesThatDifferInCase) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("Maps/x", "");
    dir.write("maps/x", "");
    dir.write("MAPS.txt", "");
    dir.write("maps.TXT", "");
    struct Case {
        const char* name;
        const char* found;
    } const cases[] = {
        {"maps", "maps"},
        {"Maps", "Maps"},
        {"MAPS", "Maps"},  // two inexact matches: the smaller name, whatever the folder's order
        {"mAPS", "Maps"},
        {"maps.txt", "MAPS.txt"},
        {"MAPS.txt", "MAPS.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fs->findEntry(dir.path(), c.name), c.found);
    }
}

TEST(PosixFileSystem, NamesStartingWithADotAreHidden) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write(".hidden", "x");
    dir.write(".config/settings", "x");
    dir.write("shown", "x");
    ASSERT_EQ(::symlink(dir.at("shown").c_str(), dir.at(".link").c_str()), 0);
    EXPECT_FALSE(fs->isPlainFile(dir.at(".hidden")));
    EXPECT_FALSE(fs->isPlainFile(dir.at(".link")));
    EXPECT_TRUE(fs->isPlainFile(dir.at(".config/settings")));  // only the name itself counts
    EXPECT_TRUE(fs->isPlainFile(dir.at("shown")));
    // Listed all the same: the engine's sweep of leftovers sees every name.
    EXPECT_EQ(fs->list(dir.path()), (std::vector<std::string>{".config/", ".hidden", ".link", "shown"}));
}

TEST(PosixFileSystem, ProgramFolderHoldsTheRunningExecutable) {
    auto fs = makeFileSystem();
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(fs->programFolder(), exe.parent_path().string());
    EXPECT_NE(fs->programFolder().back(), '/');
    EXPECT_EQ(fs->separator(), '/');
}

}  // namespace
}  // namespace velloran
