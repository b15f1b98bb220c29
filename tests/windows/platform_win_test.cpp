// The Windows backends (fs_win, process_win, http_win) on the real system
// calls, run under Wine by run.sh.
//
// The HTTP cases talk to tests/integration/fault_server.py, which run.sh
// starts on 127.0.0.1 and describes in the environment:
//   VELLORAN_FAULT_PORT  its port
//   VELLORAN_FAULT_ROOT  the folder it serves (a Windows path)
//   VELLORAN_FAULT_FILE  its faults file, read again for every request
//   VELLORAN_FAULT_LOG   the file it logs request lines to
//   VELLORAN_MARKER_EXE  the cross-built marker.exe
// Without them the HTTP and process cases fail rather than skip.
#include <gtest/gtest.h>

#include <filesystem>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "digest.h"
#include "failure.h"
#include "fault_site.h"
#include "file_names.h"
#include "fs.h"
#include "http.h"
#include "http_fetch.h"
#include "process.h"
#include "start_win.h"

namespace velloran {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string readAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeAll(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A fresh folder under the temporary folder, removed with its contents.
class Scratch {
public:
    Scratch() {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        static int counter = 0;
        path_ = std::string(temp) + "velloran-win-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++counter);
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~Scratch() { removeTree(path_); }
    const std::string& path() const { return path_; }
    std::string at(const std::string& name) const { return path_ + "\\" + name; }

private:
    static void removeTree(const std::string& folder) {
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::string name = data.cFileName;
                if (name == "." || name == "..") continue;
                std::string full = folder + "\\" + name;
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    removeTree(full);
                else
                    DeleteFileA(full.c_str());
            } while (FindNextFileA(find, &data));
            FindClose(find);
        }
        RemoveDirectoryA(folder.c_str());
    }
    std::string path_;
};

template <class F>
std::string failureOf(F call) {
    try {
        call();
    } catch (const Failure& failure) {
        return failure.what();
    }
    return {};
}

// ---------------------------------------------------------------------------
// File system

TEST(WinFileSystem, PlainFileTestSeesOnlyNormalFiles) {
    Scratch dir;
    auto fs = makeFileSystem();
    writeAll(dir.at("normal.exe"), "x");
    writeAll(dir.at("readonly.exe"), "x");
    writeAll(dir.at("hidden.exe"), "x");
    writeAll(dir.at("system.exe"), "x");
    CreateDirectoryA(dir.at("folder.exe").c_str(), nullptr);
    SetFileAttributesA(dir.at("readonly.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(dir.at("hidden.exe").c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA(dir.at("system.exe").c_str(), FILE_ATTRIBUTE_SYSTEM);
    Scratch onlyHidden;
    writeAll(onlyHidden.at("h.txt"), "x");
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

TEST(WinFileSystem, FindEntryGivesTheRealNameWithoutRegardToCase) {
    Scratch dir;
    auto fs = makeFileSystem();
    CreateDirectoryA(dir.at("Maps").c_str(), nullptr);
    writeAll(dir.at("Data.PAK"), "x");
    const struct {
        const char* name;
        const char* found;
    } cases[] = {
        {"maps", "Maps"}, {"MAPS", "Maps"}, {"Maps", "Maps"}, {"data.pak", "Data.PAK"},
        {"none", ""},     {"M*", ""},       {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fs->findEntry(dir.path(), c.name), c.found);
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir.at("maps")));
    EXPECT_FALSE(std::filesystem::is_directory(dir.at("Data.PAK")));
    EXPECT_FALSE(std::filesystem::is_directory(dir.at("none")));
}

TEST(WinFileSystem, MakeFolderMakesOneLevelAndFailsOtherwise) {
    Scratch dir;
    auto fs = makeFileSystem();
    EXPECT_EQ(failureOf([&] { fs->makeFolder(dir.at("new")); }), "");
    EXPECT_TRUE(std::filesystem::is_directory(dir.at("new")));
    EXPECT_NE(failureOf([&] { fs->makeFolder(dir.at("new")); }).find(dir.at("new")), std::string::npos);
    EXPECT_NE(failureOf([&] { fs->makeFolder(dir.at("a\\b")); }), "");
}

// Names in a folder that belong to unfinished writes.
std::vector<std::string> leftovers(FileSystem& fs, const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& name : fs.list(folder))
        if (name.rfind(velloran::kTempPrefix, 0) == 0) found.push_back(name);
    return found;
}

TEST(WinFileSystem, WritesReplaceTheTargetOnlyOnCommit) {
    Scratch dir;
    auto fs = makeFileSystem();
    const std::string target = dir.at("info.ini");
    writeAll(target, "old content that is longer than the new one");

    {
        auto out = fs->create(target, Durability::Now);
        out->write("partial", 7);
        // In the meantime the bytes sit in a file the engine's clean-up of
        // interrupted runs recognises.
        const auto temp = leftovers(*fs, dir.path());
        ASSERT_EQ(temp.size(), 1u);
        EXPECT_TRUE(temp[0].starts_with("~velloran-info.ini.") && temp[0].ends_with(".part")) << temp[0];
        // Destroyed without commit: the target keeps its old bytes.
    }
    EXPECT_EQ(readAll(target), "old content that is longer than the new one");
    EXPECT_TRUE(leftovers(*fs, dir.path()).empty());

    {
        auto out = fs->create(target, Durability::Now);
        out->write("new", 3);
        out->write(std::string("\0\xff", 2).data(), 2);
        out->commit();
    }
    EXPECT_EQ(readAll(target), std::string("new\0\xff", 5));  // no old tail
    EXPECT_TRUE(leftovers(*fs, dir.path()).empty());

    {
        auto out = fs->create(dir.at("fresh.dat"), Durability::Now);
        out->commit();
    }
    EXPECT_TRUE(fs->isPlainFile(dir.at("fresh.dat")));
    EXPECT_EQ(readAll(dir.at("fresh.dat")), "");

    const std::string inMissing = dir.at("missing\\x.dat");
    EXPECT_NE(failureOf([&] { fs->create(inMissing, Durability::Now); }).find(inMissing), std::string::npos);

    writeAll(dir.at("locked.dat"), "keep");
    SetFileAttributesA(dir.at("locked.dat").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_NE(failureOf([&] {
                  auto out = fs->create(dir.at("locked.dat"), Durability::Now);
                  out->write("x", 1);
                  out->commit();
              }),
              "");
    EXPECT_EQ(readAll(dir.at("locked.dat")), "keep");
    EXPECT_TRUE(leftovers(*fs, dir.path()).empty());
}

TEST(WinFileSystem, RemoveStampReadAndList) {
    Scratch dir;
    auto fs = makeFileSystem();
    writeAll(dir.at("a.txt"), "12345");
    CreateDirectoryA(dir.at("sub").c_str(), nullptr);

    const auto first = fs->stamp(dir.at("a.txt"));
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size, 5u);
    EXPECT_EQ(fs->stamp(dir.at("a.txt")), first);
    {
        auto out = fs->create(dir.at("a.txt"), Durability::Now);
        out->write("123456", 6);
        out->commit();
    }
    const auto second = fs->stamp(dir.at("a.txt"));
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(second, first);
    EXPECT_FALSE(fs->stamp(dir.at("sub")).has_value());
    EXPECT_FALSE(fs->stamp(dir.at("none")).has_value());

    EXPECT_EQ(fs->readFile(dir.at("a.txt"), 100), "123456");
    EXPECT_EQ(fs->readFile(dir.at("a.txt"), 4), "1234");
    EXPECT_FALSE(fs->readFile(dir.at("none"), 100).has_value());
    EXPECT_FALSE(fs->readFile(dir.at("sub"), 100).has_value());

    auto names = fs->list(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub\\"}));
    EXPECT_TRUE(fs->list(dir.at("none")).empty());

    EXPECT_EQ(failureOf([&] { fs->remove(dir.at("none")); }), "");
    EXPECT_EQ(failureOf([&] { fs->remove(dir.at("a.txt")); }), "");
    EXPECT_FALSE(fs->isPlainFile(dir.at("a.txt")));
    writeAll(dir.at("ro.txt"), "x");
    SetFileAttributesA(dir.at("ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_NE(failureOf([&] { fs->remove(dir.at("ro.txt")); }), "");

    EXPECT_EQ(fs->separator(), '\\');
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string exe(self, n);
    EXPECT_EQ(fs->programFolder(), exe.substr(0, exe.rfind('\\')));
}

// ---------------------------------------------------------------------------
// Process start

// Copies marker.exe to `path`, starts it through startProgram and gives what
// it recorded: command line, show state, current folder.
std::vector<std::string> startMarker(const std::string& path) {
    const std::string marker = env("VELLORAN_MARKER_EXE");
    if (marker.empty() || !CopyFileA(marker.c_str(), path.c_str(), FALSE)) {
        ADD_FAILURE() << "VELLORAN_MARKER_EXE does not name marker.exe: " << marker;
        return {};
    }
    startProgram(path);
    const std::string record = path + ".started";
    for (auto until = Clock::now() + 20s; Clock::now() < until;) {
        std::string text = readAll(record);
        if (text.size() > 2 && text.substr(text.size() - 2) == "\r\n" &&
            std::count(text.begin(), text.end(), '\n') == 3) {
            std::vector<std::string> lines;
            std::stringstream split(text);
            for (std::string line; std::getline(split, line);) lines.push_back(line.substr(0, line.size() - 1));
            return lines;
        }
        Sleep(50);
    }
    ADD_FAILURE() << "the started program left no record at " << record;
    return {};
}

TEST(WinProcess, StartsTheProgramFromItsUnquotedPath) {
    Scratch dir;
    CreateDirectoryA(dir.at("Game Folder").c_str(), nullptr);
    // What a command line alone would run for the unquoted path.
    writeAll(dir.at("Game.exe"), "not a program");
    const std::string path = dir.at("Game Folder\\the game.exe");
    char current[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, current);

    const auto record = startMarker(path);
    ASSERT_EQ(record.size(), 3u);
    EXPECT_EQ(record[0], path);  // exactly the path: no quotes, no arguments
    EXPECT_EQ(record[1], std::to_string(SW_SHOWNORMAL));
    EXPECT_EQ(record[2], current);  // the current folder is inherited
}

TEST(WinProcess, StartFailureNamesThePathAndTheReason) {
    Scratch dir;
    writeAll(dir.at("bad.exe"), "not a program");
    for (const std::string& path : {dir.at("absent.exe"), dir.at("bad.exe"), dir.path() + "\\"}) {
        SCOPED_TRACE(path);
        const std::string text = failureOf([&] { startProgram(path); });
        EXPECT_NE(text.find(path), std::string::npos) << text;
        EXPECT_GT(text.size(), path.size() + 8) << text;
    }
}

TEST(WinProcess, AsideCopiesOfTheProgramAreRemovedAtStart) {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string exe(self, n);
    const std::string folder = exe.substr(0, exe.rfind('\\'));
    const std::string aside = folder + "\\" + win::asidePrefix() + "some-program.exe";
    const std::string other = folder + "\\~velloran-7-0.tmp.keep";
    writeAll(aside, "old program");
    writeAll(other, "not ours to remove here");
    win::removeAsideCopies();
    EXPECT_EQ(GetFileAttributesA(aside.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA(other.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(other.c_str());
}

// ---------------------------------------------------------------------------
// HTTP: the contract suite (tests/contract) runs against WinHTTP through the
// fault server run.sh started; here is what only WinHTTP does.

// The fault server as run.sh describes it. Faults added here replace the
// faults file whole, since the server reads it again for every request.
class WinFaultSite final : public test::FaultSite {
public:
    WinFaultSite()
        : port_(env("VELLORAN_FAULT_PORT")), root_(env("VELLORAN_FAULT_ROOT")), faults_(env("VELLORAN_FAULT_FILE")),
          log_(env("VELLORAN_FAULT_LOG")) {
        if (port_.empty() || root_.empty() || faults_.empty() || log_.empty())
            throw std::runtime_error("run.sh describes the fault server in VELLORAN_FAULT_*");
        writeFaults();
    }
    void addFile(const std::string& sitePath, const std::string& bytes) override {
        std::string path = root_ + "\\" + sitePath;
        std::replace(path.begin(), path.end(), '/', '\\');
        for (std::size_t at = path.find('\\', root_.size() + 1); at != std::string::npos; at = path.find('\\', at + 1))
            CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
        writeAll(path, bytes);
    }
    void addFault(const std::string& requestPath, const std::string& faultJson) override {
        faults_by_path_.emplace_back(requestPath, faultJson);
        writeFaults();
    }
    std::string url(const std::string& path) const override { return "http://127.0.0.1:" + port_ + path; }
    std::vector<std::string> requests() const override {
        std::vector<std::string> lines;
        std::stringstream text(readAll(log_));
        for (std::string line; std::getline(text, line);)
            if (!line.empty()) lines.push_back(line);
        return lines;
    }
    // The discard port: nobody listens on it here.
    int refusedPort() const override { return 9; }

private:
    void writeFaults() const {
        std::string json = "{\n";
        for (std::size_t i = 0; i < faults_by_path_.size(); ++i)
            json += "\"" + faults_by_path_[i].first + "\": " + faults_by_path_[i].second +
                    (i + 1 < faults_by_path_.size() ? ",\n" : "\n");
        json += "}\n";
        const std::string fresh = faults_ + ".new";
        writeAll(fresh, json);
        MoveFileExA(fresh.c_str(), faults_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    std::string port_, root_, faults_, log_;
    std::vector<std::pair<std::string, std::string>> faults_by_path_;
};

HttpOptions quick() {
    HttpOptions o;
    o.connectTimeout = 5s;
    o.stallTimeout = 10s;
    return o;
}

TEST(WinHttp, AWindowMessageEndsPoll) {
    auto site = test::openFaultSite();
    site->addFile("updates/stall.txt", "abc");
    site->addFault("/updates/stall.txt", R"({"mode": "stall", "seconds": 5})");
    auto http = makeHttpTransfer(quick());
    http->begin(site->url("/updates/stall.txt"));
    // The head comes at once, the body in 5 s.
    for (auto until = Clock::now() + 5s; !http->headReady() && Clock::now() < until;) http->poll(100ms);
    ASSERT_TRUE(http->headReady());
    ASSERT_EQ(http->status(), 200) << http->error();
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }

    // A message for this thread's window queue ends the wait at once.
    PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
    const auto t0 = Clock::now();
    http->poll(3000ms);
    EXPECT_LT(Clock::now() - t0, 1000ms);
    EXPECT_FALSE(http->finished());
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// Wine's WinHTTP hands an interim answer other than 100 on as the final
// one, and the bytes of the real answer would pass for its body.
TEST(WinHttp, AnInterimAnswerIsRefusedNotTakenForTheAnswer) {
    auto site = test::openFaultSite();
    site->addFile("updates/interim.txt", "0123456789abcdef");
    site->addFault("/updates/interim.txt", R"({"mode": "slowhead", "interval": 0.2, "seconds": 0.1, "interim": true})");
    auto http = makeHttpTransfer(quick());
    const test::Outcome out = test::fetch(*http, site->url("/updates/interim.txt"));
    EXPECT_EQ(out.error, "The server sent an interim answer (status 102) that WinHTTP does not pass over");
    EXPECT_EQ(out.body, "");
}

}  // namespace

std::unique_ptr<test::FaultSite> test::openFaultSite() { return std::make_unique<WinFaultSite>(); }

}  // namespace velloran

namespace velloran {
namespace {

TEST(WinCrypto, Sha256KnownVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const auto& [text, hex] : cases) {
        auto digest = makeSha256();
        digest->update(text.data(), text.size());
        EXPECT_EQ(digest->hexDigest(), hex) << text;
    }
}

TEST(WinStart, NoDllIsLoadedFromTheCurrentFolderOnceRestricted) {
    // The DLL sits beside this test program; a folder of its own becomes the
    // current folder, with a copy of the DLL planted in it.
    char self[MAX_PATH];
    const std::string exe(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    const std::string built = exe.substr(0, exe.rfind('\\')) + "\\" VELLORAN_PLANTED_DLL;
    Scratch dir;
    const std::string planted = dir.at("planted-here.dll");
    ASSERT_TRUE(CopyFileA(built.c_str(), planted.c_str(), FALSE)) << built;
    char before[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, before);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));

    // Unrestricted, the default search finds it in the current folder.
    HMODULE found = LoadLibraryA("planted-here.dll");
    EXPECT_NE(found, nullptr) << "the planted DLL is not found even without the restriction";
    if (found) FreeLibrary(found);

    win::restrictDllSearch();
    HMODULE after = LoadLibraryA("planted-here.dll");
    EXPECT_EQ(after, nullptr) << "a DLL was loaded from the current folder";
    if (after) FreeLibrary(after);
    SetCurrentDirectoryA(before);
}

}  // namespace
}  // namespace velloran
