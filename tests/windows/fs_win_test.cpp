// What the Windows file service promises beyond the shared contract
// (tests/contract/fs_contract_test.cpp): the launcher's file test with its
// attributes and wildcards, read-only files, names compared without regard
// to case, and the running program, which is moved aside rather than
// replaced. Run under Wine by run.sh.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "fs_contract.h"
#include "start_win.h"

namespace velloran {
namespace {

using contract::content;
using contract::makeFolders;
using contract::makeLink;
using contract::names;
using contract::put;
using contract::Scratch;

using contract::Outcome;
using contract::outcomeOf;

std::string runningProgram() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    return std::string(self, n);
}

TEST(WinFileSystem, PlainFileTestSeesOnlyNormalFiles) {
    Scratch dir;
    auto fs = makeFileSystem();
    for (const char* name : {"normal.exe", "readonly.exe", "hidden.exe", "system.exe"}) put(dir.at(name), "x");
    makeFolders(dir.at("folder.exe"));
    SetFileAttributesA(dir.at("readonly.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(dir.at("hidden.exe").c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA(dir.at("system.exe").c_str(), FILE_ATTRIBUTE_SYSTEM);
    Scratch onlyHidden;
    put(onlyHidden.at("h.txt"), "x");
    SetFileAttributesA(onlyHidden.at("h.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);

    const struct {
        std::string path;
        bool plain;
    } cases[] = {
        {dir.at("normal.exe"), true},
        {dir.at("NORMAL.EXE"), true},
        {dir.at("readonly.exe"), true},
        {dir.at("hidden.exe"), false},
        {dir.at("system.exe"), false},
        {dir.at("folder.exe"), false},
        {dir.at("absent.exe"), false},
        {dir.at("absent\\normal.exe"), false},
        {dir.at("n*.exe"), true},           // wildcards search
        {dir.at("h*.exe"), false},          // ... among normal files only
        {dir.path() + "\\", true},          // a folder path lists the folder
        {onlyHidden.path() + "\\", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(fs->isPlainFile(c.path), c.plain);
    }
}

// A read-only file is the system's answer "do not replace": the write fails
// at the commit, so a read-only file cannot be updated by accident.
TEST(WinFileSystem, AReadOnlyFileIsNeitherReplacedNorDeleted) {
    Scratch dir;
    auto fs = makeFileSystem();
    put(dir.at("locked.dat"), "keep");
    SetFileAttributesA(dir.at("locked.dat").c_str(), FILE_ATTRIBUTE_READONLY);
    const Outcome write = outcomeOf([&] {
        auto out = fs->create(dir.at("locked.dat"), Durability::Now);
        out->write("x", 1);
        out->commit();
    });
    EXPECT_TRUE(write.failed);
    EXPECT_EQ(write.kind, FailureKind::Io) << write.text;
    EXPECT_TRUE(write.text.starts_with("Cannot write " + dir.at("locked.dat") + ": ")) << write.text;
    const Outcome remove = outcomeOf([&] { fs->remove(dir.at("locked.dat")); });
    EXPECT_TRUE(remove.failed);
    EXPECT_EQ(remove.kind, FailureKind::Io) << remove.text;
    EXPECT_EQ(content(dir.at("locked.dat")), "keep");
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"locked.dat"});
}

// Another process cannot hold this process's identifier, but a dead one may
// have left the name: it is left for the engine's sweep and another is taken.
TEST(WinFileSystem, ALeftoverTemporaryOfThisProcessStaysAndANumberedNameIsTaken) {
    Scratch dir;
    auto fs = makeFileSystem();
    const std::string leftover = std::string(kTempPrefix) + "a.dat." + contract::processTag() + std::string(kTempSuffix);
    put(dir.at(leftover), "stale");
    auto out = fs->create(dir.at("a.dat"), Durability::Now);
    const std::string numbered =
        std::string(kTempPrefix) + "a.dat." + contract::processTag() + "-1" + std::string(kTempSuffix);
    EXPECT_EQ(names(dir.path()), (std::vector<std::string>{numbered, leftover}));
    out->write("new", 3);
    out->commit();
    EXPECT_EQ(content(dir.at("a.dat")), "new");
    EXPECT_EQ(content(dir.at(leftover)), "stale");
}

TEST(WinFileSystem, ProgramFolderHoldsTheRunningExecutable) {
    auto fs = makeFileSystem();
    const std::string exe = runningProgram();
    EXPECT_EQ(fs->programFolder(), exe.substr(0, exe.rfind('\\')));
    EXPECT_EQ(fs->separator(), '\\');
}

TEST(WinFileSystem, LiesOutsideComparesNamesWithoutRegardToCase) {
    Scratch top;
    auto fs = makeFileSystem();
    put(top.at("game/maps/a.dat"), "inside");
    put(top.at("gamex/f.txt"), "outside");
    ASSERT_TRUE(makeLink(top.at("game/out"), top.at("gamex"), true));
    ASSERT_TRUE(makeLink(top.at("game/inner"), top.at("game/maps"), true));
    const struct {
        const char* name;
        std::string root;
        std::string path;
        bool outside;
    } cases[] = {
        {"the root in capitals", top.at("GAME"), top.at("game/maps"), false},
        {"the path in capitals", top.at("game"), top.at("GAME/MAPS/A.DAT"), false},
        {"mixed, through a link that stays inside", top.at("Game"), top.at("gAME/INNER/a.dat"), false},
        {"the root itself in another case", top.at("game"), top.at("GAME"), false},
        {"a link to outside in capitals", top.at("game"), top.at("GAME/OUT"), true},
        {"the neighbour in capitals", top.at("game"), top.at("GAMEX"), true},
        {"forward slashes", top.at("game"), top.path() + "/game/maps", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.path);
        EXPECT_EQ(fs->liesOutside(c.root, c.path), c.outside);
    }
}

// A link that leads to the running program is an entry of its own: a write
// to it replaces the link, and the program stays where it is. Moving the
// program aside for it would have the next start delete the program. Wine
// refuses to replace a link to a running image at all, which keeps the
// program too.
TEST(WinFileSystem, ALinkToTheRunningProgramNeverMovesTheProgramAside) {
    Scratch dir;
    auto fs = makeFileSystem();
    const std::string exe = runningProgram();
    const std::size_t cut = exe.rfind('\\') + 1;
    const std::string aside = exe.substr(0, cut) + win::asidePrefix() + exe.substr(cut);
    ASSERT_TRUE(makeLink(dir.at("launcher.exe"), exe, false));
    const auto program = content(exe);
    ASSERT_TRUE(program && content(dir.at("launcher.exe")) == program);

    const Outcome out = outcomeOf([&] {
        auto file = fs->create(dir.at("launcher.exe"), Durability::Now);
        file->write("new", 3);
        file->commit();
    });
    const bool moved = GetFileAttributesA(exe.c_str()) == INVALID_FILE_ATTRIBUTES;
    if (moved) MoveFileExA(aside.c_str(), exe.c_str(), MOVEFILE_REPLACE_EXISTING);  // put this test program back
    EXPECT_FALSE(moved) << "the running program was moved aside";
    EXPECT_EQ(GetFileAttributesA(aside.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(content(exe) == program) << "the running program changed";
    if (out.failed) {
        EXPECT_EQ(out.kind, FailureKind::Io) << out.text;
        EXPECT_TRUE(content(dir.at("launcher.exe")) == program) << "the link changed";
    } else {
        EXPECT_EQ(content(dir.at("launcher.exe")), "new");
    }
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"launcher.exe"});
}

}  // namespace
}  // namespace velloran
