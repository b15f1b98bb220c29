// The update run over fakes: the order of window texts and requests, and
// what lands on disk, for the cases where a careless implementation goes
// wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "fakes.h"
#include "manifest_text.h"

namespace {

using velloran::test::Entry;
using velloran::test::manifest;
using Lines = std::vector<std::string>;

const std::string kSite = "http://site.example/updates/";

struct UpdateRun : ::testing::Test {
    fakes::Rig rig;
    void local(const std::string& text) { rig.fs.files["/game/info.ini"] = text; }
    void remote(const std::string& text) {
        rig.serve("/news.txt", "Welcome");
        rig.serve("info.ini", text);
    }
};

// The whole sequence of window texts of a run is pinned once, by the shared
// end-to-end scenarios (tests/e2e/scenarios), which run on both platforms;
// these tests check what lies behind the texts.
TEST_F(UpdateRun, TypicalUpdateFetchesWhatChangedAndTheManifestLast) {
    local(manifest("1.0", {{"data.pak", "1.2", ""}, {"map.dat", "1.0", "maps"}}));
    remote(manifest("1.1", {{"data.pak", "1.3", ""}, {"map.dat", "1.0", "/maps/"}}));
    rig.serve("data.pak", "new data");
    rig.run();

    EXPECT_EQ(rig.window.only("L2").back(), "Updated from Version 1.1!");
    EXPECT_EQ(rig.http.requests,
              (Lines{kSite + "/news.txt", kSite + "info.ini", kSite + "data.pak", kSite + "info.ini"}));
    EXPECT_EQ(rig.fs.files["/game/data.pak"], "new data");
    EXPECT_EQ(rig.fs.files["/game/info.ini"], rig.http.site[kSite + "info.ini"].body);
    EXPECT_FALSE(rig.fs.files.count("/game/temp.ini"));
    EXPECT_EQ(modUpdate::gameFileName, "game.exe");
}

TEST_F(UpdateRun, EqualVersionsFetchNothingButNewsAndManifest) {
    local(manifest("2.0", {{"a", "1", ""}}));
    remote(manifest("2.0", {{"a", "2", ""}}));
    rig.run();
    EXPECT_EQ(rig.window.only("L2").back(), "You Have The Latest Version!");
    EXPECT_EQ(rig.http.requests.size(), 2u);
    EXPECT_FALSE(rig.fs.files.count("/game/temp.ini"));
}

TEST_F(UpdateRun, EmptyAddressFetchesNothing) {
    rig.address = "";
    rig.fs.files["/game/temp.ini"] = "left from before";
    rig.run();
    EXPECT_EQ(rig.window.texts(), (Lines{"show\t", "caption\tVelloran - No Version Info!", "lblConnect\t1",
                                         "L2\tPlease Input The Correct Web URL!"}));
    EXPECT_TRUE(rig.http.requests.empty());
    EXPECT_TRUE(rig.fs.files.count("/game/temp.ini"));
}

TEST_F(UpdateRun, AddressNormalisation) {
    struct Case { std::string compiled, news; };
    for (const Case& c : std::vector<Case>{
             {"site.example/updates", "http://site.example/updates//news.txt"},
             {"site.example/updates/", "http://site.example/updates//news.txt"},
             {"http://site.example/updates", "http://site.example/updates//news.txt"},
             {"HTTPS://site.example/u", "HTTPS://site.example/u//news.txt"}}) {
        fakes::Rig r;
        r.address = c.compiled;
        r.run();
        ASSERT_FALSE(r.http.requests.empty()) << c.compiled;
        EXPECT_EQ(r.http.requests[0], c.news) << c.compiled;
    }
}

TEST_F(UpdateRun, NoLocalManifestFetchesEveryEntryAndCountsPastTotal) {
    remote(manifest("1.0", {{"a.dat", "1", ""}, {"b.dat", "", ""}, {"c.dat", "2", "sub"}}));
    for (auto name : {"a.dat", "b.dat", "c.dat"}) rig.serve(name, std::string(name) + " body");
    rig.run();
    EXPECT_EQ(rig.window.only("caption"), Lines{"Velloran - No Version Info!"});
    EXPECT_EQ(rig.window.only("L3"),
              (Lines{"Downloaded info.ini!", "Checking Files...", "Downloading File 1 Of 2", "Downloaded a.dat!",
                     "Checking Files...", "Downloading File 2 Of 2", "Downloaded b.dat!", "Checking Files...",
                     "Downloading File 3 Of 2", "Downloaded c.dat!", "Downloaded info.ini!", ""}));
    EXPECT_EQ(rig.fs.files["/game/sub/c.dat"], "c.dat body");
    EXPECT_EQ(rig.fs.ops[0], "commit /game/temp.ini");
    EXPECT_EQ(rig.fs.ops[1], "commit /game/a.dat");
}

TEST_F(UpdateRun, VersionOrderDecidesWhatIsFetched) {
    // Entry by entry: remote against local, and whether the file is fetched.
    struct Case { std::string localVersion, remoteVersion; bool fetched; };
    const std::vector<Case> cases{
        {"1.9", "1.10", false}, {"2.0", "10.0", false}, {"1.0", "1.0.1", true},
        {"1.0B", "1.0b", true},  {"1.0b", "1.0B", false}, {"1.0", "1.0", false}, {"", "1", true}};
    std::vector<Entry> localEntries, remoteEntries;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "f" + std::to_string(i);
        localEntries.push_back({name, cases[i].localVersion, ""});
        remoteEntries.push_back({name, cases[i].remoteVersion, ""});
        rig.serve(name, "new");
    }
    local(manifest("1", localEntries));
    remote(manifest("2", remoteEntries));
    rig.run();
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(rig.fs.files.count("/game/f" + std::to_string(i)) == 1, cases[i].fetched)
            << cases[i].localVersion << " -> " << cases[i].remoteVersion;
    EXPECT_EQ(modUpdate::pendingCount, 3);
}

TEST_F(UpdateRun, OlderRemoteReleaseStillReplacesManifest) {
    local(manifest("2.0", {{"a", "2", ""}}));
    remote(manifest("1.0", {{"a", "1", ""}}));
    rig.run();
    EXPECT_EQ(rig.window.only("L2").back(), "Updated from Version 1.0!");
    EXPECT_FALSE(rig.fs.files.count("/game/a"));
    EXPECT_EQ(rig.fs.files["/game/info.ini"], rig.http.site[kSite + "info.ini"].body);
}

TEST_F(UpdateRun, MaxZeroAbsentOrWordsMeansNoFilePass) {
    for (std::string max : {"0", "", "none", "-3"}) {
        fakes::Rig r;
        r.fs.files["/game/info.ini"] = manifest("1", {});
        r.serve("/news.txt", "n");
        r.serve("info.ini", manifest("2", {{"a", "9", ""}}, "", max));
        r.run();
        EXPECT_EQ(r.http.requests.size(), 3u) << max;
        EXPECT_EQ(r.window.only("L2").back(), "Updated from Version 2!") << max;
    }
}

TEST_F(UpdateRun, EmptyRemoteNameIsAnnouncedButWritesNothing) {
    remote(manifest("1", {{"", "1", ""}}, "", "2"));
    rig.run();
    EXPECT_EQ(rig.window.only("L2").at(4), "Downloading ...");
    EXPECT_EQ(rig.window.only("L3").at(2), "Downloading File 1 Of 1");
    EXPECT_EQ(rig.window.only("L3").at(4), "Downloading File 2 Of 1");
    EXPECT_EQ(rig.http.requests.size(), 3u);
}

TEST_F(UpdateRun, PercentageTextsFollowTheAnnouncedSize) {
    // Label4 shows the temp.ini download, then the file's, then info.ini's.
    auto percentages = [](std::size_t size) {
        fakes::Rig r;
        r.serve("/news.txt", "n");
        r.serve("info.ini", manifest("1", {{"f", "1", ""}}));
        r.serve("f", std::string(size, 'x'));
        r.run();
        EXPECT_EQ(r.fs.files["/game/f"].size(), size);
        Lines texts = r.window.only("Label4");
        EXPECT_GE(texts.size(), 2u);
        return Lines(texts.begin() + 1, texts.end() - 1);
    };
    EXPECT_EQ(percentages(3000), (Lines{"34%", "68%", "100%"}));
    EXPECT_EQ(percentages(1025), (Lines{"99%", "100%"}));
    EXPECT_EQ(percentages(1024), (Lines{"100%"}));
    EXPECT_EQ(percentages(0), Lines{});
    const Lines large = percentages(102400);
    ASSERT_EQ(large.size(), 100u);
    EXPECT_EQ(large[28], "29%");
    EXPECT_EQ(percentages(102401)[0], "0%");
}

TEST_F(UpdateRun, FilesReachTheDiskBeforeTheManifestThatListsThem) {
    local(manifest("1", {{"a.dat", "1", ""}}));
    remote(manifest("2", {{"a.dat", "2", ""}}));
    rig.serve("a.dat", "new");
    rig.run();
    EXPECT_EQ(rig.fs.ops, (Lines{"commit /game/temp.ini", "commit /game/a.dat", "sync",
                                 "commit durably /game/info.ini", "remove /game/temp.ini"}));
}

TEST(RequestsAhead, ShowWhatOneAtATimeShowsWithinTheirBounds) {
    // Twelve files over the fakes, one after the other and with requests
    // ahead: the window's every text, the files on disk and the failure are
    // the same; the requests under way at once stay within the bounds.
    struct Case {
        std::string what;
        std::size_t filesAhead;
        std::uint64_t bytesAhead;
        std::string failing;  // a file that answers 404
        bool promised;        // the manifest gives every FileSize
        std::size_t busiest;  // requests under way at once, at most
    };
    const std::vector<Case> cases{
        {"three ahead", 3, 1 << 20, "", false, 4},
        {"room for one 3000-byte file ahead", 7, 5000, "", true, 2},
        {"room for none, but sizes known only from the answers", 7, 1000, "", false, 8},
        {"a failure ahead is told at its turn", 3, 1 << 20, "f06.dat", false, 4},
    };
    auto runOnce = [](const Case& c, bool ahead) {
        auto rig = std::make_unique<fakes::Rig>();
        std::vector<Entry> was, now;
        std::string sizes;
        for (int i = 1; i <= 12; ++i) {
            if (c.promised) sizes += "FileSize" + std::to_string(i) + "=3000\r\n";
            const std::string name = (i < 10 ? "f0" : "f") + std::to_string(i) + ".dat";
            was.push_back({name, "1", i % 2 ? "" : "sub"});
            now.push_back({name, "2", i % 2 ? "" : "sub"});
            if (name == c.failing) continue;
            fakes::Response r{200, std::string(3000, static_cast<char>('a' + i))};
            r.perPoll = 700;
            rig->serve(name, r);
        }
        rig->fs.files["/game/info.ini"] = manifest("1", was);
        rig->serve("/news.txt", "n");
        rig->serve("info.ini", manifest("2", now, sizes));
        rig->http.sideBySide = ahead;
        modUpdate::Services services = rig->services();
        services.filesAhead = c.filesAhead;
        services.bytesAhead = c.bytesAhead;
        fakes::Rig::run(services);
        return rig;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto one = runOnce(c, false), ahead = runOnce(c, true);
        EXPECT_EQ(ahead->window.log, one->window.log);
        EXPECT_EQ(ahead->fs.files, one->fs.files);
        // Folders may be made ahead; files are installed in the same order.
        auto commits = [](const std::vector<std::string>& ops) {
            std::vector<std::string> out;
            std::copy_if(ops.begin(), ops.end(), std::back_inserter(out),
                         [](const std::string& op) { return !op.starts_with("mkdir "); });
            return out;
        };
        EXPECT_EQ(commits(ahead->fs.ops), commits(one->fs.ops));
        EXPECT_LE(ahead->http.busiest, c.busiest);
        EXPECT_GE(ahead->http.busiest, 2u) << "no request went ahead";
        EXPECT_EQ(one->http.busiest, 1u);
    }
}

}  // namespace
