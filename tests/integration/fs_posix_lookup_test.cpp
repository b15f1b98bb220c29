// findEntry on POSIX answers from an index of the folders asked about, kept
// current by inotify (the contract suite's lookup test covers the common
// changes). These tests change folders behind its back and through the
// service itself, and check that every answer is the one a fresh read of the
// folder would give.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fs.h"
#include "servers.h"

namespace velloran {
namespace {

using test::TempFolder;

// A step changes the folder, then findEntry must give `found` for `name`.
struct Step {
    const char* what;
    std::function<void(const TempFolder&, FileSystem&)> change;
    const char* name;
    const char* found;
};

void store(FileSystem& fs, const std::string& target, const std::string& bytes) {
    auto out = fs.create(target, Durability::Now);
    out->write(bytes.data(), bytes.size());
    out->commit();
}

// The contract suite follows one name per spelling through every kind of
// change; here a folder holds names that differ only in case, which the
// index must keep apart.
TEST(PosixFileSystemLookup, NamesThatDifferInCaseFollowEveryChange) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("data/Alpha.pak", "a");
    const std::string data = dir.at("data");
    auto at = [&](const TempFolder& d, const char* name) { return d.at(std::string("data/") + name); };

    const Step steps[] = {
        {"first look", [](auto&, auto&) {}, "alpha.PAK", "Alpha.pak"},
        {"an exact match beats the first one", [&](auto& d, auto&) { d.write("data/ALPHA.PAK", "c"); }, "ALPHA.PAK",
         "ALPHA.PAK"},
        {"of two inexact matches the smaller", [](auto&, auto&) {}, "alpha.pak", "ALPHA.PAK"},
        {"stored through the service beside them", [&](auto&, auto& fs) { store(fs, data + "/alpha.pak", "d"); },
         "ALPHA.pak", "ALPHA.PAK"},
        {"the exact one now", [](auto&, auto&) {}, "alpha.pak", "alpha.pak"},
        {"the exact one removed through the service", [&](auto&, auto& fs) { fs.remove(data + "/alpha.pak"); },
         "alpha.pak", "ALPHA.PAK"},
        {"deleted by another program", [&](auto& d, auto&) { ::unlink(at(d, "ALPHA.PAK").c_str()); }, "alpha.pak",
         "Alpha.pak"},
        {"renamed to another case by another program",
         [&](auto& d, auto&) { ::rename(at(d, "Alpha.pak").c_str(), at(d, "aLPHA.pak").c_str()); }, "Alpha.pak",
         "aLPHA.pak"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change(dir, *fs);
        EXPECT_EQ(fs->findEntry(data, step.name), step.found);
    }
}

TEST(PosixFileSystemLookup, ManyFilesStoredOneAfterAnother) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("data/readme.txt", "");
    const std::string data = dir.at("data");
    const int count = 3000;  // more than one read of the folder returns
    for (int i = 0; i < count; ++i) {
        const std::string name = "File" + std::to_string(i) + ".dat";
        ASSERT_EQ(fs->findEntry(data, name), "") << name;
        store(*fs, data + "/" + name, "x");
        ASSERT_EQ(fs->findEntry(data, "file" + std::to_string(i) + ".DAT"), name);
    }
    // Another handle, which reads the folder afresh, agrees.
    auto fresh = makeFileSystem();
    for (int i = 0; i < count; i += 97) {
        const std::string name = "FILE" + std::to_string(i) + ".dat";
        EXPECT_EQ(fs->findEntry(data, name), fresh->findEntry(data, name)) << name;
    }
    EXPECT_EQ(fs->findEntry(data, "README.TXT"), "readme.txt");
}

}  // namespace
}  // namespace velloran
