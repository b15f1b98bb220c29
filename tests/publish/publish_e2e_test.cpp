// velloran-publish end to end: three releases published in a row with the
// program itself, served by nginx with the rules the publishing guide
// recommends, and installed folders brought up to date by the real engine
// over libcurl.
#include <gtest/gtest.h>

#include <algorithm>

#include <curl/curl.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "digest.h"
#include "fakes.h"
#include "folder_fs.h"
#include "http.h"
#include "http_fetch.h"
#include "servers.h"

namespace {

using velloran::test::TempFolder;
using velloran::test::TestSite;
using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;
namespace stdfs = std::filesystem;

struct ToolRun {
    int code = -1;
    std::string output;
};

ToolRun tool(const Lines& args) {
    std::string command = VELLORAN_PUBLISH_PROGRAM;
    for (const std::string& a : args) command += " '" + a + "'";
    command += " 2>&1";
    ToolRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The nginx rules between the guide's begin and end marks.
std::string guideRules() {
    std::ifstream in(VELLORAN_PUBLISHING_GUIDE);
    std::string rules, line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.find("# end: update site rules") != std::string::npos) break;
        if (inside) rules += line + "\n";
        if (line.find("# begin: update site rules") != std::string::npos) inside = true;
    }
    return rules;
}

// Every file under `folder` with its bytes.
Files tree(const std::string& folder) {
    Files files;
    for (const auto& entry : stdfs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        files[stdfs::relative(entry.path(), folder).generic_string()] = bytes.str();
    }
    return files;
}

void lay(const TempFolder& folder, const Files& files) {
    for (const auto& [path, bytes] : files) folder.write(path, bytes);
}

// The requests a plan foresees, as nginx logs them.
Lines plannedRequests(const std::string& planOutput) {
    Lines requests;
    std::istringstream in(planOutput);
    for (std::string line; std::getline(in, line);) {
        const std::string mark = "  request  ";
        if (!line.starts_with(mark)) continue;
        const std::string name = line.substr(mark.size());
        // The client asks for the news below the address with its own slash.
        requests.push_back(name == "news.txt" ? "GET /updates//news.txt" : "GET /updates/" + name);
    }
    return requests;
}

std::string updateWithTheEngine(const std::string& folder, const std::string& address) {
    fakes::Surface window;
    velloran::test::FolderFs fs(folder);
    auto http = velloran::makeHttpTransfer({});
    modUpdate::Services s = velloran::test::engineServices(window, fs, http.get(), address);
    s.makeSha256 = velloran::makeSha256;
    modUpdate::resetEngineValues();
    modUpdate::startUpdate(s);
    const Lines failures = window.only("failure");
    return failures.empty() ? "" : failures.back();
}

TEST(PublishEndToEnd, ThreeReleasesBringEveryInstallToTheLastByteForByte) {
    using velloran::test::content;
    const Files r10{{"game.sh", "#!/bin/sh\necho 1.0\n"}, {"data/base.pak", content(300000, 1)},
                    {"maps/m1.map", content(5000, 2)}, {"readme.txt", "read me"}, {"old.txt", "only in 1.0"}};
    Files r11 = r10;
    r11.erase("old.txt");
    r11["data/base.pak"] = content(300000, 3);
    r11["maps/m2.map"] = content(7000, 4);
    Files r12 = r11;
    r12["game.sh"] = "#!/bin/sh\necho 1.2\n";
    r12["maps/m1.map"] = content(5000, 5);
    r12["lang/en/texts.txt"] = "hello";

    TestSite site;
    site.addServerRules(guideRules());
    stdfs::create_directories(site.siteFolder().at("updates"));
    const std::string siteFolder = site.siteFolder().at("updates");
    TempFolder news("velloran-news");
    news.write("news.txt", "Release notes\r\n");
    TempFolder install10("velloran-at-1.0"), install11("velloran-at-1.1");
    const std::vector<std::pair<std::string, const Files*>> releases{{"1.0", &r10}, {"1.1", &r11}, {"1.2", &r12}};
    for (const auto& [version, files] : releases) {
        TempFolder release("velloran-release");
        lay(release, *files);
        Lines args{"build", release.path(), siteFolder, "--version", version, "--game", "game.sh"};
        if (version == "1.0") args.insert(args.end(), {"--news", news.at("news.txt")});
        const ToolRun built = tool(args);
        ASSERT_EQ(built.code, 0) << built.output;
        const TempFolder* install = version == "1.0" ? &install10 : version == "1.1" ? &install11 : nullptr;
        if (!install) continue;
        lay(*install, *files);
        install->write("info.ini", *site.siteFolder().read("updates/info.ini"));
    }
    const ToolRun verified = tool({"verify", siteFolder});
    EXPECT_EQ(verified.code, 0) << verified.output;
    site.start();

    struct Player {
        const TempFolder* folder;
        Files expected;
        Lines fetched;
    };
    Files at10 = r12, at11 = r12;
    at10["old.txt"] = r10.at("old.txt");  // the client never deletes
    const std::vector<Player> players{
        {&install10, at10, {"base.pak", "game.sh", "m1.map", "m2.map", "texts.txt"}},
        {&install11, at11, {"game.sh", "m1.map", "texts.txt"}},
    };
    for (const Player& player : players) {
        SCOPED_TRACE(player.folder->path());
        const ToolRun plan = tool({"plan", siteFolder, "--from-folder", player.folder->path()});
        ASSERT_EQ(plan.code, 0) << plan.output;
        const std::size_t before = site.requests().size();
        EXPECT_EQ(updateWithTheEngine(player.folder->path(), site.baseAddress()), "");
        // The files go side by side and reach nginx's log as they end: their
        // order between the two manifests is not the one asked in.
        auto filesSorted = [](Lines requests) {
            if (requests.size() > 3) std::sort(requests.begin() + 2, requests.end() - 1);
            return requests;
        };
        const Lines all = site.requests();
        const Lines made = filesSorted(Lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()));
        EXPECT_EQ(made, filesSorted(plannedRequests(plan.output))) << plan.output;
        Lines expectedRequests{"GET /updates//news.txt", "GET /updates/info.ini"};
        for (const std::string& name : player.fetched) expectedRequests.push_back("GET /updates/" + name);
        expectedRequests.push_back("GET /updates/info.ini");
        EXPECT_EQ(made, filesSorted(expectedRequests));
        Files expected = player.expected;
        expected["info.ini"] = *site.siteFolder().read("updates/info.ini");
        EXPECT_EQ(tree(player.folder->path()), expected);
    }

    site.siteFolder().write("updates/m2.map", content(7000, 6));
    const ToolRun tampered = tool({"verify", siteFolder});
    EXPECT_EQ(tampered.code, 1);
    EXPECT_NE(tampered.output.find("(m2.map): the file's SHA-256 is"), std::string::npos) << tampered.output;
}

// The caching rules of the guide, as nginx applies them: the manifest and
// the news are never taken from a cache unasked, the files are revalidated,
// and a build's temporary files are never served.
TEST(PublishEndToEnd, TheGuidesNginxRulesSetTheCachingHeaders) {
    const std::string rules = guideRules();
    ASSERT_NE(rules.find("location"), std::string::npos) << "no rules found in " << VELLORAN_PUBLISHING_GUIDE;
    TestSite site;
    site.addServerRules(rules);
    site.addFile("updates/info.ini", "[VERSION]\r\n");
    site.addFile("updates/news.txt", "news");
    site.addFile("updates/maps/m.map", "map");
    site.addFile("updates/maps/~velloran-m.map.12.part", "half");
    site.start();
    // The header is read with libcurl itself: the client's transfer hands
    // on nothing of the head but the status and the length.
    auto fetchHead = [](const std::string& url) {
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
        std::pair<long, std::string> out{0, ""};
        if (curl_easy_perform(curl) == CURLE_OK) {
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.first);
            curl_header* header = nullptr;
            if (curl_easy_header(curl, "Cache-Control", 0, CURLH_HEADER, -1, &header) == CURLHE_OK)
                out.second = header->value;
        }
        curl_easy_cleanup(curl);
        return out;
    };
    struct Case {
        std::string path;
        int status;
        std::string cacheControl;
    };
    const std::vector<Case> cases{{"/updates/info.ini", 200, "no-cache"},
                                  {"/updates/news.txt", 200, "no-cache"},
                                  {"/updates//news.txt", 200, "no-cache"},
                                  {"/updates/maps/m.map", 200, "public, no-cache"},
                                  {"/updates/maps/~velloran-m.map.12.part", 404, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto [status, cacheControl] = fetchHead(site.url(c.path));
        EXPECT_EQ(status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(cacheControl, c.cacheControl);
        }
    }
}

// What a script running the tool can rely on: the exit code tells the kind
// of outcome, and the message names what was wrong.
TEST(PublishCommandLine, ExitCodesAndMessages) {
    TempFolder release("velloran-release"), site("velloran-site"), notASite("velloran-other");
    release.write("a.txt", "a");
    notASite.write("index.html", "<html></html>");
    const std::string missing = release.at("missing");
    struct Case {
        Lines args;
        int code;
        std::string says;
    };
    const std::vector<Case> cases{
        {{"--help"}, 0, "exit codes:"},
        {{}, 2, "a command is needed"},
        {{"publish"}, 2, "unknown command publish"},
        {{"build", release.path(), site.path()}, 2, "build needs --version"},
        {{"build", release.path(), site.path(), "--version", "1", "--layout", "deep"}, 2, "--layout is flat or tree"},
        {{"build", release.path(), site.path(), "--version"}, 2, "--version needs a value"},
        {{"plan", site.path()}, 2, "plan needs one of --from"},
        {{"build", missing, site.path(), "--version", "1"}, 3, "The release folder " + missing + " does not exist"},
        {{"build", release.path(), notASite.path(), "--version", "1"}, 3, "it is not an update site"},
        {{"verify", notASite.path()}, 3, "it is not an update site"},
        {{"plan", site.path(), "--fresh"}, 3, "it is not an update site"},
        {{"build", release.path(), site.path(), "--version", "1"}, 0, "added    1  a.txt"},
        {{"build", release.path(), site.path(), "--version", "1"}, 1, "\"1\" is the site's current version"},
        {{"plan", site.path(), "--from", missing}, 3, "cannot read " + missing},
        {{"plan", site.path(), "--fresh"}, 0, "It fetches 1 files, 1 bytes: a.txt"},
        {{"verify", site.path()}, 0, "The site is sound."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ToolRun run = tool(c.args);
        EXPECT_EQ(run.code, c.code) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
}

}  // namespace
