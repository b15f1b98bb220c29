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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "digest.h"
#include "failure.h"
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
// HTTP against the fault server

using velloran::test::content;
using velloran::test::drain;
using velloran::test::fetch;
using velloran::test::Outcome;

class FaultServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        port_ = env("VELLORAN_FAULT_PORT");
        root_ = env("VELLORAN_FAULT_ROOT");
        faults_ = env("VELLORAN_FAULT_FILE");
        log_ = env("VELLORAN_FAULT_LOG");
        if (port_.empty() || root_.empty() || faults_.empty()) return;
        CreateDirectoryA((root_ + "\\updates").c_str(), nullptr);
        file("a.txt", kFile);
        file("empty.txt", "");
        file("big.bin", kBig);
        for (const char* name : {"short.txt", "reset.txt", "nolength.txt", "longer.txt", "slow.txt", "stall.txt"})
            file(name, kFile);
        std::string faults = "{\n";
        faults += R"("/updates/gone": {"mode": "status", "status": 404, "body": "<html>gone</html>"},)" "\n";
        faults += R"("/updates/r1": {"mode": "redirect", "location": "/updates/r2", "status": 301},)" "\n";
        faults += R"("/updates/r2": {"mode": "redirect", "location": "/updates/a.txt", "status": 307},)" "\n";
        for (int i = 1; i <= 11; ++i) {
            const std::string next = i == 1 ? "/updates/a.txt" : "/updates/hop" + std::to_string(i - 1);
            faults += "\"/updates/hop" + std::to_string(i) + R"(": {"mode": "redirect", "location": ")" + next +
                      "\"},\n";
        }
        faults += R"("/updates/short.txt": {"mode": "short", "send": 100},)" "\n";
        faults += R"("/updates/reset.txt": {"mode": "reset", "send": 1000},)" "\n";
        faults += R"("/updates/nolength.txt": {"mode": "nolength"},)" "\n";
        faults += R"("/updates/longer.txt": {"mode": "longer", "extra": 50},)" "\n";
        faults += R"("/updates/slow.txt": {"mode": "slow", "chunk": 700, "interval": 0.05},)" "\n";
        faults += R"("/updates/stall.txt": {"mode": "stall", "seconds": 5},)" "\n";
        faults += R"("/updates/echo": {"mode": "echo"})" "\n}\n";
        writeAll(faults_, faults);
    }
    void SetUp() override {
        ASSERT_FALSE(port_.empty() || root_.empty() || faults_.empty())
            << "run.sh describes the fault server in VELLORAN_FAULT_*";
    }
    static void file(const std::string& name, const std::string& bytes) {
        writeAll(root_ + "\\updates\\" + name, bytes);
    }
    static std::string url(const std::string& path) { return "http://127.0.0.1:" + port_ + path; }
    static HttpOptions quick(std::chrono::seconds stall = 10s) {
        HttpOptions o;
        o.connectTimeout = 5s;
        o.stallTimeout = stall;
        return o;
    }

    static inline std::string port_, root_, faults_, log_;
    static inline const std::string kFile = content(3000, 7);
    static inline const std::string kBig = content(3 * 1024 * 1024 + 17, 3);
};

struct FetchCase {
    const char* name;
    const char* path;
    std::chrono::seconds stallTimeout;
    int status;          // expected status; -1: any
    std::string body;    // expected body (ignored when the transfer fails)
    bool fails;
};

TEST_F(FaultServer, OutcomeOfEachKindOfAnswer) {
    const FetchCase cases[] = {
        {"plain file", "/updates/a.txt", 10s, 200, kFile, false},
        {"empty file", "/updates/empty.txt", 10s, 200, "", false},
        {"large file through the bounded buffer", "/updates/big.bin", 10s, 200, kBig, false},
        {"error status is not a transport error", "/updates/gone", 10s, 404, "<html>gone</html>", false},
        {"redirect chain followed", "/updates/r1", 10s, 200, kFile, false},
        {"ten redirects still followed", "/updates/hop10", 10s, 200, kFile, false},
        {"eleven redirects refused", "/updates/hop11", 10s, -1, "", true},
        {"body shorter than announced", "/updates/short.txt", 10s, -1, "", true},
        {"connection reset mid-body", "/updates/reset.txt", 10s, -1, "", true},
        {"no length, body ends with the connection", "/updates/nolength.txt", 10s, 200, kFile, false},
        {"bytes beyond the announced length dropped", "/updates/longer.txt", 10s, 200, kFile, false},
        {"slow body read whole", "/updates/slow.txt", 2s, 200, kFile, false},
        {"stall beyond the stall time-out", "/updates/stall.txt", 2s, -1, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto http = makeHttpTransfer(quick(c.stallTimeout));
        const Outcome out = fetch(*http, url(c.path));
        ASSERT_TRUE(out.finished) << "transfer did not end";
        EXPECT_FALSE(out.bodyBeforeHead);
        if (c.fails) {
            EXPECT_NE(out.error, "");
        } else {
            EXPECT_EQ(out.error, "");
            EXPECT_TRUE(out.body == c.body) << "body of " << out.body.size() << " bytes, expected " << c.body.size();
        }
        if (c.status >= 0) {
            EXPECT_EQ(out.status, c.status);
        }
    }
}

TEST_F(FaultServer, StallEndsAfterTheStallTime) {
    auto http = makeHttpTransfer(quick(2s));
    const Outcome out = fetch(*http, url("/updates/stall.txt"));
    EXPECT_NE(out.error, "");
    EXPECT_GE(out.took, 1500ms);
    EXPECT_LT(out.took, 4500ms);  // the server would send the body after 5 s
}

TEST_F(FaultServer, HeadersOfTheFinalResponseAnyCase) {
    auto http = makeHttpTransfer(quick());
    const Outcome out = fetch(*http, url("/updates/r1"));
    EXPECT_EQ(out.status, 200);
    EXPECT_EQ(http->header("content-length"), "3000");
    EXPECT_EQ(http->header("CONTENT-LENGTH"), "3000");
    EXPECT_EQ(http->header("Location"), "");  // belonged to the redirects
    EXPECT_EQ(http->header("X-Absent"), "");
    const Outcome none = fetch(*http, url("/updates/nolength.txt"));
    EXPECT_EQ(none.contentLength, "");
}

TEST_F(FaultServer, SendsTheAddressAsGivenWithNoCacheAndNoCompression) {
    auto http = makeHttpTransfer(quick());
    const Outcome out = fetch(*http, url("/updates//echo"));
    EXPECT_NE(out.body.find("GET /updates//echo HTTP/1.1"), std::string::npos) << out.body;
    EXPECT_NE(out.body.find("no-cache"), std::string::npos) << out.body;
    EXPECT_EQ(out.body.find("Accept-Encoding"), std::string::npos) << out.body;

    // Already encoded: sent as it stands, not encoded again.
    fetch(*http, url("/updates/a%20b%25.txt"));
    EXPECT_NE(readAll(log_).find("GET /updates/a%20b%25.txt"), std::string::npos) << readAll(log_);
}

TEST_F(FaultServer, PollWaitsForNewsOrAWindowMessage) {
    auto http = makeHttpTransfer(quick());
    http->begin(url("/updates/stall.txt"));
    // The head comes at once, the body in 5 s.
    for (auto until = Clock::now() + 5s; !http->headReady() && Clock::now() < until;) http->poll(100ms);
    ASSERT_TRUE(http->headReady());
    ASSERT_EQ(http->status(), 200) << http->error();
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }

    // Nothing to report: the wait lasts its time (no spinning).
    auto t0 = Clock::now();
    http->poll(300ms);
    EXPECT_GE(Clock::now() - t0, 250ms);

    // A message for this thread's window queue ends it at once.
    PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
    t0 = Clock::now();
    http->poll(3000ms);
    EXPECT_LT(Clock::now() - t0, 1000ms);
    EXPECT_FALSE(http->finished());
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

TEST_F(FaultServer, RefusedConnectionIsAnErrorWithText) {
    // The discard port: nobody listens on it here.
    auto http = makeHttpTransfer(quick());
    const Outcome out = fetch(*http, "http://127.0.0.1:9/updates/a.txt");
    EXPECT_TRUE(out.finished);
    EXPECT_EQ(out.status, 0);
    // A sentence, not a bare code: Wine's winhttp.dll has no message table.
    EXPECT_NE(out.error, "");
    EXPECT_EQ(out.error.find("error "), std::string::npos) << out.error;
}

TEST_F(FaultServer, BeginAbandonsTheRunningRequest) {
    auto http = makeHttpTransfer(quick());
    http->begin(url("/updates/slow.txt"));
    http->poll(100ms);
    const Outcome out = fetch(*http, url("/updates/a.txt"));
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.status, 200);
    EXPECT_TRUE(out.body == kFile);
}

TEST_F(FaultServer, UndrainedBodyPausesTheConnection) {
    // The caller reads nothing for a while: the backend holds only a small
    // buffer, then the rest still arrives whole.
    auto http = makeHttpTransfer(quick());
    http->begin(url("/updates/big.bin"));
    for (int i = 0; i < 10; ++i) http->poll(50ms);
    EXPECT_FALSE(http->finished());
    Outcome out;
    std::vector<char> probe(8 * 1024 * 1024);
    std::size_t first = http->read(probe.data(), probe.size());
    EXPECT_GT(first, 0u);
    EXPECT_LE(first, 256u * 1024u);
    out.body.assign(probe.data(), first);
    for (auto until = Clock::now() + 30s; !http->finished() && Clock::now() < until;) {
        http->poll(100ms);
        drain(*http, out, 4096);
    }
    drain(*http, out, 4096);
    EXPECT_EQ(http->error(), "");
    EXPECT_TRUE(out.body == kBig) << out.body.size();
}

}  // namespace
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
