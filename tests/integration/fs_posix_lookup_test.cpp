// findEntry keeps what it learnt about a folder between calls; these tests
// change folders behind its back and through the service itself, and check
// that every answer is the one a fresh read of the folder would give.
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

TEST(PosixFileSystemLookup, AnswersFollowEveryChangeToTheFolder) {
    TempFolder dir;
    auto fs = makeFileSystem();
    dir.write("data/Alpha.pak", "a");
    const std::string data = dir.at("data");
    auto at = [&](const TempFolder& d, const char* name) { return d.at(std::string("data/") + name); };

    const Step steps[] = {
        {"first look", [](auto&, auto&) {}, "alpha.PAK", "Alpha.pak"},
        {"created by another program", [&](auto& d, auto&) { d.write("data/beta.pak", "b"); }, "BETA.pak", "beta.pak"},
        {"an exact match beats the first one", [&](auto& d, auto&) { d.write("data/ALPHA.PAK", "c"); }, "ALPHA.PAK",
         "ALPHA.PAK"},
        {"of two inexact matches the smaller", [](auto&, auto&) {}, "alpha.pak", "ALPHA.PAK"},
        {"deleted by another program", [&](auto& d, auto&) { ::unlink(at(d, "ALPHA.PAK").c_str()); }, "alpha.pak",
         "Alpha.pak"},
        {"renamed by another program",
         [&](auto& d, auto&) { ::rename(at(d, "Alpha.pak").c_str(), at(d, "gamma.pak").c_str()); }, "alpha.pak", ""},
        {"the new name", [](auto&, auto&) {}, "GAMMA.PAK", "gamma.pak"},
        {"a folder made by another program", [&](auto& d, auto&) { ::mkdir(at(d, "Maps").c_str(), 0777); }, "maps",
         "Maps"},
        {"stored through the service", [&](auto&, auto& fs) { store(fs, data + "/Delta.dat", "d"); }, "delta.dat",
         "Delta.dat"},
        {"replaced through the service", [&](auto&, auto& fs) { store(fs, data + "/Delta.dat", "e"); }, "DELTA.DAT",
         "Delta.dat"},
        {"no temporary file left to find", [](auto&, auto&) {}, "~velloran-delta.dat", ""},
        {"removed through the service", [&](auto&, auto& fs) { fs.remove(data + "/beta.pak"); }, "beta.pak", ""},
        {"the folder replaced by another",
         [&](auto& d, auto&) {
             std::filesystem::remove_all(d.at("data"));
             d.write("data/epsilon.bin", "f");
         },
         "EPSILON.BIN", "epsilon.bin"},
        {"nothing of the old folder", [](auto&, auto&) {}, "gamma.pak", ""},
        {"the folder gone", [&](auto& d, auto&) { std::filesystem::remove_all(d.at("data")); }, "epsilon.bin", ""},
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
