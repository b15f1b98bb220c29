// The settings reader against the recorded case table (profile reader and
// number rule), plus the manifest cases of the update run.
#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "case_table.h"
#include "failure.h"
#include "number.h"
#include "manifest.h"
#include "settings.h"

using velloran::SettingsDocument;
using namespace std::string_literals;

namespace {

using cases::decode;
using Row = cases::Row;

std::vector<Row> loadCases() { return cases::load(); }

double parseDouble(const std::string& text) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// Runs `call` and gives the Failure text, or "" when it returns normally.
template <class F>
std::string failureOf(F call) {
    try {
        call();
    } catch (const velloran::Failure& failure) {
        return failure.what();
    }
    return {};
}

TEST(SettingsCases, IniRowsReadAsOnWindows) {
    int run = 0;
    for (const Row& row : loadCases()) {
        if (row.kind != "ini") continue;
        SCOPED_TRACE(row.id);
        // A missing file or a folder reads as a document without sections;
        // finding the file is readSetting's part.
        const bool noFile = row.input == "<nofile>" || row.input == "<dir>";
        const SettingsDocument doc = noFile ? SettingsDocument() : SettingsDocument(decode(row.input));
        const std::string value = doc.get(decode(row.section), decode(row.key), std::stoul(row.nsize));
        EXPECT_EQ(value, decode(row.expected));
        EXPECT_EQ(value.size(), std::stoul(row.ret));
        ++run;
    }
    EXPECT_EQ(run, 45);
}

TEST(SettingsCases, ValRowsReadAsVal) {
    int run = 0;
    for (const Row& row : loadCases()) {
        if (row.kind != "val") continue;
        SCOPED_TRACE(row.id);
        const std::string input = decode(row.input);
        if (row.expected.starts_with("error")) {
            const char* text = row.expected == "error 6" ? "Overflow" : "Type mismatch";
            EXPECT_EQ(failureOf([&] { velloran::valueOf(input); }), text);
            EXPECT_EQ(failureOf([&] { velloran::leadingNumber(input); }), text);
        } else {
            const double value = velloran::valueOf(input);
            EXPECT_EQ(value, parseDouble(row.expected));
            if (row.clng == "overflow") {
                EXPECT_EQ(failureOf([&] { velloran::roundToInt32(value); }), "Overflow");
            } else {
                EXPECT_EQ(velloran::leadingNumber(input), std::stol(row.clng));
            }
        }
        ++run;
    }
    EXPECT_EQ(run, 32);
}

// Values that lean on the details the table does not pin down.
TEST(SettingsDocument, LineAndValueDetails) {
    struct Case {
        const char* name;
        std::string file;
        const char* section;
        const char* key;
        std::string expected;
    };
    const std::string big = "[S]\nk=" + std::string(70000, 'x') + "\n";
    const Case cases[] = {
        {"section and key in small letters", "[version]\nversion=1.2\n", "VERSION", "Version", "1.2"},
        {"value keeps its case", "[VERSION]\nVersion=Beta-B\n", "version", "VERSION", "Beta-B"},
        {"leading zeros make another key", "[FILES]\nFileName01=a.dat\n", "FILES", "FileName1", ""},
        {"first key of a name wins", "[S]\nk=1\nK=2\n", "S", "k", "1"},
        {"line without = still claims the key", "[S]\nk\nk=2\n", "S", "k", ""},
        {"later sections are reachable", "[A]\nk=1\n[B]\nk=2\n", "B", "k", "2"},
        {"value cut at NUL", "[S]\nk=ab\0cd\n"s, "S", "k", "ab"},
        {"NUL does not end the line", "[S]\nk=a\0[T]\nj=1\n"s, "S", "j", "1"},
        {"empty key", "[S]\n=v\n", "S", "", "v"},
        {"no inline comment", "[S]\nk=v ; c\n", "S", "k", "v ; c"},
        {"quotes removed once", "[S]\nk=\"\"v\"\"\n", "S", "k", "\"v\""},
        {"blanks inside quotes kept", "[S]\nk=  \"   v   \"  \n", "S", "k", "   v   "},
        {"tab in caller's name matches nothing", "[S]\nk=v\n", "\tS", "k", ""},
        {"FF is not whitespace", "[S]\n\fk=v\n", "S", "k", ""},
        {"key with inner blanks", "[S]\nmy key = v\n", "S", "my key", "v"},
        {"quoted section name stays quoted", "[\"S\"]\nk=v\n", "S", "k", ""},
        {"length wraps at 65536", big, "S", "k", std::string(4464, 'x')},
        {"65536 bytes read as empty", "[S]\nk=" + std::string(65536, 'x'), "S", "k", ""},
        {"UTF-16LE above Latin-1 narrows to ?", "\xFF\xFE[\0S\0]\0\n\0k\0=\0\xE9\0\xAC\x20"s, "S", "k", "\xE9?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SettingsDocument(c.file).get(c.section, c.key), c.expected);
    }
}

TEST(SettingsDocument, LargeManifestReadsEveryEntry) {
    std::string file = "[VERSION]\nMax=10000\n[FILES]\n";
    for (int i = 1; i <= 10000; ++i) {
        const std::string n = std::to_string(i);
        file += "FileName" + n + "=file" + n + ".dat\nFileVersion" + n + "=1.0." + n + "\nFilePath" + n + "=maps\n";
    }
    // How fast it parses is measured in bench/ (Manifest/Parse).
    const SettingsDocument doc(file);
    for (int i : {1, 2, 5000, 9999, 10000}) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(doc.get("FILES", "FileName" + n), "file" + n + ".dat");
        EXPECT_EQ(doc.get("files", "fileversion" + n), "1.0." + n);
    }
    EXPECT_EQ(doc.get("FILES", "FileName10001"), "");
}

}  // namespace

namespace {

TEST(ManifestEntries, TheListedEntriesAreFoundFromTheKeysAlone) {
    using Numbers = std::vector<std::int64_t>;
    struct Case { std::string files; std::int64_t bound; Numbers listed; };
    const Case cases[] = {
        {"", 10, {}},
        {"FileName1=a\nFileName3=c\nFileVersion3=1\n", 10, {1, 3}},
        {"FileName1=a\nfileversion7=2\n", 10, {1, 7}},   // any key of an entry lists it, any letter case
        {"FileName1=a\nFileHash9=00\n", 10, {1, 9}},
        {"FileName1=a\nFileName12=b\n", 10, {1}},     // past Max: never read
        {"FileName01=a\nFileName0=b\n", 10, {}},     // no leading zeros, no entry 0
        {"FileNameX=a\nName5=b\nFileName-2=c\nFileName 4=d\n", 10, {}},
        {"FileName99999999999999999999=a\n", 2000000000, {}},
        // Far apart: found without walking the numbers between.
        {"FileName2=a\nFileName2000000000=b\n", 2000000000, {2, 2000000000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.files);
        EXPECT_EQ(modUpdate::listedEntries(velloran::SettingsDocument("[VERSION]\n[FILES]\n" + c.files), c.bound),
                  c.listed);
    }
}

}  // namespace
