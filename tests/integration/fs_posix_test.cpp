// The POSIX file-system service on a real temporary folder.
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

TEST(PosixFileSystem, CommitReplacesTheTargetWithExactlyTheNewBytes) {
    TempFolder dir;
    auto fs = makeFileSystem();
    struct Case {
        const char* name;
        std::optional<std::string> before;
        std::vector<std::size_t> writes;  // sizes of successive write() calls
    } const cases[] = {
        {"new file", std::nullopt, {10}},
        {"shorter over longer", std::string(100000, 'o'), {1024, 1024, 17}},
        {"many small writes across the buffer", std::string("old"), std::vector<std::size_t>(300, 1024)},
        {"one write larger than the buffer", std::nullopt, {200 * 1024}},
        {"empty", std::string("old content"), {}},
        {"mixed", std::nullopt, {1, 65535, 1, 65536, 3, 70000}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "file" + std::to_string(n++) + ".dat";
        if (c.before) dir.write(name, *c.before);
        std::string expected;
        auto out = fs->create(dir.at(name), Durability::Now);
        for (std::size_t size : c.writes) {
            std::string piece(size, '\0');
            for (std::size_t i = 0; i < size; ++i) piece[i] = static_cast<char>((expected.size() + i) * 31 % 251);
            out->write(piece.data(), piece.size());
            expected += piece;
        }
        // Until the commit the target keeps its old content.
        EXPECT_EQ(dir.read(name), c.before);
        out->commit();
        EXPECT_EQ(dir.read(name), expected);
        out.reset();
        EXPECT_EQ(dir.read(name), expected);
    }
    for (const auto& entry : dir.list()) EXPECT_EQ(entry.rfind(velloran::kTempPrefix, 0), std::string::npos) << entry;
}

TEST(PosixFileSystem, TheTemporaryFileSitsBesideTheTargetUntilCommit) {
    TempFolder dir;
    auto fs = makeFileSystem();
    auto out = fs->create(dir.at("a.dat"), Durability::Now);
    out->write("abc", 3);
    const std::string temp = std::string(velloran::kTempPrefix) + "a.dat." + std::to_string(::getpid()) + ".part";
    EXPECT_EQ(dir.list(), std::vector<std::string>{temp});
    out->commit();
    EXPECT_EQ(dir.list(), std::vector<std::string>{"a.dat"});
}

TEST(PosixFileSystem, DroppingAnUncommittedFileKeepsTheTargetAndLeavesNoTemporary) {
    TempFolder dir;
    auto fs = makeFileSystem();
    struct Case {
        const char* name;
        std::optional<std::string> before;
    } const cases[] = {{"existing target", std::string("keep me")}, {"absent target", std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.before) dir.write("t.dat", *c.before);
        {
            auto out = fs->create(dir.at("t.dat"), Durability::Now);
            std::string lots(300000, 'n');
            out->write(lots.data(), lots.size());
        }
        EXPECT_EQ(dir.read("t.dat"), c.before);
        EXPECT_EQ(dir.list(), c.before ? std::vector<std::string>{"t.dat"} : std::vector<std::string>{});
        std::filesystem::remove(dir.at("t.dat"));
    }
}

TEST(PosixFileSystem, ALeftoverTemporaryOfThisPidIsReplaced) {
    TempFolder dir;
    auto fs = makeFileSystem();
    const std::string temp = std::string(velloran::kTempPrefix) + "a.dat." + std::to_string(::getpid()) + ".part";
    dir.write(temp, "stale");
    auto out = fs->create(dir.at("a.dat"), Durability::Now);
    out->write("new", 3);
    out->commit();
    EXPECT_EQ(dir.read("a.dat"), "new");
    EXPECT_EQ(dir.list(), std::vector<std::string>{"a.dat"});
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

TEST(PosixFileSystem, FailuresNameThePathAndTheReason) {
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

TEST(PosixFileSystem, CommittingTwiceIsAFailure) {
    TempFolder dir;
    auto fs = makeFileSystem();
    auto out = fs->create(dir.at("a"), Durability::Now);
    out->commit();
    EXPECT_NE(failureText([&] { out->commit(); }), "(no failure)");
    EXPECT_NE(failureText([&] { out->write("x", 1); }), "(no failure)");
    EXPECT_EQ(dir.read("a"), "");
}

TEST(PosixFileSystem, FindEntryIgnoresLetterCaseButPrefersAnExactMatch) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("Maps/x", "");
    dir.write("maps/x", "");
    dir.write("Data.PAK", "");
    dir.write("sounds/x", "");
    struct Case {
        const char* folder;
        const char* name;
        const char* found;
    } const cases[] = {
        {"", "maps", "maps"},
        {"", "Maps", "Maps"},
        {"", "MAPS", "Maps"},  // two inexact matches: the smaller name
        {"", "data.pak", "Data.PAK"},
        {"", "SOUNDS", "sounds"},
        {"", "sound", ""},
        {"", "maps/x", ""},
        {"", "", ""},
        {"sounds", "X", "x"},
        {"absent", "x", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.folder) + " / " + c.name);
        EXPECT_EQ(fs->findEntry(dir.at(c.folder), c.name), c.found);
    }
}

TEST(PosixFileSystem, KindsOfEntries) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("plain.txt", "x");
    dir.write(".hidden", "x");
    dir.write("sub/inner.txt", "x");
    ASSERT_EQ(::symlink(dir.at("plain.txt").c_str(), dir.at("link.txt").c_str()), 0);
    ASSERT_EQ(::symlink("/", dir.at("rootlink").c_str()), 0);
    struct Case {
        const char* name;
        bool plainFile;
        bool folder;
    } const cases[] = {
        {"plain.txt", true, false}, {".hidden", false, false}, {"sub", false, true},
        {"sub/inner.txt", true, false}, {"link.txt", true, false}, {"absent", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fs->isPlainFile(dir.at(c.name)), c.plainFile);
        EXPECT_EQ(std::filesystem::is_directory(dir.at(c.name)), c.folder);
    }
    // A link to a folder is not listed as one, so a walk cannot leave the tree.
    EXPECT_EQ(fs->list(dir.path()),
              (std::vector<std::string>{".hidden", "link.txt", "plain.txt", "rootlink", "sub/"}));
    EXPECT_TRUE(fs->list(dir.at("absent")).empty());
}

TEST(PosixFileSystem, MakeFolderAndRemove) {
    TempFolder dir;
    auto fs = makeFileSystem();
    fs->makeFolder(dir.at("maps"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.at("maps")));
    dir.write("maps/a.dat", "x");
    fs->remove(dir.at("maps/a.dat"));
    EXPECT_FALSE(dir.exists("maps/a.dat"));
    fs->remove(dir.at("maps/a.dat"));  // already gone: not a failure
}

TEST(PosixFileSystem, StampFollowsReplacementAndReadFileHonoursTheCap) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("a.ini", "[VERSION]\nVersion=1\n");
    const auto first = fs->stamp(dir.at("a.ini"));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size, 20u);
    EXPECT_EQ(fs->stamp(dir.at("a.ini")), first);

    auto out = fs->create(dir.at("a.ini"), Durability::Now);
    out->write("[VERSION]\nVersion=2\n", 20);
    out->commit();
    const auto second = fs->stamp(dir.at("a.ini"));
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);  // same size, new file
    EXPECT_EQ(second->size, 20u);

    EXPECT_FALSE(fs->stamp(dir.at("absent")));
    EXPECT_FALSE(fs->stamp(dir.path()));

    EXPECT_EQ(fs->readFile(dir.at("a.ini"), 1000), "[VERSION]\nVersion=2\n");
    EXPECT_EQ(fs->readFile(dir.at("a.ini"), 9), "[VERSION]");
    EXPECT_EQ(fs->readFile(dir.at("a.ini"), 0), "");
    EXPECT_FALSE(fs->readFile(dir.at("absent"), 10));
    EXPECT_FALSE(fs->readFile(dir.path(), 10));
    const std::string big(300000, 'b');
    dir.write("big", big);
    EXPECT_EQ(fs->readFile(dir.at("big"), 1u << 20), big);
}

TEST(PosixFileSystem, ProgramFolderHoldsTheRunningExecutable) {
    auto fs = makeFileSystem();
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(fs->programFolder(), exe.parent_path().string());
    EXPECT_EQ(fs->programFolder().back() == '/', false);
    EXPECT_EQ(fs->separator(), '/');
}

}  // namespace
}  // namespace velloran
