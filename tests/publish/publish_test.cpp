// velloran-publish's rules over real folders: what it refuses, what each
// entry becomes, what verify finds and what plan foresees.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "build.h"
#include "failure.h"
#include "file_bytes.h"
#include "plan.h"
#include "servers.h"
#include "site.h"
#include "verify.h"

namespace {

using velloran::Failure;
using velloran::FailureKind;
using velloran::test::TempFolder;
using namespace velloran::publish;
using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

bool anyHas(const Lines& lines, const std::string& part) {
    for (const std::string& line : lines)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

struct Publisher {
    TempFolder site{"velloran-pub-site"};
    std::unique_ptr<velloran::FileSystem> fs = velloran::makeFileSystem();
    Progress quiet{stderr, false};
    std::vector<std::unique_ptr<TempFolder>> releases;

    BuildOptions options(const Files& files, const std::string& version) {
        releases.push_back(std::make_unique<TempFolder>("velloran-pub-release"));
        for (const auto& [path, bytes] : files) releases.back()->write(path, bytes);
        BuildOptions o;
        o.release = releases.back()->path();
        o.site = site.path();
        o.version = version;
        return o;
    }
    BuildReport publish(const Files& files, const std::string& version) {
        return buildSite(*fs, options(files, version), quiet);
    }
    Manifest manifest() const { return *parseManifest(*site.read("info.ini")); }
    Lines verify() { return verifySite(*fs, site.path(), quiet); }
};

// Each trap: the release before (published as 1.0 when given), the release
// asked for, and what the refusal must say. Nothing may be written.
TEST(PublishBuild, RefusesEveryTrapNamingTheFileAndWritesNothing) {
    struct Case {
        std::string what;
        Files before;
        Files files;
        std::string version;
        std::function<void(BuildOptions&)> tweak;
        std::string says;
    };
    const std::vector<Case> cases{
        {"changed file, version sorts before", {{"data.pak", "a"}}, {{"data.pak", "b"}}, "1.10",
         [](BuildOptions&) {}, "data.pak changed, but its new FileVersion \"1.10\" does not sort after its old one \"1.9\""},
        {"same release version", {{"data.pak", "a"}}, {{"data.pak", "b"}}, "1.9", [](BuildOptions&) {},
         "\"1.9\" is the site's current version"},
        {"file version given that sorts before", {{"data.pak", "a"}}, {{"data.pak", "b"}}, "2.0",
         [](BuildOptions& o) { o.fileVersion = "1.8"; }, "\"1.8\" does not sort after its old one \"1.9\""},
        {"device name", {}, {{"maps/aux.map", "x"}}, "1.0", [](BuildOptions&) {},
         "maps/aux.map: the client refuses this name: \"aux.map\" is a device name"},
        {"colon", {}, {{"a:b.txt", "x"}}, "1.0", [](BuildOptions&) {}, "a:b.txt: the client refuses this name"},
        {"trailing dot", {}, {{"end.", "x"}}, "1.0", [](BuildOptions&) {}, "end.: the client refuses this name"},
        {"temporary name", {}, {{"~velloran-x.part", "x"}}, "1.0", [](BuildOptions&) {},
         "the updater keeps for its own temporary files"},
        {"client's manifest", {}, {{"info.ini", "x"}}, "1.0", [](BuildOptions&) {},
         "\"info.ini\" is the client's own file in the program folder"},
        {"client's temp manifest", {}, {{"TEMP.ini", "x"}}, "1.0", [](BuildOptions&) {},
         "\"TEMP.ini\" is the client's own file"},
        {"backslash in a name", {}, {{"a\\b.txt", "x"}}, "1.0", [](BuildOptions&) {},
         "a\\b.txt: the client reads \"\\\" in a name as a folder separator"},
        {"leading blank", {}, {{" lead.txt", "x"}}, "1.0", [](BuildOptions&) {},
         " lead.txt: the client would read this entry back differently"},
        {"base names collide", {}, {{"maps/a.map", "1"}, {"levels/A.map", "2"}}, "1.0", [](BuildOptions&) {},
         "levels/A.map and maps/a.map would be the same file on the site (\"A.map\" and \"a.map\", compared without "
         "regard to letter case); rename one, or publish with --layout tree"},
        {"same path in two cases, tree", {}, {{"Data.pak", "1"}, {"data.pak", "2"}}, "1.0",
         [](BuildOptions& o) { o.layout = Layout::Tree; }, "Data.pak and data.pak would be the same file"},
        {"file beside a folder of its name, tree", {}, {{"Maps", "1"}, {"maps/a.map", "2"}}, "1.0",
         [](BuildOptions& o) { o.layout = Layout::Tree; }, "Maps and maps/a.map would be the same file"},
        {"site's own news", {}, {{"docs/News.txt", "x"}}, "1.0", [](BuildOptions&) {},
         "docs/News.txt would be \"News.txt\" on the site, which keeps \"news.txt\" for itself"},
        {"site's signature", {}, {{"x/info.ini.sig", "x"}}, "1.0", [](BuildOptions&) {},
         "which keeps \"info.ini.sig\" for itself"},
        {"gone file missing from the site", {{"keep.txt", "k"}, {"gone.txt", "g"}}, {{"keep.txt", "k"}}, "2.0",
         [](BuildOptions&) {}, "gone.txt (entry 1) is no longer in the release, stays listed, and its file is missing"},
        {"unsafe program name", {}, {{"a.txt", "x"}}, "1.0", [](BuildOptions& o) { o.game = "nul.exe"; },
         "GameFileName \"nul.exe\": \"nul.exe\" is a device name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Publisher p;
        if (!c.before.empty()) p.publish(c.before, "1.9");
        if (c.what == "gone file missing from the site") std::filesystem::remove(p.site.at("gone.txt"));
        const Files siteBefore{{"info.ini", p.site.read("info.ini").value_or("")}};
        BuildOptions o = p.options(c.files, c.version);
        c.tweak(o);
        try {
            buildSite(*p.fs, o, p.quiet);
            ADD_FAILURE() << "published";
        } catch (const Failure& f) {
            EXPECT_EQ(f.kind(), FailureKind::Refused);
            EXPECT_NE(std::string(f.what()).find(c.says), std::string::npos) << f.what();
        }
        EXPECT_EQ(p.site.read("info.ini").value_or(""), siteBefore.at("info.ini"));
        if (c.before.empty()) {
            EXPECT_EQ(p.site.list(), Lines{});
        }
    }
}

TEST(PublishBuild, KeepsNumbersVersionsOnlyWhatChangedAndListsGoneFiles) {
    Publisher p;
    p.publish({{"a.txt", "a1"}, {"maps/m.map", "m1"}, {"old.txt", "o1"}}, "1.0");
    // Sorted release paths get the first numbers.
    const BuildReport r = p.publish({{"a.txt", "a1"}, {"maps/m.map", "m2"}, {"lang/en.txt", "e"}}, "1.1");
    const Manifest m = p.manifest();
    ASSERT_EQ(m.entries.size(), 4u);
    EXPECT_EQ(m.max, "4");
    auto row = [&](std::size_t i) {
        const Entry& e = m.entries[i];
        return Lines{e.name, e.version, e.path, e.size};
    };
    EXPECT_EQ(row(0), (Lines{"a.txt", "1.0", "", "2"}));
    EXPECT_EQ(row(1), (Lines{"m.map", "1.1", "maps", "2"}));
    EXPECT_EQ(row(2), (Lines{"old.txt", "1.0", "", "2"}));
    EXPECT_EQ(row(3), (Lines{"en.txt", "1.1", "lang", "1"}));
    EXPECT_EQ(m.entries[1].hash, digestFile(p.site.at("m.map")).sha256);
    EXPECT_EQ(p.site.read("m.map"), "m2");
    EXPECT_EQ(p.site.read("old.txt"), "o1");  // a fresh install still fetches it
    EXPECT_EQ(r.added, Lines{"lang/en.txt"});
    ASSERT_EQ(r.changed.size(), 1u);
    EXPECT_EQ((Lines{r.changed[0].path, r.changed[0].from, r.changed[0].to}), (Lines{"maps/m.map", "1.0", "1.1"}));
    EXPECT_EQ(r.kept, Lines{"a.txt"});
    EXPECT_EQ(r.gone, Lines{"old.txt"});
    EXPECT_EQ(r.copiedFiles, 2u);
    EXPECT_EQ(p.verify(), Lines{});
}

// A hand-written site: no sizes or hashes (the bytes on the site tell), and
// a Max that stops short of the last entry, which no client has seen.
TEST(PublishBuild, TakesOverAHandWrittenSite) {
    Publisher p;
    p.site.write("info.ini",
                 "[VERSION]\r\nVersion=1\r\nMax=1\r\n[FILES]\r\nFileName1=a.txt\r\nFileVersion1=1\r\nFilePath1=\r\n"
                 "FileName2=b.txt\r\nFileVersion2=1\r\nFilePath2=\r\n");
    p.site.write("a.txt", "same");
    p.site.write("b.txt", "same too");
    const BuildReport r = p.publish({{"a.txt", "same"}, {"b.txt", "same too"}}, "2");
    const Manifest m = p.manifest();
    EXPECT_EQ(m.entries[0].version, "1");
    EXPECT_EQ(m.entries[1].version, "2");
    EXPECT_EQ(m.max, "2");
    EXPECT_EQ(r.kept, Lines{"a.txt"});
    EXPECT_EQ(r.copiedFiles, 1u);
}

TEST(PublishBuild, SwitchingToTheTreeLayoutRenamesWithoutRefetching) {
    Publisher p;
    p.publish({{"maps/m.map", "m"}}, "1.0");
    BuildOptions o = p.options({{"maps/m.map", "m"}}, "1.1");
    o.layout = Layout::Tree;
    buildSite(*p.fs, o, p.quiet);
    const Entry e = p.manifest().entries.at(0);
    EXPECT_EQ((Lines{e.name, e.version, e.path}), (Lines{"maps/m.map", "1.0", ""}));
    EXPECT_EQ(p.site.read("maps/m.map"), "m");
    EXPECT_EQ(p.verify(), Lines{});
}

TEST(PublishBuild, BadInputIsNotFound) {
    Publisher p;
    TempFolder release("velloran-pub-release");
    release.write("a.txt", "a");
    auto attempt = [&](BuildOptions o) {
        try {
            buildSite(*p.fs, o, p.quiet);
        } catch (const Failure& f) {
            return std::make_pair(f.kind(), std::string(f.what()));
        }
        return std::make_pair(FailureKind::Io, std::string("published"));
    };
    BuildOptions o{release.path(), p.site.path(), "1", {}, {}, {}, Layout::Flat};
    BuildOptions missing = o;
    missing.release += "/nope";
    EXPECT_EQ(attempt(missing).first, FailureKind::NotFound);
    BuildOptions news = o;
    news.news = p.site.at("no-news.txt");
    EXPECT_EQ(attempt(news).first, FailureKind::NotFound);
    p.site.write("index.html", "a web page");
    const auto notASite = attempt(o);
    EXPECT_EQ(notASite.first, FailureKind::NotFound);
    EXPECT_NE(notASite.second.find("it is not an update site"), std::string::npos) << notASite.second;
    EXPECT_EQ(p.site.list(), Lines{"index.html"});
}

TEST(PublishVerify, NamesEachBrokenPromise) {
    struct Case {
        std::string what;
        std::function<void(TempFolder&)> damage;
        std::string says;
    };
    const std::vector<Case> cases{
        {"a changed byte", [](TempFolder& s) { s.write("b.txt", "bbbB"); },
         "entry 2 (b.txt): the file's SHA-256 is"},
        {"a shorter file", [](TempFolder& s) { s.write("b.txt", "bb"); },
         "entry 2 (b.txt): the file has 2 bytes, FileSize promises 4"},
        {"a missing file", [](TempFolder& s) { std::filesystem::remove(s.at("maps/m.map")); },
         "entry 3 (maps/m.map): the file is missing from the site"},
        {"Max short", [](TempFolder& s) { s.write("info.ini", replaced(*s.read("info.ini"), "Max=3", "Max=1")); },
         "Max=1 does not cover entries 2 to 3"},
        {"refused name",
         [](TempFolder& s) { s.write("info.ini", replaced(*s.read("info.ini"), "FileName2=b.txt", "FileName2=../b.txt")); },
         "entry 2 (../b.txt): the client refuses this name"},
        {"two names, one file",
         [](TempFolder& s) { s.write("info.ini", replaced(*s.read("info.ini"), "FileName2=b.txt", "FileName2=A.txt")); },
         "\"a.txt\" and \"A.txt\" are one file"},
        {"no hash",
         [](TempFolder& s) { s.write("info.ini", replaced(*s.read("info.ini"), "FileHash1=", "FileHashX=")); },
         "entry 1 (a.txt): FileHash is missing"},
        {"leftover", [](TempFolder& s) { s.write("maps/~velloran-m.map.77.part", "x"); },
         "maps/~velloran-m.map.77.part is a temporary file left by an interrupted build"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Publisher p;
        BuildOptions o = p.options({{"a.txt", "aaaa"}, {"b.txt", "bbbb"}, {"maps/m.map", "mmmm"}}, "1");
        o.layout = Layout::Tree;
        buildSite(*p.fs, o, p.quiet);
        ASSERT_EQ(p.verify(), Lines{});
        c.damage(p.site);
        const Lines problems = p.verify();
        EXPECT_TRUE(anyHas(problems, c.says)) << testing::PrintToString(problems);
    }
}

TEST(PublishPlan, ForeseesWhatEachPlayerFetches) {
    Publisher p;
    p.publish({{"a.txt", "a"}, {"b.txt", "b"}}, "1.0");
    const std::string at10 = *p.site.read("info.ini");
    p.publish({{"a.txt", "a"}, {"b.txt", "B2"}, {"c.txt", "c"}}, "1.1");
    auto fetched = [&](const PlayerState& state) {
        Lines names;
        for (const Fetch& f : planUpdate(*p.fs, p.site.path(), state).files) names.push_back(f.name);
        return names;
    };
    EXPECT_EQ(fetched({at10, {}}), (Lines{"b.txt", "c.txt"}));
    EXPECT_EQ(fetched({std::nullopt, {}}), (Lines{"a.txt", "b.txt", "c.txt"}));
    EXPECT_EQ(fetched({*p.site.read("info.ini"), {}}), Lines{});
    // A site file that is not what info.ini promises stops the client, and
    // the plan says so.
    p.site.write("c.txt", "C");
    const PlanResult broken = planUpdate(*p.fs, p.site.path(), {at10, {}});
    EXPECT_NE(broken.failure.find("do not match the manifest's FileHash"), std::string::npos) << broken.failure;
}

}  // namespace
