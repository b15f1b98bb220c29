// The whole run against nginx on a site signed by the publisher: the real
// libcurl transfer, file system, SHA-256 and OpenSSL signature check, with
// keys and signatures made by the openssl command as a studio would.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>

#include "digest.h"
#include "fakes.h"
#include "folder_fs.h"
#include "http.h"
#include "manifest_text.h"
#include "servers.h"
#include "signature.h"

namespace {

using velloran::test::FolderFs;
using velloran::test::TempFolder;
using velloran::test::TestSite;
using velloran::test::runOpenssl;
using Lines = std::vector<std::string>;

std::string sha256(const std::string& bytes) {
    auto digest = velloran::makeSha256();
    digest->update(bytes.data(), bytes.size());
    return digest->hexDigest();
}

std::int64_t systemNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Two publisher keys and a stranger's, and signing with them.
struct Studio {
    TempFolder folder{"velloran-studio"};
    std::string log = folder.at("openssl.log");
    Studio() {
        for (const char* name : {"current", "next", "stranger"}) {
            runOpenssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out",
                        folder.at(std::string(name) + ".pem")},
                       log);
            runOpenssl({"pkey", "-in", folder.at(std::string(name) + ".pem"), "-pubout", "-out",
                        folder.at(std::string(name) + ".pub")},
                       log);
        }
    }
    std::string publicKey(const std::string& name) const { return *folder.read(name + ".pub"); }
    std::string sign(const std::string& name, const std::string& bytes) {
        folder.write("info.ini", bytes);
        runOpenssl({"dgst", "-sha256", "-sign", folder.at(name + ".pem"), "-out", folder.at("info.ini.sig"),
                    folder.at("info.ini")},
                   log);
        return *folder.read("info.ini.sig");
    }
};

const std::string kData = std::string(3000, 'd');

// Release `version` listing data.pak (with `files` as its promises), with
// the publisher's freshness keys.
std::string release(const std::string& version, const std::string& serial, const std::string& expires,
                    const std::string& promises) {
    std::string text = velloran::test::manifest(version, {{"data.pak", version, ""}}, promises);
    return text.insert(text.find("[FILES]"), "Serial=" + serial + "\r\nExpires=" + expires + "\r\n");
}
const std::string kPromises = "FileSize1=3000\r\nFileHash1=" + sha256(kData) + "\r\n";

// Every file under `root` and its bytes.
std::map<std::string, std::string> snapshot(const TempFolder& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.path())) {
        const std::string relative = std::filesystem::relative(entry.path(), folder.path()).string();
        files[relative] = entry.is_regular_file() ? folder.read(relative).value_or("<unreadable>") : "<folder>";
    }
    return files;
}

TEST(SignedRun, OnlyTheSignedFreshManifestUpdatesTheFolder) {
    Studio studio;
    const std::string installed = release("1", "5", "2099-01-01T00:00:00Z", kPromises);
    const std::string current = release("2", "6", "2099-01-01T00:00:00Z", kPromises);
    struct Published { std::string manifest, signature, data = kData; bool signatureServed = true; };
    struct Case {
        std::string what;
        std::function<Published()> publish;
        std::string failureHas;  // empty: the update goes through
        bool inPass = false;     // refused in the file pass, after temp.ini is stored
    };
    auto signedBy = [&](const std::string& key, const std::string& text) {
        return Published{text, studio.sign(key, text)};
    };
    const std::string notSigned = "The update information is not signed by the publisher";
    const std::vector<Case> cases{
        {"a good signature", [&] { return signedBy("current", current); }, ""},
        {"the second compiled key", [&] { return signedBy("next", current); }, ""},
        {"no signature (404)", [&] { return Published{current, "", kData, false}; }, notSigned + " (Could not"},
        {"a signature of other bytes", [&] { return Published{current, studio.sign("current", current + "\r\n")}; },
         notSigned},
        {"a signature by an unknown key", [&] { return signedBy("stranger", current); }, notSigned},
        {"a truncated DER",
         [&] {
             Published p = signedBy("current", current);
             p.signature.pop_back();
             return p;
         },
         notSigned},
        {"a 64 KiB signature",
         [&] {
             Published p = signedBy("current", current);
             p.signature += std::string(64 * 1024 - p.signature.size(), '\0');
             return p;
         },
         "larger than 4096 bytes"},
        {"one release's manifest with another's signature",
         [&] {
             return Published{release("3", "7", "2099-01-01T00:00:00Z", kPromises), studio.sign("current", current)};
         },
         notSigned},
        {"a lower Serial", [&] { return signedBy("current", release("2", "4", "2099-01-01T00:00:00Z", kPromises)); },
         "is older (Serial 4)"},
        {"the same Serial with other bytes",
         [&] { return signedBy("current", release("2", "5", "2099-01-01T00:00:00Z", kPromises)); },
         "has the Serial of the installed one"},
        {"an expired manifest",
         [&] { return signedBy("current", release("2", "6", "2020-01-01T00:00:00Z", kPromises)); },
         "expired at 2020-01-01T00:00:00Z"},
        {"an entry without FileHash",
         [&] { return signedBy("current", release("2", "6", "2099-01-01T00:00:00Z", "FileSize1=3000\r\n")); },
         "has no FileSize or FileHash", true},
        {"a file whose bytes do not match",
         [&] {
             Published p = signedBy("current", current);
             p.data = std::string(3000, 'x');
             return p;
         },
         "do not match the manifest's FileHash", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Published published = c.publish();
        TestSite site;
        site.addFile("updates/news.txt", "news");
        site.addFile("updates/info.ini", published.manifest);
        if (published.signatureServed) site.addFile("updates/info.ini.sig", published.signature);
        site.addFile("updates/data.pak", published.data);
        site.start();

        TempFolder program{"velloran-program"};
        program.write("info.ini", installed);
        program.write("data.pak", "old data");
        const auto before = snapshot(program);

        fakes::Surface window;
        {
            FolderFs fs(program.path());
            auto http = velloran::makeHttpTransfer({});
            modUpdate::Services s = velloran::test::engineServices(window, fs, http.get(), site.baseAddress());
            s.makeSha256 = velloran::makeSha256;
            s.publicKeys = {studio.publicKey("current"), studio.publicKey("next")};
            s.verifySignature = velloran::verifyEcdsaP256;
            s.secondsNow = systemNow;
            modUpdate::resetEngineValues();
            modUpdate::startUpdate(s);
        }
        const Lines failures = window.only("failure");
        const std::string failure = failures.empty() ? "" : failures.back();
        if (c.failureHas.empty()) {
            EXPECT_EQ(failure, "");
            EXPECT_EQ(program.read("data.pak"), kData);
            EXPECT_EQ(program.read("info.ini"), published.manifest);
            EXPECT_EQ(site.requests(), (Lines{"GET /updates//news.txt", "GET /updates/info.ini",
                                              "GET /updates/info.ini.sig", "GET /updates/data.pak",
                                              "GET /updates/info.ini"}));
            continue;
        }
        EXPECT_NE(failure.find(c.failureHas), std::string::npos) << failure;
        auto after = snapshot(program);
        if (c.inPass) after.erase("temp.ini");
        EXPECT_EQ(after, before);
        if (!c.inPass) {
            EXPECT_EQ(site.requests(),
                      (Lines{"GET /updates//news.txt", "GET /updates/info.ini", "GET /updates/info.ini.sig"}));
        }
    }
}

}  // namespace
