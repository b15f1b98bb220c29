// A site signed by the publisher: which manifests the client takes, which it
// refuses, and that a refusal leaves the program folder as it was.
#include <gtest/gtest.h>

#include <functional>

#include "digest.h"
#include "fakes.h"
#include "manifest_text.h"
#include "publication.h"

namespace {

using Lines = std::vector<std::string>;
using velloran::test::manifest;

// A stand-in for ECDSA: the engine's rules are under test here, the real
// signatures are checked against the crypto backends elsewhere. A signature
// by key K over M is the text "K|M".
std::string sign(const std::string& key, const std::string& message) { return key + "|" + message; }
bool fakeVerify(std::string_view key, std::string_view message, std::string_view signature) {
    return signature == std::string(key) + "|" + std::string(message);
}

std::int64_t gNow = 0;
std::int64_t fakeNow() { return gNow; }

struct CountingDigest : velloran::Sha256 {
    std::size_t bytes = 0;
    void update(const char*, std::size_t size) override { bytes += size; }
    std::string hexDigest() override { return "len" + std::to_string(bytes); }
};

// A manifest with the publisher's freshness keys in [VERSION].
std::string published(const std::string& version, const std::string& serial, const std::string& expires,
                      const std::string& files = "FileSize1=3\r\nFileHash1=len3\r\n") {
    std::string text = manifest(version, {{"a.dat", version, ""}}, files);
    return text.insert(text.find("[FILES]"), "Serial=" + serial + "\r\nExpires=" + expires + "\r\n");
}

const std::string kInstalled = published("1", "5", "2027-06-01T00:00:00Z");
const std::string kRelease = published("2", "6", "2027-06-01T00:00:00Z");

struct SignedSite {
    fakes::Rig rig;
    std::vector<std::string> keys{"key-A"};
    SignedSite() {
        gNow = *modUpdate::parseUtcTime("2027-01-01T00:00:00Z");
        rig.fs.files["/game/info.ini"] = kInstalled;
        rig.fs.files["/game/a.dat"] = "old";
        rig.serve("/news.txt", "news");
        publish(kRelease, sign("key-A", kRelease));
        rig.serve("a.dat", "new");
    }
    void publish(const std::string& manifestText, const std::string& signature) {
        rig.serve("info.ini", manifestText);
        rig.serve("info.ini.sig", signature);
    }
    void run() {
        modUpdate::Services s = rig.services();
        s.makeSha256 = [] { return std::unique_ptr<velloran::Sha256>(new CountingDigest); };
        s.publicKeys = keys;
        s.verifySignature = fakeVerify;
        s.secondsNow = fakeNow;
        fakes::Rig::run(s);
    }
    std::string failure() const {
        auto f = rig.window.only("failure");
        return f.empty() ? "" : f.back();
    }
    std::vector<std::string> requested() const {
        std::vector<std::string> names;
        for (const auto& url : rig.http.requests) names.push_back(url.substr(url.rfind('/') + 1));
        return names;
    }
};

TEST(SignedSite, TakesOnlyThePublishersFreshManifest) {
    struct Case {
        std::string what;
        std::function<void(SignedSite&)> arrange;
        std::string failureHas;  // empty: the update goes through
        // Refused in the file pass (after temp.ini is stored) rather than
        // before temp.ini is stored.
        bool inPass = false;
    };
    const std::string other = published("3", "7", "2027-06-01T00:00:00Z");
    const std::vector<Case> cases{
        {"a good signature", [](SignedSite&) {}, ""},
        {"the second compiled key",
         [](SignedSite& s) {
             s.keys = {"key-old", "key-new"};
             s.publish(kRelease, sign("key-new", kRelease));
         },
         ""},
        {"no signature (404)", [](SignedSite& s) { s.rig.http.site.erase("http://site.example/updates/info.ini.sig"); },
         "The update information is not signed by the publisher (Could not download"},
        {"a signature of other bytes", [](SignedSite& s) { s.publish(kRelease, sign("key-A", kRelease + " ")); },
         "The update information is not signed by the publisher"},
        {"a signature by an unknown key", [](SignedSite& s) { s.publish(kRelease, sign("key-X", kRelease)); },
         "The update information is not signed by the publisher"},
        {"a truncated signature",
         [](SignedSite& s) { s.publish(kRelease, sign("key-A", kRelease).substr(0, 40)); },
         "The update information is not signed by the publisher"},
        {"a 64 KiB signature", [](SignedSite& s) { s.publish(kRelease, std::string(64 * 1024, '\x30')); },
         "larger than 4096 bytes"},
        {"one release's manifest with another's signature",
         [&](SignedSite& s) { s.publish(other, sign("key-A", kRelease)); },
         "The update information is not signed by the publisher"},
        {"a lower Serial",
         [](SignedSite& s) {
             const std::string old = published("2", "4", "2027-06-01T00:00:00Z");
             s.publish(old, sign("key-A", old));
         },
         "is older (Serial 4) than the installed one (Serial 5)"},
        {"the same Serial with other bytes",
         [](SignedSite& s) {
             const std::string same = published("2", "5", "2027-06-01T00:00:00Z");
             s.publish(same, sign("key-A", same));
         },
         "has the Serial of the installed one (5) but other contents"},
        {"an expired manifest",
         [](SignedSite& s) {
             const std::string stale = published("2", "6", "2026-12-31T23:59:59Z");
             s.publish(stale, sign("key-A", stale));
         },
         "expired at 2026-12-31T23:59:59Z"},
        {"expiring this very second", [](SignedSite&) { gNow = *modUpdate::parseUtcTime("2027-06-01T00:00:00Z"); },
         "expired at 2027-06-01T00:00:00Z"},
        {"no Serial",
         [](SignedSite& s) {
             std::string bare = manifest("2", {{"a.dat", "2", ""}}, "FileSize1=3\r\nFileHash1=len3\r\n");
             s.publish(bare, sign("key-A", bare));
         },
         "has no valid Serial"},
        {"a Serial that is no number",
         [](SignedSite& s) {
             const std::string odd = published("2", "-7", "2027-06-01T00:00:00Z");
             s.publish(odd, sign("key-A", odd));
         },
         "has no valid Serial (\"-7\")"},
        {"an Expires with an offset",
         [](SignedSite& s) {
             const std::string odd = published("2", "6", "2027-06-01T00:00:00+01:00");
             s.publish(odd, sign("key-A", odd));
         },
         "has no valid Expires"},
        {"an entry without FileHash",
         [](SignedSite& s) {
             const std::string loose = published("2", "6", "2027-06-01T00:00:00Z", "FileSize1=3\r\n");
             s.publish(loose, sign("key-A", loose));
         },
         "entry 1 (a.dat) has no FileSize or FileHash", true},
        {"an entry without FileSize",
         [](SignedSite& s) {
             const std::string loose = published("2", "6", "2027-06-01T00:00:00Z", "FileHash1=len3\r\n");
             s.publish(loose, sign("key-A", loose));
         },
         "entry 1 (a.dat) has no FileSize or FileHash", true},
        {"a file whose bytes do not match", [](SignedSite& s) { s.rig.serve("a.dat", "NEW!"); },
         "the server announced 4 bytes, the manifest 3", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SignedSite site;
        c.arrange(site);
        const auto filesBefore = site.rig.fs.files;
        const auto foldersBefore = site.rig.fs.folders;
        const std::string served = site.rig.http.site["http://site.example/updates/info.ini"].body;
        site.run();
        if (c.failureHas.empty()) {
            EXPECT_EQ(site.failure(), "");
            EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "new");
            EXPECT_EQ(site.rig.fs.files["/game/info.ini"], served);
            EXPECT_EQ(site.requested(), (Lines{"news.txt", "info.ini", "info.ini.sig", "a.dat", "info.ini"}));
            continue;
        }
        EXPECT_NE(site.failure().find(c.failureHas), std::string::npos) << site.failure();
        auto filesAfter = site.rig.fs.files;
        // A refusal during the file pass may leave temp.ini; nothing else.
        filesAfter.erase("/game/temp.ini");
        EXPECT_EQ(filesAfter, filesBefore);
        EXPECT_EQ(site.rig.fs.folders, foldersBefore);
        if (!c.inPass) {
            EXPECT_EQ(site.requested(), (Lines{"news.txt", "info.ini", "info.ini.sig"}));
            EXPECT_FALSE(site.rig.fs.files.count("/game/temp.ini"));
        }
    }
}

TEST(SignedSite, AnEntryWithoutPromisesIsRefusedBeforeAnyFileIsFetched) {
    SignedSite site;
    const std::string loose = published("2", "6", "2027-06-01T00:00:00Z", "FileSize1=3\r\n");
    site.publish(loose, sign("key-A", loose));
    site.run();
    EXPECT_EQ(site.requested(), (Lines{"news.txt", "info.ini", "info.ini.sig"}));
    EXPECT_EQ(site.rig.fs.files["/game/info.ini"], kInstalled);
}

TEST(SignedSite, ASameSerialWithTheSameBytesIsUpToDate) {
    SignedSite site;
    site.publish(kInstalled, sign("key-A", kInstalled));
    site.run();
    EXPECT_EQ(site.failure(), "");
    EXPECT_EQ(site.rig.window.only("L2").back(), "You Have The Latest Version!");
    EXPECT_EQ(site.rig.fs.files["/game/info.ini"], kInstalled);
    EXPECT_FALSE(site.rig.fs.files.count("/game/temp.ini"));
}

TEST(SignedSite, OnlyTheSignedBytesBecomeTheInstalledManifest) {
    struct Case { std::string what, republished; bool installed; };
    const std::vector<Case> cases{
        {"the same bytes", kRelease, true},
        // Unsigned, the same release written otherwise would do; signed, the
        // next run's Serial check needs the very bytes that were checked.
        {"the same release written otherwise", "; again\r\n" + kRelease, false},
        {"the next publication", published("3", "7", "2027-06-01T00:00:00Z"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SignedSite site;
        site.rig.window.onPump = [&] {
            if (site.rig.http.requests.size() == 4) site.rig.serve("info.ini", c.republished);
        };
        site.run();
        EXPECT_EQ(site.rig.fs.files["/game/a.dat"], "new");
        EXPECT_EQ(site.rig.fs.files["/game/info.ini"], c.installed ? kRelease : kInstalled);
        EXPECT_EQ(site.failure().find("changed during the update") != std::string::npos, !c.installed)
            << site.failure();
    }
}

TEST(UnsignedSite, WithoutKeysNoSignatureIsAskedFor) {
    fakes::Rig rig;
    rig.fs.files["/game/info.ini"] = manifest("1", {{"a.dat", "1", ""}});
    rig.serve("info.ini", manifest("2", {{"a.dat", "2", ""}}));
    rig.serve("a.dat", "new");
    rig.run();
    EXPECT_EQ(rig.window.only("failure"), Lines{});
    for (const auto& url : rig.http.requests) EXPECT_FALSE(url.ends_with(".sig")) << url;
}

TEST(UtcTime, OneFormOnly) {
    struct Case { std::string text; std::optional<std::int64_t> seconds; };
    // Seconds computed outside the program (date -u -d ... +%s).
    const std::vector<Case> cases{
        {"1970-01-01T00:00:00Z", 0},
        {"2027-01-31T00:00:00Z", 1801353600},
        {"2000-02-29T23:59:59Z", 951868799},
        {"2100-12-31T12:30:05Z", 4133939405},
        {"2027-02-29T00:00:00Z", std::nullopt},
        {"2100-02-29T00:00:00Z", std::nullopt},
        {"2027-13-01T00:00:00Z", std::nullopt},
        {"2027-01-31T24:00:00Z", std::nullopt},
        {"2027-01-31T00:60:00Z", std::nullopt},
        {"2027-01-31 00:00:00Z", std::nullopt},
        {"2027-01-31T00:00:00z", std::nullopt},
        {"2027-01-31T00:00:00", std::nullopt},
        {"2027-01-31", std::nullopt},
        {"2027-1-31T00:00:00Z", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(modUpdate::parseUtcTime(c.text), c.seconds) << c.text;
}

TEST(Serial, DigitsOnly) {
    struct Case { std::string text; std::optional<std::int64_t> value; };
    const std::vector<Case> cases{
        {"0", 0}, {"42", 42}, {"007", 7}, {"999999999999999999", 999999999999999999},
        {"1000000000000000000", std::nullopt}, {"", std::nullopt}, {"-1", std::nullopt},
        {"+1", std::nullopt}, {"1 ", std::nullopt}, {"1e3", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(modUpdate::parseSerial(c.text), c.value) << c.text;
}

}  // namespace
