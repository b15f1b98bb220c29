// Crash safety: an update that ends abruptly at any point leaves each file
// either old or new, never partial under its own name, and the next run
// finishes the update.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "manifest_text.h"
#include "servers.h"

extern char** environ;

namespace {

using velloran::test::TempFolder;
using velloran::test::TestSite;

struct Release {
    std::string version;
    std::map<std::string, std::array<std::string, 3>> files;  // path -> {content, version, FilePath}
    std::string manifest() const {
        std::vector<velloran::test::Entry> entries;
        for (const auto& [path, file] : files) entries.push_back({path.substr(path.rfind('/') + 1), file[1], file[2]});
        return velloran::test::manifest(version, entries);
    }
};

const Release kOld{"1",
                   {{"data.pak", {std::string(5000, 'a'), "1", ""}},
                    {"keep.txt", {"kept", "1", ""}},
                    {"maps/m1.map", {std::string(2000, 'b'), "1", "maps"}},
                    {"maps/m2.map", {"", "", "maps"}},
                    {"sounds/s.wav", {"", "", "sounds"}}}};
const Release kNew{"2",
                   {{"data.pak", {std::string(150000, 'A'), "2", ""}},
                    {"keep.txt", {"kept", "1", ""}},
                    {"maps/m1.map", {std::string(2100, 'B'), "2", "maps"}},
                    {"maps/m2.map", {std::string(3000, 'C'), "2", "maps"}},
                    {"sounds/s.wav", {std::string(4000, 'D'), "2", "sounds"}}}};

void installOld(const TempFolder& program) {
    Release installed = kOld;
    std::erase_if(installed.files, [](const auto& f) { return f.second[0].empty(); });
    program.write("info.ini", installed.manifest());
    for (const auto& [path, file] : installed.files) program.write(path, file[0]);
}

void publishNew(TestSite& site) {
    site.addFile("updates/news.txt", "news");
    site.addFile("updates/info.ini", kNew.manifest());
    for (const auto& [path, file] : kNew.files) site.addFile("updates/" + path.substr(path.rfind('/') + 1), file[0]);
}

pid_t startDriver(const TempFolder& program, const std::string& address, long stopAfter, const std::string& out) {
    std::vector<std::string> args{VELLORAN_CRASH_DRIVER, program.path(), address};
    if (stopAfter > 0) args.push_back(std::to_string(stopAfter));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the crash driver");
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return WEXITSTATUS(status);
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file is its old or its new content; a new manifest means every file
// is new. Returns the number of files checked.
int expectOldOrNew(const TempFolder& program, const std::string& when) {
    int checked = 0;
    const auto manifest = program.read("info.ini");
    const bool finished = manifest == kNew.manifest();
    EXPECT_TRUE(manifest == kNew.manifest() || manifest == [] {
        Release installed = kOld;
        std::erase_if(installed.files, [](const auto& f) { return f.second[0].empty(); });
        return installed.manifest();
    }()) << when;
    for (const auto& [path, file] : kNew.files) {
        const auto content = program.read(path);
        const std::string& old = kOld.files.at(path)[0];
        const bool isOld = old.empty() ? !content.has_value() : content == old;
        const bool isNew = content == file[0];
        EXPECT_TRUE(isNew || (isOld && !finished)) << when << ": " << path << " is neither old nor new";
        ++checked;
    }
    return checked;
}

void expectNoLeftovers(const TempFolder& program, const std::string& when) {
    for (const char* folder : {"", "maps", "sounds"})
        for (const auto& name : program.list(folder)) EXPECT_FALSE(name.starts_with("~velloran-")) << when << name;
}

// Figures for the report; each test prints its own.
struct Tally {
    int steps = 0, kills = 0, checked = 0;
};
Tally tally;

void rerunFinishes(const TempFolder& program, const std::string& address, const std::string& out,
                   const std::string& when) {
    ASSERT_EQ(waitFor(startDriver(program, address, 0, out)), 0) << when << ": " << readAll(out);
    tally.checked += expectOldOrNew(program, when + " rerun");
    EXPECT_EQ(program.read("info.ini"), kNew.manifest()) << when;
    expectNoLeftovers(program, when);
}

TEST(CrashSafety, StopAfterEveryFileOperation) {
    tally = {};
    TestSite site;
    publishNew(site);
    site.start();
    TempFolder logs("velloran-crash-logs");
    const std::string out = logs.at("driver.txt");

    long total = 0;
    {
        TempFolder program("velloran-crash");
        installOld(program);
        ASSERT_EQ(waitFor(startDriver(program, site.baseAddress(), 0, out)), 0) << readAll(out);
        const std::string text = readAll(out);
        ASSERT_EQ(text.rfind("OPS ", 0), 0u) << text;
        total = std::stol(text.substr(4));
        ASSERT_GT(total, 20);
    }
    for (long step = 1; step <= total; ++step) {
        TempFolder program("velloran-crash");
        installOld(program);
        const std::string when = "stopped after operation " + std::to_string(step);
        ASSERT_EQ(waitFor(startDriver(program, site.baseAddress(), step, out)), 42) << when << readAll(out);
        tally.checked += expectOldOrNew(program, when);
        rerunFinishes(program, site.baseAddress(), out, when);
        ++tally.steps;
    }
    std::printf("crash safety: %d steps tried, %d files checked, %d failures\n", tally.steps, tally.checked,
                ::testing::UnitTest::GetInstance()->failed_test_count());
}

TEST(CrashSafety, FilesFetchedAheadOfTheirTurnAreNotInstalledBeforeIt) {
    // data.pak, the first file, keeps the run waiting; the files after it
    // are fetched meanwhile. Killed then, none of them is in place.
    TestSite site({TestSite::Server::Fault});
    publishNew(site);
    site.addFault("/updates/data.pak", R"({"mode":"stall","seconds":30})");
    site.start();
    TempFolder logs("velloran-crash-logs");
    TempFolder program("velloran-crash");
    installOld(program);
    const pid_t pid = startDriver(program, site.baseAddress(), 0, logs.at("driver.txt"));
    const std::vector<std::string> ahead{"GET /updates/m1.map", "GET /updates/m2.map", "GET /updates/s.wav"};
    auto allAsked = [&] {
        const auto log = site.requests();
        return std::all_of(ahead.begin(), ahead.end(),
                           [&](const std::string& r) { return std::find(log.begin(), log.end(), r) != log.end(); });
    };
    for (int i = 0; i < 200 && !allAsked(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(allAsked()) << "the files after data.pak were not asked for ahead";
    // Time for their bodies to arrive in full.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(pid, SIGKILL);
    waitFor(pid);
    EXPECT_EQ(program.read("data.pak"), kOld.files.at("data.pak")[0]);
    EXPECT_EQ(program.read("maps/m1.map"), kOld.files.at("maps/m1.map")[0]);
    EXPECT_FALSE(program.read("maps/m2.map").has_value());
    EXPECT_FALSE(program.read("sounds/s.wav").has_value());
    expectOldOrNew(program, "killed while files waited ahead");
}

TEST(CrashSafety, KilledAtRandomMoments) {
    tally = {};
    TestSite site({TestSite::Server::Fault});
    publishNew(site);
    // Each file drips in some ten pieces, the large one too.
    for (const auto& [path, file] : kNew.files)
        site.addFault("/updates/" + path.substr(path.rfind('/') + 1),
                      file[0].size() > 16384 ? R"({"mode":"slow","chunk":16384,"interval":0.01})"
                                             : R"({"mode":"slow","chunk":1024,"interval":0.01})");
    site.start();
    TempFolder logs("velloran-crash-logs");
    const std::string out = logs.at("driver.txt");

    using Clock = std::chrono::steady_clock;
    Clock::duration full{};
    {
        TempFolder program("velloran-crash");
        installOld(program);
        const auto start = Clock::now();
        ASSERT_EQ(waitFor(startDriver(program, site.baseAddress(), 0, out)), 0) << readAll(out);
        full = Clock::now() - start;
    }
    std::mt19937 random(20261208);
    std::uniform_int_distribution<long> at(0, std::chrono::duration_cast<std::chrono::microseconds>(full).count());
    for (int kill = 1; kill <= 100; ++kill) {
        TempFolder program("velloran-crash");
        installOld(program);
        const long delay = at(random);
        const std::string when = "killed after " + std::to_string(delay) + " us";
        const pid_t pid = startDriver(program, site.baseAddress(), 0, out);
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        ::kill(pid, SIGKILL);
        waitFor(pid);
        tally.checked += expectOldOrNew(program, when);
        rerunFinishes(program, site.baseAddress(), out, when);
        ++tally.kills;
    }
    std::printf("crash safety: %d kills tried, %d files checked, %d failures\n", tally.kills, tally.checked,
                ::testing::UnitTest::GetInstance()->failed_test_count());
}

}  // namespace
