// What the POSIX file service promises beyond the shared contract
// (tests/contract/fs_contract_test.cpp): permission bits, hidden names, the
// system's own reasons in failure texts, two names that differ only in case,
// and the program folder from /proc.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// A link at the target is replaced, so the file stored there is a new one:
// it takes no mode from what the link led to.
TEST(PosixFileSystem, AFileStoredOverALinkIsANewFile) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("elsewhere/tool", "#!/bin/sh\n");
    ASSERT_EQ(::chmod(dir.at("elsewhere/tool").c_str(), 04700), 0);
    ASSERT_EQ(::symlink(dir.at("elsewhere/tool").c_str(), dir.at("tool").c_str()), 0);
    auto out = fs->create(dir.at("tool"), Durability::Now);
    out->write("data", 4);
    out->commit();
    EXPECT_EQ(modeOf(dir.at("tool")), static_cast<mode_t>(0666 & ~currentUmask()));
    EXPECT_EQ(dir.read("tool"), "data");
    EXPECT_EQ(modeOf(dir.at("elsewhere/tool")), 04700u);
    EXPECT_EQ(dir.read("elsewhere/tool"), "#!/bin/sh\n");
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

// How a child process ended, and what it wrote to its report pipe.
struct ChildEnd {
    int signal = 0;  // the signal that ended it, or 0
    int code = -1;   // its exit code, when it exited
    std::string report;
};

// Runs `body` in a child process, which ends with _exit(0) right after it:
// nothing of this process (its temporary folders) is cleaned up twice.
ChildEnd inChild(const std::function<std::string()>& body) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        const std::string report = body();
        const ssize_t written = ::write(pipeFds[1], report.data(), report.size());
        ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    ChildEnd end;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) end.report.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    if (WIFEXITED(status)) end.code = WEXITSTATUS(status);
    return end;
}

// The child sets the limit itself and nothing else: ignoring SIGXFSZ is the
// service's job, or the process dies of it. A temporary file goes; a
// resumable file keeps what fitted, for an attempt with room to go on.
TEST(PosixFileSystem, AWriteBeyondTheFileSizeLimitIsADiskFullFailure) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<OutputFile>(FileSystem&, const std::string&)> open;
        std::vector<std::string> left;
    } const cases[] = {
        {"a new file", [](FileSystem& fs, const std::string& t) { return fs.create(t, Durability::Now); },
         {"t.dat"}},
        {"a resumable file",
         [](FileSystem& fs, const std::string& t) -> std::unique_ptr<OutputFile> {
             return fs.openResumable(t, Durability::Now);
         },
         {"t.dat", resumeFileName("t.dat")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        dir.write("t.dat", "old");
        const ChildEnd end = inChild([&] {
            struct rlimit limit {};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = 100000;
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
            auto fs = makeFileSystem();
            try {
                auto out = c.open(*fs, dir.at("t.dat"));
                const std::string chunk(1024, 'x');
                for (int i = 0; i < 200; ++i) out->write(chunk.data(), chunk.size());
                out->commit();
            } catch (const Failure& f) {
                return std::string(f.kind() == FailureKind::DiskFull ? "DiskFull: " : "another kind: ") + f.what();
            }
            return std::string("no failure");
        });
        EXPECT_EQ(end.signal, 0) << "the process died of signal " << end.signal;
        EXPECT_EQ(end.code, 0);
        EXPECT_EQ(end.report,
                  "DiskFull: Cannot write " + dir.at("t.dat") +
                      ": File too large (the file system's limit, or this process's file size limit: ulimit -f)");
        EXPECT_EQ(dir.read("t.dat"), "old");
        EXPECT_EQ(dir.list(), c.left);
        if (c.left.size() < 2) continue;
        auto fs = makeFileSystem();
        auto again = fs->openResumable(dir.at("t.dat"), Durability::Now);
        EXPECT_EQ(again->size(), 100000u) << "not all that fitted was kept";
        EXPECT_EQ(dir.read(resumeFileName("t.dat")), std::string(100000, 'x'));
    }
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

TEST(PosixFileSystem, OnlyPlainFilesAreReadAndAPipeIsNotWaitedOn) {
    // A pipe planted under a name the engine reads (a manifest, a resume
    // note) would hold open() until someone writes to it.
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("plain", "bytes");
    ASSERT_EQ(::mkfifo(dir.at("pipe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(dir.at("pipe").c_str(), dir.at("link-to-pipe").c_str()), 0);
    EXPECT_EQ(fs->readFile(dir.at("plain"), 100), "bytes");
    for (const char* name : {"pipe", "link-to-pipe"}) EXPECT_EQ(fs->readFile(dir.at(name), 100), std::nullopt) << name;
    EXPECT_EQ(fs->readFile("/dev/zero", 100), std::nullopt);
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
