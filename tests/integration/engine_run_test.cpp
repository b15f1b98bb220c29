// The whole update run with the real libcurl transfer and the real file
// system, against nginx and against a server that misbehaves on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include <unistd.h>

#include "digest.h"
#include "fakes.h"
#include "folder_fs.h"
#include "manifest_text.h"
#include "http.h"
#include "servers.h"

namespace {

using velloran::test::FolderFs;
using velloran::test::TempFolder;
using velloran::test::TestSite;
using Lines = std::vector<std::string>;

using velloran::test::manifest;

struct UpdateRun {
    TempFolder program{"velloran-program"};
    fakes::Surface window;
    std::string siteAddress;
    std::string extraCaFile;

    void go(std::chrono::seconds stall = std::chrono::seconds(30)) {
        FolderFs fs(program.path());
        velloran::HttpOptions options;
        options.stallTimeout = stall;
        options.extraCaFile = extraCaFile;
        auto http = velloran::makeHttpTransfer(options);
        modUpdate::Services s = velloran::test::engineServices(window, fs, http.get(), siteAddress);
        s.makeSha256 = velloran::makeSha256;
        modUpdate::resetEngineValues();
        modUpdate::startUpdate(s);
    }
    std::string failure() const {
        Lines f = window.only("failure");
        return f.empty() ? "" : f.back();
    }
};

// An installed release 1 with two files, and a site offering release 2.
struct Release {
    std::string oldManifest = manifest("1", {{"data.pak", "1", ""}, {"m.map", "1", "maps"}});
    void install(UpdateRun& run) const {
        run.program.write("info.ini", oldManifest);
        run.program.write("data.pak", "old data");
        run.program.write("maps/m.map", "old map");
    }
    void publish(TestSite& site, const std::string& extra = "") const {
        site.addFile("updates/news.txt", "Patch notes\r\n");
        site.addFile("updates/info.ini",
                     manifest("2", {{"data.pak", "2", ""}, {"m.map", "2", "/Maps/"}, {"my file.txt", "2", "a\\b"}},
                              extra));
        site.addFile("updates/data.pak", std::string(3000, 'd'));
        site.addFile("updates/m.map", "new map");
        site.addFile("updates/my file.txt", "spaced");
    }
    // The old manifest stays, so does every file from `firstKept` on (the
    // failed one and those after it), and no temporary file is left behind.
    void expectUntouched(const UpdateRun& run, const std::string& firstKept = "data.pak") const {
        EXPECT_EQ(run.program.read("info.ini"), oldManifest);
        if (firstKept == "data.pak") {
            EXPECT_EQ(run.program.read("data.pak"), "old data");
        }
        EXPECT_EQ(run.program.read("maps/m.map"), "old map");
        for (const char* folder : {"", "maps"})
            for (const std::string& name : run.program.list(folder))
                EXPECT_FALSE(name.starts_with("~velloran-")) << name;
    }
};

TEST(EngineRun, BringsTheFolderUpToDateFromNginx) {
    TestSite site;
    Release release;
    release.publish(site);
    site.start();
    UpdateRun run;
    run.siteAddress = site.baseAddress();
    release.install(run);
    run.go();

    EXPECT_EQ(run.failure(), "");
    // The files go side by side and reach nginx's log as they end.
    Lines requests = site.requests();
    ASSERT_EQ(requests.size(), 6u);
    std::sort(requests.begin() + 2, requests.end() - 1);
    EXPECT_EQ(requests, (Lines{"GET /updates//news.txt", "GET /updates/info.ini", "GET /updates/data.pak",
                               "GET /updates/m.map", "GET /updates/my%20file.txt", "GET /updates/info.ini"}));
    EXPECT_EQ(run.program.read("data.pak"), std::string(3000, 'd'));
    EXPECT_EQ(run.program.read("maps/m.map"), "new map");
    EXPECT_EQ(run.program.read("a/b/my file.txt"), "spaced");
    EXPECT_EQ(run.program.read("info.ini"), site.siteFolder().read("updates/info.ini"));
    EXPECT_FALSE(run.program.exists("temp.ini"));
    EXPECT_EQ(run.window.only("news"), Lines{"Patch notes\r\n"});
    Lines percent = run.window.only("Label4");
    EXPECT_EQ(Lines(percent.begin() + 1, percent.begin() + 4), (Lines{"34%", "68%", "100%"}));
    EXPECT_EQ(run.window.only("L2").back(), "Updated from Version 2!");
}

TEST(EngineRun, FaultsLeaveTheOldReleaseByteForByte) {
    struct Case { std::string what, path, fault, failureHas; };
    const std::vector<Case> cases{
        {"404 with a page", "/updates/data.pak", R"({"mode":"status","status":404,"body":"<html>Not here</html>"})",
         "status 404"},
        {"500 on the manifest", "/updates/info.ini", R"({"mode":"status","status":500,"body":"oops"})", "status 500"},
        {"short body", "/updates/m.map", R"({"mode":"short","send":3})", "/updates/m.map"},
        {"reset mid-body", "/updates/data.pak", R"({"mode":"reset","send":1500})", "/updates/data.pak"},
        {"redirect loop", "/updates/data.pak", R"({"mode":"redirect","status":302,"location":"/updates/data.pak"})",
         "/updates/data.pak"},
        {"206 with a part", "/updates/data.pak", R"({"mode":"status","status":206,"body":"dddd"})", "status 206"},
        {"204 without a body", "/updates/data.pak", R"({"mode":"status","status":204,"body":""})", "status 204"},
        // Lying lengths: the libraries' framing and the stored bytes must agree,
        // or nothing is stored (a prefix of info.ini would list fewer files).
        {"two lengths on the manifest", "/updates/info.ini",
         R"({"mode":"lines","lines":["Content-Length: 3","Content-Length: 16"]})", "conflicting Content-Length"},
        {"length and chunks", "/updates/data.pak",
         R"({"mode":"lines","lines":["Transfer-Encoding: chunked","Content-Length: 3"],"chunked":true})",
         "both a Content-Length and a Transfer-Encoding"},
        {"length not in digits", "/updates/data.pak", R"({"mode":"length","value":"16e-1"})",
         "invalid Content-Length"},
        {"a portal page for the manifest", "/updates/info.ini",
         R"({"mode":"status","status":200,"body":"<html><form>Sign in to the network</form></html>"})",
         "/updates/info.ini is not a manifest"},
    };
    for (const Case& c : cases) {
        TestSite site({TestSite::Server::Fault});
        Release release;
        release.publish(site);
        site.addFault(c.path, c.fault);
        site.start();
        UpdateRun run;
        run.siteAddress = site.baseAddress();
        release.install(run);
        run.go();
        SCOPED_TRACE(c.what);
        EXPECT_NE(run.failure().find(c.failureHas), std::string::npos) << run.failure();
        release.expectUntouched(run, c.path == "/updates/m.map" ? "m.map" : "data.pak");
    }
}

TEST(EngineRun, TransientFailuresAreTriedAgainAndOthersAreNot) {
    // data.pak's answers in turn; then how many requests it took and what the
    // player is told.
    struct Case { std::string what, faults; int requests; std::string failureHas; };
    const std::string busy = R"({"mode":"status","status":503,"body":"busy"})";
    const std::vector<Case> cases{
        {"503 then the file", "[" + busy + ",null]", 2, ""},
        {"502, 504 with Retry-After: 1, then the file",
         R"([{"mode":"status","status":502,"body":"x"},{"mode":"status","status":504,"body":"x","headers":{"Retry-After":"1"}},null])",
         3, ""},
        {"reset mid-body, then the file", R"([{"mode":"reset","send":1500},null])", 2, ""},
        {"cut short twice, then the file", R"([{"mode":"short","send":10},{"mode":"short","send":2000},null])", 3, ""},
        {"503 four times", "[" + busy + "," + busy + "," + busy + "," + busy + ",null]", 4, "status 503"},
        {"Retry-After of two minutes", R"([{"mode":"status","status":503,"body":"x","headers":{"Retry-After":"120"}},null])",
         1, "status 503"},
        {"Retry-After as a date", R"([{"mode":"status","status":503,"body":"x","headers":{"Retry-After":"Fri, 31 Dec 2099 23:59:59 GMT"}},null])",
         1, "status 503"},
        {"404 is an answer, not a hiccup", R"([{"mode":"status","status":404,"body":"gone"},null])", 1, "status 404"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestSite site({TestSite::Server::Fault});
        Release release;
        release.publish(site);
        site.addFault("/updates/data.pak", R"({"mode":"sequence","faults":)" + c.faults + "}");
        site.start();
        UpdateRun run;
        run.siteAddress = site.baseAddress();
        release.install(run);
        run.go();
        const Lines log = site.requests();
        EXPECT_EQ(std::count(log.begin(), log.end(), "GET /updates/data.pak"), c.requests);
        if (c.failureHas.empty()) {
            EXPECT_EQ(run.failure(), "");
            EXPECT_EQ(run.program.read("data.pak"), std::string(3000, 'd'));
            EXPECT_EQ(run.window.only("L2").back(), "Updated from Version 2!");
        } else {
            EXPECT_NE(run.failure().find(c.failureHas), std::string::npos) << run.failure();
            release.expectUntouched(run);
        }
    }
}

TEST(EngineRun, ABrokenDownloadAsksOnlyForTheRest) {
    // data.pak (large enough to be kept between attempts) under a sequence
    // of answers, over one run or two; the requests it took, and the file.
    constexpr std::size_t kMiB = 1 << 20;
    struct Case {
        std::string what;
        std::size_t size;
        std::string faults;           // the first run's answers
        std::size_t changedSize;      // a second run, after the file changed on the site to this size (0: not)
        Lines requests;               // of data.pak, over both runs
    };
    const std::string cut = R"({"mode":"short","send":1048576})";
    const std::vector<Case> cases{
        {"64 MiB cut at 90%", 64 * kMiB, R"([{"mode":"short","send":60397977},null])", 0,
         {"GET /updates/data.pak", "GET /updates/data.pak bytes=60397977-"}},
        {"a server that ignores the range sends it whole", 4 * kMiB, R"([{"mode":"short","send":3000000},{"mode":"norange"}])",
         0, {"GET /updates/data.pak", "GET /updates/data.pak bytes=3000000-"}},
        {"cut on every try: the next run goes on", 8 * kMiB, "[" + cut + "," + cut + "," + cut + "," + cut + "]", 0,
         {"GET /updates/data.pak", "GET /updates/data.pak bytes=1048576-", "GET /updates/data.pak bytes=2097152-",
          "GET /updates/data.pak bytes=3145728-", "GET /updates/data.pak bytes=4194304-"}},
        {"changed on the site between runs: fetched whole", 8 * kMiB,
         "[" + cut + "," + cut + "," + cut + "," + cut + "]", 8 * kMiB + 1,
         {"GET /updates/data.pak", "GET /updates/data.pak bytes=1048576-", "GET /updates/data.pak bytes=2097152-",
          "GET /updates/data.pak bytes=3145728-", "GET /updates/data.pak bytes=4194304-"}},
        {"changed to a small file between runs: nothing kept is left", 8 * kMiB,
         "[" + cut + "," + cut + "," + cut + "," + cut + "]", 300000,
         {"GET /updates/data.pak", "GET /updates/data.pak bytes=1048576-", "GET /updates/data.pak bytes=2097152-",
          "GET /updates/data.pak bytes=3145728-", "GET /updates/data.pak bytes=4194304-"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestSite site({TestSite::Server::Fault});
        std::string body(c.size, '\0');
        for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
        site.addFile("updates/info.ini", manifest("2", {{"data.pak", "2", ""}}));
        site.addFile("updates/data.pak", body);
        site.addFault("/updates/data.pak", R"({"mode":"sequence","faults":)" + c.faults + "}");
        site.start();
        UpdateRun run;
        run.siteAddress = site.baseAddress();
        run.program.write("info.ini", manifest("1", {{"data.pak", "1", ""}}));
        run.program.write("data.pak", "old data");
        run.go();
        const bool secondRun = c.requests.size() > 2;
        if (secondRun) {
            // Every try was cut: the run fails and keeps what it received.
            EXPECT_NE(run.failure().find("/updates/data.pak"), std::string::npos) << run.failure();
            EXPECT_EQ(run.program.read("data.pak"), "old data");
            if (c.changedSize) {
                body = std::string(c.changedSize, 'z');
                site.siteFolder().write("updates/data.pak", body);
            }
            // From now on the file plainly, ranges honoured.
            site.addFault("/updates/data.pak", R"({"mode":"sequence","faults":[null]})");
            run.window = {};
            run.go();
        }
        EXPECT_EQ(run.failure(), "");
        EXPECT_TRUE(run.program.read("data.pak") == body) << "data.pak is not the site's file";
        Lines asked;
        for (const std::string& line : site.requests())
            if (line.starts_with("GET /updates/data.pak")) asked.push_back(line);
        EXPECT_EQ(asked, c.requests);
        for (const std::string& name : run.program.list("")) EXPECT_FALSE(name.starts_with("~velloran-")) << name;
    }
}

TEST(EngineRun, FilesThatWouldShareTheirTemporaryFilesAreNotFetchedSideBySide) {
    // Two entries whose temporary and resumable files would have one name
    // (one file listed twice, or long names cut short alike), or a folder in
    // the way of a resumable file: each is fetched, checked and installed.
    const std::string longName(236, 'p');
    struct Case { std::string what; std::vector<std::string> names; std::string planted; };
    const std::vector<Case> cases{
        {"one file listed twice", {"big.bin", "big.bin"}, ""},
        {"names alike up to where they are cut", {longName + "A.bin", longName + "B.bin"}, ""},
        {"a folder at the resume name", {"big.bin"}, "~velloran-big.bin.resume.part/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestSite site;
        std::vector<velloran::test::Entry> entries;
        std::string promises;
        for (std::size_t i = 0; i < c.names.size(); ++i) {
            // "big.bin" is all 'b', the long names all 'A' or all 'B'.
            const std::string content(1500000, c.names[i][c.names[i].size() - 5]);
            auto digest = velloran::makeSha256();
            digest->update(content.data(), content.size());
            entries.push_back({c.names[i], "2", ""});
            promises += "FileSize" + std::to_string(i + 1) + "=" + std::to_string(content.size()) + "\r\n";
            promises += "FileHash" + std::to_string(i + 1) + "=" + digest->hexDigest() + "\r\n";
            site.addFile("updates/" + c.names[i], content);
        }
        site.addFile("updates/info.ini", manifest("2", entries, promises));
        site.start();
        UpdateRun run;
        run.siteAddress = site.baseAddress();
        if (!c.planted.empty()) run.program.write(c.planted, "x");
        run.go();
        EXPECT_EQ(run.failure(), "");
        for (std::size_t i = 0; i < c.names.size(); ++i)
            EXPECT_TRUE(run.program.read(c.names[i]) == *site.siteFolder().read("updates/" + c.names[i])) << c.names[i];
    }
}

TEST(EngineRun, ALinkOutOfTheProgramFolderIsNeverWrittenThrough) {
    // maps is a symbolic link to a folder outside (also when the manifest
    // says MAPS and the folder is found without regard to case).
    for (const std::string filePath : {"maps", "MAPS"}) {
        TestSite site;
        site.addFile("updates/info.ini", manifest("2", {{"data.pak", "2", ""}, {"m.map", "2", filePath}}));
        site.addFile("updates/data.pak", "new data");
        site.addFile("updates/m.map", "pwned");
        site.start();
        TempFolder outside("velloran-outside");
        outside.write("m.map", "theirs");
        UpdateRun run;
        run.siteAddress = site.baseAddress();
        run.program.write("info.ini", manifest("1", {{"data.pak", "1", ""}, {"m.map", "1", "maps"}}));
        run.program.write("data.pak", "old data");
        ASSERT_EQ(::symlink(outside.path().c_str(), run.program.at("maps").c_str()), 0);
        run.go();
        SCOPED_TRACE(filePath);
        EXPECT_EQ(run.failure(), "The update lists an unsafe file, entry 2 (m.map): " + run.program.at("maps") +
                                     " is a link that leads outside the program folder");
        EXPECT_EQ(outside.read("m.map"), "theirs");
        EXPECT_EQ(outside.list(), Lines{"m.map"});
        EXPECT_EQ(run.program.read("data.pak"), "old data");
    }
    // A link that stays inside the program folder keeps working.
    TestSite site;
    site.addFile("updates/info.ini", manifest("2", {{"m.map", "2", "maps"}}));
    site.addFile("updates/m.map", "new map");
    site.start();
    UpdateRun run;
    run.siteAddress = site.baseAddress();
    run.program.write("real/old.map", "old");
    ASSERT_EQ(::symlink(run.program.at("real").c_str(), run.program.at("maps").c_str()), 0);
    run.go();
    EXPECT_EQ(run.failure(), "");
    EXPECT_EQ(run.program.read("real/m.map"), "new map");
}

TEST(EngineRun, BodiesWithoutLengthOrWithExtraBytesAreStoredAsReceivedOrAnnounced) {
    TestSite site({TestSite::Server::Fault});
    Release release;
    release.publish(site);
    site.addFault("/updates/data.pak", R"({"mode":"nolength"})");
    site.addFault("/updates/m.map", R"({"mode":"longer","extra":100})");
    site.start();
    UpdateRun run;
    run.siteAddress = site.baseAddress();
    release.install(run);
    run.go();
    EXPECT_EQ(run.failure(), "");
    EXPECT_EQ(run.program.read("data.pak"), std::string(3000, 'd'));
    EXPECT_EQ(run.program.read("maps/m.map"), "new map");
}

TEST(EngineRun, SlowDownloadKeepsTheWindowPumpedAndShowsProgress) {
    TestSite site({TestSite::Server::Fault});
    Release release;
    release.publish(site);
    site.addFault("/updates/data.pak", R"({"mode":"slow","chunk":512,"interval":0.1})");
    site.start();
    UpdateRun run;
    run.siteAddress = site.baseAddress();
    release.install(run);
    const int pumpsBefore = run.window.pumps;
    run.go();
    EXPECT_EQ(run.failure(), "");
    EXPECT_EQ(run.program.read("data.pak"), std::string(3000, 'd'));
    // About 0.6 s of dripping with a 50 ms pump interval.
    EXPECT_GE(run.window.pumps - pumpsBefore, 8);
}

TEST(EngineRun, StalledServerIsAFailure) {
    TestSite site({TestSite::Server::Fault});
    Release release;
    release.publish(site);
    site.addFault("/updates/data.pak", R"({"mode":"stall","seconds":5})");
    site.start();
    UpdateRun run;
    run.siteAddress = site.baseAddress();
    release.install(run);
    run.go(std::chrono::seconds(1));
    EXPECT_NE(run.failure().find("/updates/data.pak"), std::string::npos) << run.failure();
    release.expectUntouched(run);
}

TEST(EngineRun, RefusedConnectionIsReportedWithItsReason) {
    UpdateRun run;
    run.siteAddress = "127.0.0.1:" + std::to_string(velloran::test::refusedPort()) + "/updates";
    Release().install(run);
    run.go();
    EXPECT_NE(run.failure().find("info.ini"), std::string::npos) << run.failure();
    EXPECT_EQ(run.window.only("news"), Lines{});
    Release().expectUntouched(run);
}

TEST(EngineRun, HttpsWithTrustedAndUntrustedCertificates) {
    for (bool trusted : {true, false}) {
        TestSite site({TestSite::Server::Nginx, true});
        Release release;
        release.publish(site);
        site.start();
        UpdateRun run;
        run.siteAddress = "https://" + site.baseAddress();
        if (trusted) run.extraCaFile = site.caFile();
        release.install(run);
        run.go();
        if (trusted) {
            EXPECT_EQ(run.failure(), "");
            EXPECT_EQ(run.program.read("maps/m.map"), "new map");
        } else {
            EXPECT_NE(run.failure().find("certificate"), std::string::npos) << run.failure();
            release.expectUntouched(run);
        }
    }
}

TEST(EngineRun, RedirectFromHttpsToHttpIsRefused) {
    TestSite plain;
    Release release;
    release.publish(plain);
    plain.start();
    TestSite secure({TestSite::Server::Nginx, true});
    secure.addRedirect("/updates/data.pak", plain.url("/updates/data.pak"));
    release.publish(secure);
    secure.start();
    UpdateRun run;
    run.siteAddress = "https://" + secure.baseAddress();
    run.extraCaFile = secure.caFile();
    release.install(run);
    run.go();
    EXPECT_NE(run.failure().find("/updates/data.pak"), std::string::npos) << run.failure();
    release.expectUntouched(run);
    EXPECT_EQ(plain.requests(), std::vector<std::string>{});
}

TEST(EngineRun, FullDiskKeepsTheOldFile) {
    // The program folder is a small tmpfs: the new data.pak does not fit.
    UpdateRun run;
    const std::string mount = "mount -t tmpfs -o size=256k tmpfs '" + run.program.path() + "' 2>/dev/null";
    if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    struct Unmount {
        std::string path;
        ~Unmount() { (void)std::system(("umount '" + path + "'").c_str()); }
    } unmount{run.program.path()};

    TestSite site;
    Release release;
    release.publish(site);
    site.addFile("updates/data.pak", std::string(400 * 1024, 'd'));
    site.start();
    run.siteAddress = site.baseAddress();
    release.install(run);
    run.go();
    EXPECT_NE(run.failure().find("No space left on device"), std::string::npos) << run.failure();
    release.expectUntouched(run);
}

TEST(EngineRun, FileHashIsCheckedWithRealSha256) {
    // The manifest carries the hash of the served body, or of another body.
    for (bool matches : {true, false}) {
        TestSite site;
        Release release;
        std::string hash;
        {
            auto digest = velloran::makeSha256();
            const std::string body(3000, matches ? 'd' : 'x');
            digest->update(body.data(), body.size());
            hash = digest->hexDigest();
        }
        release.publish(site, "FileSize1=3000\r\nFileHash1=" + hash + "\r\n");
        site.start();
        UpdateRun run;
        run.siteAddress = site.baseAddress();
        release.install(run);
        run.go();
        if (matches) {
            EXPECT_EQ(run.failure(), "");
            EXPECT_EQ(run.program.read("data.pak"), std::string(3000, 'd'));
        } else {
            EXPECT_NE(run.failure().find("FileHash"), std::string::npos) << run.failure();
            release.expectUntouched(run);
        }
    }
}

}  // namespace

namespace {

TEST(Sha256, KnownVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const auto& [text, hex] : cases) {
        auto digest = velloran::makeSha256();
        digest->update(text.data(), text.size());
        EXPECT_EQ(digest->hexDigest(), hex) << text;
    }
}

}  // namespace
