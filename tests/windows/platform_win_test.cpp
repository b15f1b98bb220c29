// The Windows backends (process_win, http_win, digest_win, start) on the real
// system calls, run under Wine by run.sh. The file service's tests are the
// contract suite (tests/contract) and fs_win_test.cpp.
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

// The range goes out as Range and If-Range header lines of their own; a
// validator that would break its line out asks for the whole file instead.
TEST(WinHttp, RangeHeadersAreSentOnlyWhenTheValidatorFitsOnItsLine) {
    auto site = test::openFaultSite();
    site->addFault("/updates/echo", R"({"mode": "echo"})");
    struct Case {
        const char* validator;
        const char* sent;  // the request head's lines of the range, each ended by '|'
    } const cases[] = {
        {"\"a-1\"", "Range: bytes=100-|If-Range: \"a-1\"|"},
        {"", "Range: bytes=100-|"},
        {"\"a\"\r\nX-Injected: 1", ""},
        {"\"a\"\nX-Injected: 1", ""},
        {"\"a\x01\"", ""},
    };
    auto http = makeHttpTransfer(quick());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.validator);
        const test::Outcome out = test::fetchFrom(*http, site->url("/updates/echo"), 100, c.validator);
        ASSERT_EQ(out.error, "");
        EXPECT_EQ(out.status, 200);
        std::string sent;
        std::istringstream head(out.body);
        for (std::string line; std::getline(head, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.starts_with("Range:") || line.starts_with("If-Range:") || line.starts_with("X-Injected"))
                sent += line + "|";
        }
        EXPECT_EQ(sent, c.sent) << out.body;
    }
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
