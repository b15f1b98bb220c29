// What keeps a player's files sound when the server or the manifest
// misbehaves: nothing is replaced by a bad response, nothing is written
// outside the program folder, and a failure reaches the report.
#include <gtest/gtest.h>

#include <array>

#include "digest.h"
#include "fakes.h"
#include "manifest_text.h"
#include "paths.h"

namespace {

using Lines = std::vector<std::string>;
const std::string kSite = "http://site.example/updates/";

using velloran::test::manifest;

struct Site {
    fakes::Rig rig;
    Site() {
        rig.fs.files["/game/info.ini"] = manifest("1", {{"a.dat", "1", ""}});
        rig.fs.files["/game/a.dat"] = "old";
        rig.serve("/news.txt", "news");
        rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}}));
    }
    std::string failure() const {
        auto f = rig.window.only("failure");
        return f.empty() ? "" : f.back();
    }
};

// A stand-in digest: the tests check the engine's handling of the promise,
// the real SHA-256 is checked end to end.
struct CountingDigest : velloran::Sha256 {
    std::size_t bytes = 0;
    void update(const char*, std::size_t size) override { bytes += size; }
    std::string hexDigest() override { return "len" + std::to_string(bytes); }
};
std::unique_ptr<velloran::Sha256> makeCountingDigest() { return std::make_unique<CountingDigest>(); }

modUpdate::Services servicesOf(Site& site) {
    modUpdate::Services s = site.rig.services();
    s.makeSha256 = makeCountingDigest;
    return s;
}

TEST(BadResponses, LeaveEveryFileAsItWas) {
    struct Case {
        std::string what, file;
        fakes::Response response;
        std::string failureHas;
    };
    auto broken = [](std::size_t deliver, std::string error) {
        fakes::Response r(200, "new content for a.dat");
        r.deliverOnly = deliver;
        r.error = std::move(error);
        return r;
    };
    const std::vector<Case> cases{
        {"manifest 404", "info.ini", fakes::Response(404, "<html>gone</html>"), "status 404"},
        {"manifest 500", "info.ini", fakes::Response(500, "oops"), "status 500"},
        {"file 404", "a.dat", fakes::Response(404, "<html>gone</html>"), "status 404"},
        {"file short", "a.dat", broken(5, ""), "closed after 5 of 21 bytes"},
        {"file reset", "a.dat", broken(5, "Connection reset by peer"), "Connection reset by peer"},
        // Sizes are 64-bit: a length past 4 GiB is read as it stands.
        {"file huge length", "a.dat", [] { fakes::Response r(200, "x"); r.length = 99999999999; return r; }(),
         "closed after 1 of 99999999999 bytes"},
        // The client never asks for a range; only a whole file replaces one.
        {"file 206", "a.dat", fakes::Response(206, "new "), "status 206"},
        {"file 204", "a.dat", fakes::Response(204, ""), "status 204"},
        {"manifest 206", "info.ini", fakes::Response(206, "[VERSION]\nVer"), "status 206"},
        // Whatever answers for the manifest must be one.
        {"manifest portal page", "info.ini", fakes::Response(200, "<html><body>Sign in</body></html>"),
         "The update information at http://site.example/updates/info.ini is not a manifest"},
        {"manifest empty", "info.ini", fakes::Response(200, ""), "is not a manifest"},
        {"manifest binary", "info.ini", fakes::Response(200, std::string("PK\x03\x04\0\x01[VERSION]", 15)),
         "is not a manifest"},
        {"manifest with UTF-8 mark", "info.ini",
         fakes::Response(200, "\xEF\xBB\xBF" + manifest("2", {{"a.dat", "2", ""}})), "is not a manifest"},
    };
    for (const Case& c : cases) {
        Site site;
        site.rig.serve(c.file, c.response);
        site.rig.run();
        EXPECT_NE(site.failure().find(c.failureHas), std::string::npos) << c.what << ": " << site.failure();
        EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "old") << c.what;
        EXPECT_EQ(site.rig.fs.files["/game/info.ini"], manifest("1", {{"a.dat", "1", ""}})) << c.what;
        // A refused manifest never becomes temp.ini.
        if (c.file == "info.ini") {
            EXPECT_FALSE(site.rig.fs.files.count("/game/temp.ini")) << c.what;
        }
    }
}

TEST(BadResponses, MakeNoFolders) {
    // Folders for an entry are made only once its answer is known to be good.
    Site site;
    site.rig.serve("info.ini", manifest("2", {{"a.dat", "2", "new\\deeper"}}));
    site.rig.run();
    EXPECT_NE(site.failure().find("status 404"), std::string::npos) << site.failure();
    EXPECT_EQ(site.rig.fs.folders, std::set<std::string>{"/game"});
}

TEST(BadResponses, SiteChangedDuringTheUpdateKeepsTheOldManifest) {
    struct Case { std::string what, republished, failureHas; };
    const std::string release = manifest("2", {{"a.dat", "2", ""}});
    const std::vector<Case> cases{
        {"same bytes", release, ""},
        {"same release, written otherwise", "; republished\n" + release + "\n", ""},
        {"another release", manifest("3", {{"a.dat", "3", ""}}), "The update site changed during the update"},
        {"another entry", manifest("2", {{"a.dat", "2", ""}, {"b.dat", "2", ""}}), "changed during the update"},
        {"another hash", release + "FileHash1=00\n", "changed during the update"},
    };
    for (const Case& c : cases) {
        Site site;
        site.rig.serve("a.dat", "new");
        site.rig.window.onPump = [&] {
            // The site publishes again once a.dat is in.
            if (site.rig.http.requests.size() == 3) site.rig.serve("info.ini", c.republished);
        };
        site.rig.run();
        SCOPED_TRACE(c.what);
        EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "new");
        if (c.failureHas.empty()) {
            EXPECT_EQ(site.failure(), "");
            EXPECT_EQ(site.rig.fs.files["/game/info.ini"], c.republished);
        } else {
            EXPECT_NE(site.failure().find(c.failureHas), std::string::npos) << site.failure();
            EXPECT_EQ(site.rig.fs.files["/game/info.ini"], manifest("1", {{"a.dat", "1", ""}}));
        }
    }
}

TEST(BadResponses, FinalManifestFailureKeepsOldManifestAndNewFiles) {
    Site site;
    site.rig.serve("a.dat", "new");
    site.rig.window.onPump = [&] {
        // Once a.dat is in, the site's manifest breaks off for the final fetch.
        if (site.rig.http.requests.size() == 3) site.rig.http.site[kSite + "info.ini"].deliverOnly = 3;
    };
    site.rig.run();
    EXPECT_NE(site.failure().find("closed after"), std::string::npos) << site.failure();
    EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "new");
    EXPECT_EQ(site.rig.fs.files["/game/info.ini"], manifest("1", {{"a.dat", "1", ""}}));
}

TEST(Responses, WithoutLengthAreStoredWholeAndExtraBytesAreNot) {
    Site site;
    fakes::Response noLength(200, std::string(5000, 'n'));
    noLength.sendLength = false;
    site.rig.serve("a.dat", noLength);
    site.rig.run();
    EXPECT_EQ(site.rig.fs.files["/game/a.dat"], std::string(5000, 'n'));
    EXPECT_EQ(site.rig.window.only("Label4").at(1), "100%");

    Site longer;
    fakes::Response extra(200, "0123456789");
    extra.length = 4;
    longer.rig.serve("a.dat", extra);
    longer.rig.run();
    EXPECT_EQ(longer.rig.fs.files["/game/a.dat"], "0123");
}

TEST(NewsFetch, NeverStopsTheRun) {
    Site notFound;
    notFound.rig.serve("/news.txt", fakes::Response(404, "<html>no news</html>"));
    notFound.rig.serve("a.dat", "new");
    notFound.rig.run();
    EXPECT_EQ(notFound.rig.window.only("news"), Lines{"<html>no news</html>"});
    EXPECT_EQ(notFound.rig.fs.files["/game/a.dat"], "new");

    // No answer, or one the transfer refuses: an empty box, and the update goes on.
    for (const auto kind : {velloran::FailureKind::Network, velloran::FailureKind::Protocol}) {
        Site broken;
        fakes::Response reset(200, "partial news");
        reset.deliverOnly = 3;
        reset.error = "broken";
        reset.errorKind = kind;
        broken.rig.serve("/news.txt", reset);
        broken.rig.serve("a.dat", "new");
        broken.rig.run();
        EXPECT_TRUE(broken.rig.window.only("news").empty());
        EXPECT_EQ(broken.failure(), "");
        EXPECT_EQ(broken.rig.fs.files["/game/a.dat"], "new");
    }
}

TEST(Manifest, UnsafeEntryIsRefusedBeforeAnyFileIsWritten) {
    Site site;
    site.rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}, {"evil.dll", "2", "..\\..\\system"}}));
    site.rig.serve("a.dat", "new");
    site.rig.run();
    EXPECT_NE(site.failure().find("entry 2 (evil.dll)"), std::string::npos) << site.failure();
    EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "old");
    EXPECT_EQ(site.rig.fs.ops, (Lines{"commit /game/temp.ini"}));
}

TEST(Manifest, SubfoldersAreFoundWithoutRegardToCaseAndMadeLevelByLevel) {
    struct Case { std::string filePath, stored; Lines made; };
    const std::vector<Case> cases{
        {"/maps/", "/game/maps/m.dat", {}},
        {"Maps", "/game/maps/m.dat", {}},
        {"\\", "/game/m.dat", {}},
        {"/", "/game/m.dat", {}},
        {"a\\b", "/game/a/b/m.dat", {"mkdir /game/a", "mkdir /game/a/b"}},
        {"new/", "/game/new/m.dat", {"mkdir /game/new"}},
    };
    for (const Case& c : cases) {
        Site site;
        site.rig.fs.folders.insert("/game/maps");
        site.rig.serve("info.ini", manifest("2", {{"m.dat", "2", c.filePath}}));
        site.rig.serve("m.dat", "map");
        site.rig.run();
        EXPECT_EQ(site.failure(), "") << c.filePath;
        EXPECT_EQ(site.rig.fs.files[c.stored], "map") << c.filePath;
        Lines made;
        for (const auto& op : site.rig.fs.ops)
            if (op.starts_with("mkdir")) made.push_back(op);
        EXPECT_EQ(made, c.made) << c.filePath;
        EXPECT_EQ(modUpdate::currentFolder, "");
    }
}

TEST(Manifest, LargeManifestIsParsedOncePerFile) {
    std::vector<std::array<std::string, 3>> entries;
    for (int i = 1; i <= 10000; ++i) entries.push_back({"f" + std::to_string(i), "1", ""});
    fakes::Rig rig;
    rig.fs.files["/game/info.ini"] = manifest("1", entries);
    rig.serve("/news.txt", "n");
    rig.serve("info.ini", manifest("2", entries));
    rig.run();
    EXPECT_EQ(rig.window.only("failure"), Lines{});
    // info.ini before the run, temp.ini once: no re-parse per key, and the
    // tables look at each file once, not once per value.
    EXPECT_LE(rig.fs.reads, 2);
    EXPECT_LT(rig.fs.stamps, 100);
    EXPECT_EQ(modUpdate::pendingCount, 0);
}

TEST(Leftovers, TemporaryFilesOfAnInterruptedRunAreRemoved) {
    Site site;
    site.rig.fs.folders.insert("/game/maps");
    site.rig.fs.files["/game/~velloran-a.dat.77.part"] = "half";
    site.rig.fs.files["/game/maps/~velloran-m.dat.9.part"] = "half";
    site.rig.fs.files["/game/maps/~velloran-notes.txt"] = "not ours";
    // As deep as a manifest's folders go.
    std::string deep = "/game";
    for (int level = 0; level < 30; ++level) site.rig.fs.folders.insert(deep += "/d");
    site.rig.fs.files[deep + "/~velloran-x.dat.5.part"] = "half";
    site.rig.run();
    EXPECT_FALSE(site.rig.fs.files.count("/game/~velloran-a.dat.77.part"));
    EXPECT_FALSE(site.rig.fs.files.count("/game/maps/~velloran-m.dat.9.part"));
    EXPECT_FALSE(site.rig.fs.files.count(deep + "/~velloran-x.dat.5.part"));
    EXPECT_TRUE(site.rig.fs.files.count("/game/maps/~velloran-notes.txt"));
}

TEST(Links, AFolderThatLeadsOutsideIsRefusedBeforeAnythingIsWritten) {
    // maps (or MAPS, found without regard to case) is a link out of the
    // program folder; entry 2 would be written through it.
    for (const std::string link : {"/game/maps", "/game/MAPS"}) {
        Site site;
        site.rig.fs.folders.insert(link);
        site.rig.fs.linksOutside.insert(link);
        site.rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}, {"pwned.map", "2", "maps"}}));
        site.rig.serve("a.dat", "new");
        site.rig.serve("pwned.map", "pwned");
        site.rig.run();
        EXPECT_EQ(site.failure(), "The update lists an unsafe file, entry 2 (pwned.map): " + link +
                                      " is a link that leads outside the program folder");
        EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "old");
        EXPECT_FALSE(site.rig.fs.files.count(link + "/pwned.map"));
    }
    // A link put on the way while the server takes its time with the head.
    Site swapped;
    swapped.rig.fs.folders.insert("/game/maps");
    swapped.rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}, {"m.map", "2", "maps"}}));
    swapped.rig.serve("a.dat", "new");
    swapped.rig.serve("m.map", "theirs");
    swapped.rig.window.onPump = [&] {
        if (swapped.rig.http.requests.back() == kSite + "m.map") swapped.rig.fs.linksOutside.insert("/game/maps");
    };
    swapped.rig.run();
    EXPECT_EQ(swapped.failure(), "Refused to store \"m.map\": /game/maps is a link that leads outside the program folder");
    EXPECT_FALSE(swapped.rig.fs.files.count("/game/maps/m.map"));

    // A link that stays inside keeps working.
    Site inside;
    inside.rig.fs.folders.insert("/game/maps");
    inside.rig.serve("info.ini", manifest("2", {{"a.dat", "2", "maps"}}));
    inside.rig.serve("a.dat", "new");
    inside.rig.run();
    EXPECT_EQ(inside.failure(), "");
    EXPECT_EQ(inside.rig.fs.files["/game/maps/a.dat"], "new");
}

TEST(Paths, HostileTargetsAreRefused) {
    struct Case { std::string folder, name; };
    const std::vector<Case> refused{
        {"", ".."}, {"", "../x"}, {"", "..\\x"}, {"", "a/../../x"}, {"a\\..\\..", "x"}, {"..", "x"},
        {"", "/etc/x"}, {"", "\\x"}, {"/etc", "x"}, {"\\\\server", "x"}, {"", "C:\\x"}, {"C:", "x"},
        {"", "x:stream"}, {"", "CON"}, {"", "con"}, {"", "nul.txt"}, {"", "NUL.tar.gz"}, {"", "aux"},
        {"", "COM1"}, {"", "lpt9.dll"}, {"", "com\xB9.txt"}, {"prn", "x"}, {"", "a\tb"}, {"", "a\nb"},
        {"", "x\x7f"}, {"", "x."}, {"", "x "}, {"", "dir/"}, {"sub.", "x"}, {"", "."},
        {"", "a<b"}, {"", "a>b"}, {"", "a|b"}, {"", "a?b"}, {"", "a*b"}, {"", "a\"b"},
        {"", std::string(256, 'x')}, {std::string(300, 'd'), "x"}, {"", "CONIN$"}, {"a/./b", "x"},
        // The updater's own temporary files: the next start would sweep them.
        {"", "~velloran-cache.part"}, {"", "~VELLORAN-x.dat"}, {"maps", "~velloran-old-game.exe"},
        {"~velloran-tmp", "x"},
    };
    for (const Case& c : refused)
        EXPECT_NE(velloran::refusedTarget(c.folder, c.name), "") << c.folder << " | " << c.name;
    const std::vector<Case> accepted{
        {"", "data.pak"}, {"maps", "m.dat"}, {"a\\b", "c.d"}, {"a//b", "x"}, {"", " lead.txt"},
        {"", "console.txt"}, {"", "com10"}, {"", "..x"}, {"", "x..y"}, {"", std::string(255, 'x')},
        {"", "caf\xC3\xA9.txt"}, {"", "sub/x.dat"}, {"", "~velloran.txt"}, {"", "x~velloran-y.part"},
    };
    for (const Case& c : accepted)
        EXPECT_EQ(velloran::refusedTarget(c.folder, c.name), "") << c.folder << " | " << c.name;
}

TEST(VerifiedFiles, PromisesAreCheckedBeforeTheFileIsReplaced) {
    struct Case { std::string extraKeys, failureHas; };
    const std::vector<Case> cases{
        {"", ""},
        {"FileSize1=3\nFileHash1=LEN3\n", ""},
        {"FileSize1=4\n", "the manifest 4"},
        {"FileSize1=3x\n", "not a byte count"},
        {"FileHash1=len4\n", "do not match the manifest's FileHash"},
    };
    for (const Case& c : cases) {
        Site site;
        site.rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}}) + c.extraKeys);
        site.rig.serve("a.dat", "new");
        fakes::Rig::run(servicesOf(site));
        if (c.failureHas.empty()) {
            EXPECT_EQ(site.failure(), "") << c.extraKeys;
            EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "new") << c.extraKeys;
        } else {
            EXPECT_NE(site.failure().find(c.failureHas), std::string::npos) << c.extraKeys << site.failure();
            EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "old") << c.extraKeys;
        }
    }
}

TEST(Caps, OversizedManifestIsRefusedAndLongNewsIsCut) {
    struct Case { std::size_t manifestCap; bool sendLength; std::string failureHas; };
    for (const Case& c : std::vector<Case>{{100000, true, ""}, {50, true, "larger than 50 bytes"},
                                           {50, false, "larger than 50 bytes"}}) {
        Site site;
        fakes::Response manifestResponse(200, manifest("2", {{"a.dat", "2", ""}}));
        manifestResponse.sendLength = c.sendLength;
        site.rig.serve("info.ini", manifestResponse);
        site.rig.serve("/news.txt", std::string(40, 'n'));
        site.rig.serve("a.dat", "new");
        modUpdate::Services s = servicesOf(site);
        s.manifestCap = c.manifestCap;
        s.newsCap = 16;
        fakes::Rig::run(s);
        EXPECT_EQ(site.rig.window.only("news"), Lines{std::string(16, 'n')});
        if (c.failureHas.empty()) {
            EXPECT_EQ(site.failure(), "");
        } else {
            EXPECT_NE(site.failure().find(c.failureHas), std::string::npos) << site.failure();
            EXPECT_FALSE(site.rig.fs.files.count("/game/temp.ini"));
            EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "old");
        }
    }
}

TEST(EndlessBodies, AreNotReadPastWhatIsAnnouncedOrPromised) {
    struct Case { std::string what, extraKeys; bool sendLength; std::string failureHas, stored; };
    const std::vector<Case> cases{
        {"body beyond its Content-Length", "", true, "", "0123"},
        {"FileSize and no Content-Length", "FileSize1=4\n", false, "larger than the manifest's FileSize of 4", "old"},
    };
    for (const Case& c : cases) {
        Site site;
        site.rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}}) + c.extraKeys);
        fakes::Response endless(200, "0123" + std::string(8 << 20, 'x'));
        endless.length = 4;
        endless.sendLength = c.sendLength;
        site.rig.serve("a.dat", endless);
        fakes::Rig::run(servicesOf(site));
        SCOPED_TRACE(c.what);
        EXPECT_NE(site.failure().find(c.failureHas), std::string::npos) << site.failure();
        EXPECT_EQ(site.rig.fs.files["/game/a.dat"], c.stored);
        // 8 MiB would take some 2,000 polls of 4 KiB; the client gives up long before.
        EXPECT_LT(site.rig.http.polls, 100);
    }
}

TEST(Manifest, AMaxBeyondTheListedEntriesCostsNothing) {
    // Two listed entries and a Max of two billion: the tables hold the listed
    // records, the pass shows for the rest what walking them would leave.
    struct Case { bool localManifest; std::vector<std::string> lastTexts; int progress; };
    for (const Case& c : std::vector<Case>{
             {true, {"L3\tChecking Files...", "L2\tFile Already Up To Date!"}, 2},
             {false, {"L3\tChecking Files...", "L2\tDownloading ...", "L3\tDownloading File 2000000000 Of 2"},
              2000000000}}) {
        Site site;
        if (!c.localManifest) site.rig.fs.files.erase("/game/info.ini");
        site.rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}, {"b.dat", "2", ""}}, "", "2000000000"));
        site.rig.serve("a.dat", "new");
        site.rig.serve("b.dat", "bee");
        site.rig.run();
        EXPECT_EQ(site.failure(), "");
        EXPECT_EQ(modUpdate::fileCount, 2000000000);
        EXPECT_EQ(modUpdate::remoteFiles.stored(), 2);
        EXPECT_EQ(modUpdate::progressCount, c.progress);
        EXPECT_EQ(site.rig.fs.files["/game/b.dat"], "bee");
        const Lines texts = site.rig.window.texts();
        ASSERT_LT(texts.size(), 60u);
        const Lines pass(texts.end() - static_cast<long>(c.lastTexts.size()) - 4, texts.end() - 4);
        EXPECT_EQ(pass, c.lastTexts);
    }
}

TEST(Manifest, AMaxOutsideTheNumberRangeSaysWhatIsWrong) {
    for (const char* max : {"2147483648", "1e300", "-3000000000"}) {
        Site site;
        site.rig.serve("info.ini", std::string("[VERSION]\nVersion=2\nMax=") + max + "\n");
        site.rig.run();
        EXPECT_EQ(site.failure(), std::string("The update information lists an impossible number of files: Max=") + max);
        EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "old");
    }
}

TEST(Manifest, EntriesNamingTheUpdatersOwnManifestsAreRefused) {
    // An entry info.ini would install the new release's manifest before its
    // files, so a later failure would leave the client believing itself up
    // to date; an entry temp.ini would be deleted at the end of the run.
    // In a subfolder the names are ordinary files.
    struct Case { std::string name, folder; bool refused; };
    for (const Case& c : std::vector<Case>{{"info.ini", "", true}, {"INFO.INI", "", true}, {"temp.ini", "", true},
                                           {"Temp.Ini", "/", true}, {"info.ini", "maps", false}}) {
        Site site;
        site.rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}, {c.name, "2", c.folder}}));
        site.rig.serve("a.dat", "new");
        site.rig.run();
        SCOPED_TRACE(c.name + " in " + c.folder);
        const std::string published = site.rig.http.site[kSite + "info.ini"].body;
        if (c.refused) {
            EXPECT_EQ(site.failure(), "The update lists an unsafe file, entry 2 (" + c.name +
                                          "): the updater keeps its own manifest under that name");
            EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "old");
        } else {
            EXPECT_EQ(site.failure(), "");
            // Every file is fetched by its name from the site's folder.
            EXPECT_EQ(site.rig.fs.files["/game/maps/info.ini"], published);
        }
        EXPECT_EQ(site.rig.fs.files["/game/info.ini"], c.refused ? manifest("1", {{"a.dat", "1", ""}}) : published);
    }
}

TEST(Manifest, EntryNumbersFarApartCostNothing) {
    Site site;
    site.rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}},
                                        "FileName1999999999=z.dat\r\nFileVersion1999999999=2\r\n", "2000000000"));
    site.rig.serve("a.dat", "new");
    site.rig.serve("z.dat", "zed");
    site.rig.run();
    EXPECT_EQ(site.failure(), "");
    EXPECT_EQ(site.rig.fs.files["/game/z.dat"], "zed");
    EXPECT_EQ(modUpdate::remoteFiles.stored(), 2);
    EXPECT_EQ(modUpdate::pendingCount, 2);
    EXPECT_LT(site.rig.window.texts().size(), 60u);
}

TEST(Manifest, OwnFilesAreWrittenUnderTheirExactNames) {
    // A stray upper-case TEMP.INI must not receive the manifest the engine
    // then reads from temp.ini.
    Site site;
    site.rig.fs.files["/game/TEMP.INI"] = "stray";
    site.rig.serve("a.dat", "new");
    site.rig.run();
    EXPECT_EQ(site.failure(), "");
    EXPECT_EQ(site.rig.fs.files["/game/TEMP.INI"], "stray");
    EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "new");
}

}  // namespace
