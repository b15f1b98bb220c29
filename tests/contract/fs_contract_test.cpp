// The file service's contract (platform/fs.h), one suite for every backend:
// it is built into the Linux platform tests over fs_posix.cpp and into the
// Windows platform tests, run under Wine, over fs_win.cpp. What only one
// backend promises is tested beside it (tests/integration/fs_posix_*,
// tests/windows/fs_win_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "fs_contract.h"

namespace velloran {
namespace {

using contract::content;
using contract::isLink;
using contract::makeFolders;
using contract::makeLink;
using contract::names;
using contract::put;
using contract::Scratch;

using contract::Outcome;
using contract::outcomeOf;

void store(FileSystem& fs, const std::string& target, const std::string& bytes) {
    auto out = fs.create(target, Durability::Now);
    out->write(bytes.data(), bytes.size());
    out->commit();
}

std::vector<std::string> temporaries(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& name : names(folder))
        if (isTempFileName(name)) found.push_back(name);
    return found;
}

std::string sorted(std::vector<std::string> list) {
    std::sort(list.begin(), list.end());
    std::string joined;
    for (const auto& name : list) joined += name + " ";
    return joined;
}

TEST(FileService, CommitReplacesTheTargetWithExactlyTheNewBytes) {
    Scratch dir;
    auto fs = makeFileSystem();
    struct Case {
        const char* name;
        std::optional<std::string> before;
        std::vector<std::size_t> writes;  // sizes of successive write() calls
    } const cases[] = {
        {"new file", std::nullopt, {10}},
        {"shorter over longer: no old tail", std::string(100000, 'o'), {1024, 1024, 17}},
        {"many small writes across the buffer", std::string("old"), std::vector<std::size_t>(300, 1024)},
        {"one write larger than the buffer", std::nullopt, {200 * 1024}},
        {"empty over content", std::string("old content"), {}},
        {"empty new file", std::nullopt, {}},
        {"mixed", std::nullopt, {1, 65535, 1, 65536, 3, 70000}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = dir.at("file" + std::to_string(n++) + ".dat");
        if (c.before) put(target, *c.before);
        std::string expected;
        auto out = fs->create(target, Durability::Now);
        for (std::size_t size : c.writes) {
            // Every byte value, NUL and 0xff among them.
            std::string piece(size, '\0');
            for (std::size_t i = 0; i < size; ++i) piece[i] = static_cast<char>((expected.size() + i) * 31 % 256);
            out->write(piece.data(), piece.size());
            expected += piece;
        }
        EXPECT_EQ(content(target), c.before) << "the target changed before the commit";
        out->commit();
        EXPECT_TRUE(content(target) == expected);
        out.reset();
        EXPECT_TRUE(content(target) == expected);
        EXPECT_TRUE(fs->isPlainFile(target));
    }
    EXPECT_EQ(sorted(temporaries(dir.path())), "");
}

TEST(FileService, TheTemporaryFileSitsBesideTheTargetUntilCommit) {
    Scratch dir;
    auto fs = makeFileSystem();
    auto out = fs->create(dir.at("a.dat"), Durability::Later);
    out->write("abc", 3);
    const std::string temp =
        std::string(kTempPrefix) + "a.dat." + contract::processTag() + std::string(kTempSuffix);
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{temp});
    out->commit();
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"a.dat"});
    EXPECT_EQ(content(dir.at("a.dat")), "abc");
}

TEST(FileService, DroppingAnUncommittedFileKeepsTheTargetAndLeavesNoTemporary) {
    Scratch dir;
    auto fs = makeFileSystem();
    struct Case {
        const char* name;
        std::optional<std::string> before;
    } const cases[] = {{"existing target", std::string("keep me")}, {"absent target", std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = dir.at("t.dat");
        if (c.before) put(target, *c.before);
        {
            auto out = fs->create(target, Durability::Now);
            const std::string lots(300000, 'n');
            out->write(lots.data(), lots.size());
        }
        EXPECT_EQ(content(target), c.before);
        EXPECT_EQ(names(dir.path()), c.before ? std::vector<std::string>{"t.dat"} : std::vector<std::string>{});
        std::filesystem::remove(target);
    }
}

// Bytes with every value, NUL and 0xff among them, different for each `seed`.
std::string bytesOf(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 31 + seed * 7) % 256);
    return out;
}

std::string resumePath(const Scratch& dir, const std::string& name) { return dir.at(resumeFileName(name)); }

// A download broken off and continued, in this run or a later one: each
// attempt opens the resumable file, finds what the earlier ones left, and
// either drops it uncommitted or commits it over the target.
TEST(FileService, AResumableFileKeepsItsBytesUntilItIsCommitted) {
    Scratch dir;
    auto fs = makeFileSystem();
    struct Attempt {
        bool restart;
        std::vector<std::size_t> writes;  // sizes of successive write() calls
        bool commit;
    };
    struct Case {
        const char* name;
        std::optional<std::string> before;   // the target's content
        std::optional<std::string> planted;  // left at the resume name by an earlier run
        std::vector<Attempt> attempts;
        Durability durability = Durability::Now;
    } const cases[] = {
        {"one attempt", std::nullopt, std::nullopt, {{false, {10}, true}}},
        {"broken off twice, then finished over a target",
         std::string("old"),
         std::nullopt,
         {{false, {1000, 1}, false}, {false, {70000, 3}, false}, {false, {5}, true}},
         Durability::Later},
        {"more kept than one piece of readKept", std::nullopt, std::nullopt,
         {{false, {3u << 20}, false}, {false, {1}, true}}},
        {"left by an earlier run", std::string("old"), std::string("earlier "), {{false, {6}, true}}},
        {"restart drops what was kept", std::string("old"), std::string("stale"),
         {{false, {4}, false}, {true, {9}, true}}},
        {"restart after writing", std::nullopt, std::nullopt, {{false, {100}, false}, {false, {50}, false},
                                                               {false, {7}, false}, {true, {3}, true}}},
        {"empty attempts, an empty file", std::string("old"), std::nullopt,
         {{false, {}, false}, {false, {}, true}}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "r" + std::to_string(n++) + ".dat";
        const std::string target = dir.at(name);
        if (c.before) put(target, *c.before);
        std::string held = c.planted.value_or("");
        if (c.planted) put(resumePath(dir, name), *c.planted);
        unsigned seed = 0;
        for (const Attempt& attempt : c.attempts) {
            auto file = fs->openResumable(target, c.durability);
            ASSERT_TRUE(file);
            EXPECT_EQ(file->size(), held.size());
            std::string kept = held;
            auto readKept = [&] {
                std::string got;
                std::size_t largest = 0;
                file->readKept([&](const char* data, std::size_t size) {
                    got.append(data, size);
                    largest = std::max(largest, size);
                });
                EXPECT_TRUE(got == kept) << "readKept gave " << got.size() << " bytes of " << kept.size();
                EXPECT_LE(largest, std::size_t{1} << 20) << "readKept is not in bounded pieces";
            };
            readKept();
            if (attempt.restart) {
                file->restart();
                held.clear();
                kept.clear();
                EXPECT_EQ(file->size(), 0u);
            }
            for (std::size_t size : attempt.writes) {
                const std::string piece = bytesOf(size, ++seed);
                file->write(piece.data(), piece.size());
                held += piece;
                EXPECT_EQ(file->size(), held.size());
            }
            readKept();  // the bytes held at opening, not those written since; none after a restart
            EXPECT_EQ(content(target), c.before) << "the target changed before the commit";
            if (attempt.commit) {
                file->commit();
                EXPECT_TRUE(content(target) == held);
            }
            file.reset();
            if (!attempt.commit) {
                EXPECT_TRUE(content(resumePath(dir, name)) == held) << "not kept when dropped";
            }
        }
        EXPECT_TRUE(content(target) == held);
        EXPECT_FALSE(content(resumePath(dir, name))) << "the resume name is still there after the commit";
    }
    EXPECT_EQ(sorted(temporaries(dir.path())), "");
}

// A run that died mid-write leaves its temporary file; the next process may
// get the same identifier, and so the same temporary name.
TEST(FileService, ALeftoverTemporaryOfTheSameNameDoesNotStopTheWrite) {
    Scratch top;
    const std::string folder = top.at("game");
    const std::string outside = top.at("elsewhere/keep.txt");
    put(outside, "outside");
    makeFolders(folder);
    const std::string leftover = std::string(kTempPrefix) + "a.dat." + contract::processTag() + std::string(kTempSuffix);
    struct Case {
        const char* name;
        std::function<void()> plant;
    } const cases[] = {
        {"a stale file", [&] { put(top.at("game/" + leftover), "stale"); }},
        {"a link to a file outside", [&] { ASSERT_TRUE(makeLink(top.at("game/" + leftover), outside, false)); }},
    };
    auto fs = makeFileSystem();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder);
        makeFolders(folder);
        c.plant();
        store(*fs, top.at("game/a.dat"), "new");
        EXPECT_EQ(content(top.at("game/a.dat")), "new");
        EXPECT_EQ(content(outside), "outside");
        // Nothing else: the leftover itself may stay for the engine's sweep.
        for (const auto& name : names(folder)) EXPECT_TRUE(name == "a.dat" || name == leftover) << name;
    }
}

TEST(FileService, FailuresHaveAKindAndNameThePath) {
    Scratch dir;
    auto fs = makeFileSystem();
    put(dir.at("file"), "x");
    put(dir.at("folder/inside"), "x");
    std::unique_ptr<OutputFile> committed = fs->create(dir.at("done"), Durability::Now);
    committed->commit();
    std::unique_ptr<ResumableFile> resumed = fs->openResumable(dir.at("resumed"), Durability::Now);
    ASSERT_TRUE(resumed);
    resumed->commit();
    struct Case {
        const char* name;
        std::function<void()> action;
        FailureKind kind;
        std::string start;  // the text begins so, and goes on with the system's reason
    } const cases[] = {
        {"create in a missing folder", [&] { fs->create(dir.at("none/a.dat"), Durability::Now); },
         FailureKind::NotFound, "Cannot create " + dir.at("none/a.dat") + ": "},
        {"create below a file", [&] { fs->create(dir.at("file/a.dat"), Durability::Now); }, FailureKind::NotFound,
         "Cannot create " + dir.at("file/a.dat") + ": "},
        {"create over a folder", [&] { fs->create(dir.at("folder"), Durability::Now); }, FailureKind::Io,
         "Cannot create " + dir.at("folder") + ": "},
        {"make an existing folder", [&] { fs->makeFolder(dir.at("folder")); }, FailureKind::Io,
         "Cannot make folder " + dir.at("folder") + ": "},
        {"make a folder over a file", [&] { fs->makeFolder(dir.at("file")); }, FailureKind::Io,
         "Cannot make folder " + dir.at("file") + ": "},
        {"make a folder in a missing folder", [&] { fs->makeFolder(dir.at("none/sub")); }, FailureKind::NotFound,
         "Cannot make folder " + dir.at("none/sub") + ": "},
        {"delete a folder", [&] { fs->remove(dir.at("folder")); }, FailureKind::Io,
         "Cannot delete " + dir.at("folder") + ": "},
        {"resumable in a missing folder", [&] { fs->openResumable(dir.at("none/a.dat"), Durability::Now); },
         FailureKind::NotFound, "Cannot create " + dir.at("none/a.dat") + ": "},
        {"resumable below a file", [&] { fs->openResumable(dir.at("file/a.dat"), Durability::Now); },
         FailureKind::NotFound, "Cannot create " + dir.at("file/a.dat") + ": "},
        {"resumable over a folder", [&] { fs->openResumable(dir.at("folder"), Durability::Now); }, FailureKind::Io,
         "Cannot create " + dir.at("folder") + ": "},
        {"commit a resumable twice", [&] { resumed->commit(); }, FailureKind::Io,
         "Cannot write " + dir.at("resumed") + ": "},
        {"write a resumable after the commit", [&] { resumed->write("x", 1); }, FailureKind::Io,
         "Cannot write " + dir.at("resumed") + ": "},
        {"commit twice", [&] { committed->commit(); }, FailureKind::Io, "Cannot write " + dir.at("done") + ": "},
        {"write after the commit", [&] { committed->write("x", 1); }, FailureKind::Io,
         "Cannot write " + dir.at("done") + ": "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = outcomeOf(c.action);
        ASSERT_TRUE(out.failed);
        EXPECT_EQ(out.kind, c.kind) << out.text;
        EXPECT_TRUE(out.text.starts_with(c.start)) << out.text;
        EXPECT_GT(out.text.size(), c.start.size()) << "no reason given: " << out.text;
    }
    EXPECT_EQ(content(dir.at("folder/inside")), "x");
    EXPECT_EQ(content(dir.at("done")), "");
    EXPECT_EQ(content(dir.at("resumed")), "");
    EXPECT_EQ(sorted(temporaries(dir.path())), "");
}

TEST(FileService, MakeFolderMakesOneLevelAndRemoveDeletesWhatIsThere) {
    Scratch dir;
    auto fs = makeFileSystem();
    fs->makeFolder(dir.at("maps"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.at("maps")));
    fs->makeFolder(dir.at("maps/sub"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.at("maps/sub")));
    put(dir.at("maps/a.dat"), "x");
    put(dir.at("file"), "x");
    struct Case {
        const char* name;
        std::string path;
    } const cases[] = {
        {"a file", dir.at("maps/a.dat")},
        {"the same file again, gone already", dir.at("maps/a.dat")},
        {"in a missing folder", dir.at("none/a.dat")},
        {"below a file", dir.at("file/a.dat")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = outcomeOf([&] { fs->remove(c.path); });
        EXPECT_FALSE(out.failed) << out.text;
        EXPECT_FALSE(fs->isPlainFile(c.path));
    }
    EXPECT_EQ(names(dir.at("maps")), std::vector<std::string>{"sub"});
    EXPECT_EQ(content(dir.at("file")), "x");
}

TEST(FileService, FindEntryIgnoresLetterCase) {
    Scratch dir;
    auto fs = makeFileSystem();
    makeFolders(dir.at("Maps"));
    put(dir.at("Data.PAK"), "");
    put(dir.at("sounds/x"), "");
    struct Case {
        std::string folder;
        std::string name;
        const char* found;
    } const cases[] = {
        {dir.path(), "Maps", "Maps"},
        {dir.path(), "maps", "Maps"},
        {dir.path(), "MAPS", "Maps"},
        {dir.path(), "data.pak", "Data.PAK"},
        {dir.path(), "SOUNDS", "sounds"},
        {dir.path(), "sound", ""},   // no prefix match
        {dir.path(), "M*", ""},      // no wildcards
        {dir.path(), "Map?", ""},
        {dir.path(), "", ""},
        {dir.path(), "sounds" + std::string(1, fs->separator()) + "x", ""},  // one name, not a path
        {dir.at("sounds"), "X", "x"},
        {dir.at("absent"), "x", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder + " / " + c.name);
        EXPECT_EQ(fs->findEntry(c.folder, c.name), c.found);
    }
}

TEST(FileService, KindsOfEntriesAndTheListing) {
    Scratch dir;
    auto fs = makeFileSystem();
    const char sep = fs->separator();
    put(dir.at("plain.txt"), "plain");
    put(dir.at("sub/inner.txt"), "inner");
    ASSERT_TRUE(makeLink(dir.at("link.txt"), dir.at("plain.txt"), false));
    ASSERT_TRUE(makeLink(dir.at("sublink"), dir.at("sub"), true));
    struct Case {
        const char* name;
        bool plainFile;
        std::optional<std::string> read;
    } const cases[] = {
        {"plain.txt", true, "plain"},
        {"sub", false, std::nullopt},
        {"sub/inner.txt", true, "inner"},
        {"link.txt", true, "plain"},  // reading follows links
        {"sublink/inner.txt", true, "inner"},
        {"absent", false, std::nullopt},
        {"absent/inner.txt", false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fs->isPlainFile(dir.at(c.name)), c.plainFile);
        EXPECT_EQ(fs->readFile(dir.at(c.name), 100), c.read);
    }
    // A link to a folder is not listed as one, so a walk cannot leave the tree.
    auto listed = fs->list(dir.path());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"link.txt", "plain.txt", std::string("sub") + sep, "sublink"}));
    EXPECT_EQ(fs->list(dir.at("sub")), std::vector<std::string>{"inner.txt"});
    EXPECT_TRUE(fs->list(dir.at("absent")).empty());
    EXPECT_TRUE(fs->list(dir.at("plain.txt")).empty());
}

TEST(FileService, StampFollowsReplacementAndReadFileHonoursTheCap) {
    Scratch dir;
    auto fs = makeFileSystem();
    put(dir.at("a.ini"), "[VERSION]\nVersion=1\n");
    const auto first = fs->stamp(dir.at("a.ini"));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size, 20u);
    EXPECT_EQ(fs->stamp(dir.at("a.ini")), first);

    store(*fs, dir.at("a.ini"), "[VERSION]\nVersion=2\n");
    const auto second = fs->stamp(dir.at("a.ini"));
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);  // same size, new file
    EXPECT_EQ(second->size, 20u);

    makeFolders(dir.at("sub"));
    EXPECT_FALSE(fs->stamp(dir.at("absent")));
    EXPECT_FALSE(fs->stamp(dir.at("sub")));

    EXPECT_EQ(fs->readFile(dir.at("a.ini"), 1000), "[VERSION]\nVersion=2\n");
    EXPECT_EQ(fs->readFile(dir.at("a.ini"), 9), "[VERSION]");
    EXPECT_EQ(fs->readFile(dir.at("a.ini"), 0), "");
    EXPECT_FALSE(fs->readFile(dir.at("absent"), 10));
    EXPECT_FALSE(fs->readFile(dir.at("sub"), 10));
    const std::string big(300000, 'b');
    put(dir.at("big"), big);
    EXPECT_TRUE(fs->readFile(dir.at("big"), 1u << 20) == big);
}

// findEntry may remember what it learnt about a folder; every answer must
// still be the one a fresh look at the folder gives, whoever changed it.
TEST(FileService, FindEntryFollowsEveryChangeToTheFolder) {
    Scratch dir;
    auto fs = makeFileSystem();
    put(dir.at("data/Alpha.pak"), "a");
    const std::string data = dir.at("data");
    auto in = [&](const char* name) { return dir.at(std::string("data/") + name); };
    struct Step {
        const char* what;
        std::function<void()> change;
        const char* name;
        const char* found;
    } const steps[] = {
        {"first look", [] {}, "alpha.PAK", "Alpha.pak"},
        {"created by another program", [&] { put(in("beta.pak"), "b"); }, "BETA.pak", "beta.pak"},
        {"deleted by another program", [&] { std::filesystem::remove(in("Alpha.pak")); }, "alpha.pak", ""},
        {"renamed by another program", [&] { std::filesystem::rename(in("beta.pak"), in("gamma.pak")); }, "beta.pak",
         ""},
        {"the new name", [] {}, "GAMMA.PAK", "gamma.pak"},
        {"a folder made by another program", [&] { makeFolders(in("Maps")); }, "maps", "Maps"},
        {"stored through the service", [&] { store(*fs, in("Delta.dat"), "d"); }, "delta.dat", "Delta.dat"},
        {"replaced through the service", [&] { store(*fs, in("Delta.dat"), "e"); }, "DELTA.DAT", "Delta.dat"},
        {"no temporary file left to find", [] {}, "~velloran-delta.dat", ""},
        {"made through the service", [&] { fs->makeFolder(in("Sounds")); }, "SOUNDS", "Sounds"},
        {"removed through the service", [&] { fs->remove(in("gamma.pak")); }, "gamma.pak", ""},
        {"the folder replaced by another",
         [&] {
             std::filesystem::remove_all(data);
             put(in("epsilon.bin"), "f");
         },
         "EPSILON.BIN", "epsilon.bin"},
        {"nothing of the old folder", [] {}, "delta.dat", ""},
        {"the folder gone", [&] { std::filesystem::remove_all(data); }, "epsilon.bin", ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_EQ(fs->findEntry(data, step.name), step.found);
    }
}

// A program folder `game` with links of every kind, beside folders that lie
// outside it: `gamex` (whose name begins like the program folder's) and
// `via`, a link to the program folder, as an installation reached through a
// linked path has.
class Links : public ::testing::Test {
protected:
    void SetUp() override {
        put(top.at("gamex/f.txt"), "outside");
        makeFolders(top.at("gamex/sub"));
        put(top.at("game/maps/a.dat"), "inside");
        makeFolders(top.at("game/maps/deep"));
        const struct {
            const char* link;
            std::string target;
            bool folder;
        } links[] = {
            {"game/inner", top.at("game/maps"), true},
            {"game/self", top.at("game"), true},
            {"game/out", top.at("gamex"), true},
            {"game/outfile", top.at("gamex/f.txt"), false},
            {"game/twice", top.at("game/out"), true},
            {"game/maps/deep/up", top.at("gamex/sub"), true},
            {"game/parent", top.path(), true},
            {"game/dangling", top.at("gamex/absent"), true},
            {"via", top.at("game"), true},
        };
        for (const auto& l : links) ASSERT_TRUE(makeLink(top.at(l.link), l.target, l.folder)) << l.link;
    }

    Scratch top;
    std::unique_ptr<FileSystem> fs = makeFileSystem();
};

TEST_F(Links, LiesOutsideResolvesEveryLinkOfTheRootAndThePath) {
    const std::string root = top.at("game");
    const std::string via = top.at("via");
    const struct {
        const char* name;
        std::string root;
        std::string path;
        bool outside;
    } cases[] = {
        {"the root itself", root, root, false},
        {"the root with a separator after it", root + fs->separator(), top.at("game/maps"), false},
        {"a folder", root, top.at("game/maps"), false},
        {"a file two levels down", root, top.at("game/maps/a.dat"), false},
        {"a link that stays inside", root, top.at("game/inner"), false},
        {"a file through a link that stays inside", root, top.at("game/inner/a.dat"), false},
        {"a link to the root itself", root, top.at("game/self/maps"), false},
        {"down and up again", root, top.at("game/maps/../maps/a.dat"), false},
        {"a link to outside", root, top.at("game/out"), true},
        {"a file through a link to outside", root, top.at("game/out/f.txt"), true},
        {"a link to a file outside", root, top.at("game/outfile"), true},
        {"a link to a link to outside", root, top.at("game/twice"), true},
        {"a link to outside deeper down", root, top.at("game/maps/deep/up"), true},
        {"a link to the folder above", root, top.at("game/parent"), true},
        {"a dangling link", root, top.at("game/dangling"), true},
        {"an absent entry", root, top.at("game/absent"), true},
        {"up and out", root, top.at("game/maps/../../gamex"), true},
        {"the folder above", root, top.path(), true},
        {"a folder whose name begins like the root's", root, top.at("gamex"), true},
        {"the root reached through a link", via, top.at("via/maps/a.dat"), false},
        {"the root reached through a link, the path itself", via, via, false},
        {"a link to outside below a linked root", via, top.at("via/out"), true},
        {"the root through a link, the path by its own name", via, top.at("game/maps"), false},
        {"the root by its own name, the path through a link", root, top.at("via/maps"), false},
        {"a root that is not there", top.at("absent"), top.at("absent"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.path);
        EXPECT_EQ(fs->liesOutside(c.root, c.path), c.outside);
    }
}

// What the writing operations do with a link at the very name they are
// given; links further up a path are the caller's to check (liesOutside).
TEST_F(Links, WritesReplaceALinkAtTheirNameAndNeverGoThroughIt) {
    const std::string outside = top.at("gamex/f.txt");
    {
        SCOPED_TRACE("commit over a link to a file outside");
        store(*fs, top.at("game/outfile"), "new");
        EXPECT_EQ(content(top.at("game/outfile")), "new");
        EXPECT_EQ(content(outside), "outside");
    }
    {
        SCOPED_TRACE("commit over a dangling link");
        store(*fs, top.at("game/dangling"), "new");
        EXPECT_EQ(content(top.at("game/dangling")), "new");
        EXPECT_FALSE(std::filesystem::exists(top.at("gamex/absent")));
    }
    {
        SCOPED_TRACE("make a folder over a dangling link");
        ASSERT_TRUE(makeLink(top.at("game/dangling2"), top.at("gamex/absent2"), true));
        EXPECT_TRUE(outcomeOf([&] { fs->makeFolder(top.at("game/dangling2")); }).failed);
        EXPECT_FALSE(std::filesystem::exists(top.at("gamex/absent2")));
    }
    {
        SCOPED_TRACE("make a folder over a link to a folder");
        const Outcome out = outcomeOf([&] { fs->makeFolder(top.at("game/out")); });
        EXPECT_TRUE(out.failed);
        EXPECT_EQ(out.kind, FailureKind::Io) << out.text;
    }
    {
        SCOPED_TRACE("create over a link to a folder");
        const Outcome out = outcomeOf([&] { fs->create(top.at("game/out"), Durability::Now); });
        EXPECT_TRUE(out.failed);
        EXPECT_EQ(out.kind, FailureKind::Io) << out.text;
        EXPECT_TRUE(isLink(top.at("game/out")));
    }
    {
        SCOPED_TRACE("a resumable file over a link to a folder");
        const Outcome out = outcomeOf([&] { fs->openResumable(top.at("game/out"), Durability::Now); });
        EXPECT_TRUE(out.failed);
        EXPECT_EQ(out.kind, FailureKind::Io) << out.text;
        EXPECT_TRUE(isLink(top.at("game/out")));
        EXPECT_FALSE(content(top.at("game/" + resumeFileName("out"))));
    }
    {
        SCOPED_TRACE("a resumable file committed over a dangling link");
        ASSERT_TRUE(makeLink(top.at("game/dangling3"), top.at("gamex/absent3"), false));
        auto file = fs->openResumable(top.at("game/dangling3"), Durability::Now);
        file->write("new", 3);
        file->commit();
        EXPECT_EQ(content(top.at("game/dangling3")), "new");
        EXPECT_FALSE(std::filesystem::exists(top.at("gamex/absent3")));
    }
    EXPECT_EQ(names(top.at("gamex")), (std::vector<std::string>{"f.txt", "sub"}));
    EXPECT_EQ(sorted(temporaries(top.at("game"))), "");
}

// Whatever stands at the resume name is never written through and never
// taken for kept bytes: the file is made anew, or, where the system cannot
// tell a link from a file (Wine 8), the name is refused.
TEST_F(Links, AResumableFileIsNeverWrittenThroughWhatStandsAtItsName) {
    const std::string outside = top.at("gamex/f.txt");
    std::string target, resume;
    struct Case {
        const char* name;
        std::function<bool()> plant;
    } const cases[] = {
        {"a link to a file outside", [&] { return makeLink(resume, outside, false); }},
        {"a dangling link to outside", [&] { return makeLink(resume, top.at("gamex/absent"), false); }},
        {"a link to a folder outside", [&] { return makeLink(resume, top.at("gamex/sub"), true); }},
        {"a second name of a file outside",
         [&] {
             std::error_code failed;
             std::filesystem::create_hard_link(outside, resume, failed);
             return !failed;
         }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A name of its own for each case: removing what a refused name
        // leads to is what the test guards against.
        const std::string name = "a" + std::to_string(n++) + ".dat";
        target = top.at("game/" + name);
        resume = top.at("game/" + resumeFileName(name));
        ASSERT_TRUE(c.plant());
        const Outcome out = outcomeOf([&] {
            auto file = fs->openResumable(target, Durability::Now);
            EXPECT_EQ(file->size(), 0u) << "took bytes that are not its own";
            std::string kept;
            file->readKept([&](const char* data, std::size_t size) { kept.append(data, size); });
            EXPECT_EQ(kept, "");
            file->write("new", 3);
            file.reset();
            file = fs->openResumable(target, Durability::Now);
            EXPECT_EQ(file->size(), 3u);
            file->commit();
        });
        if (out.failed) {
            EXPECT_EQ(out.kind, FailureKind::Io) << out.text;
        } else {
            EXPECT_EQ(content(target), "new");
            EXPECT_FALSE(content(resume));
        }
        EXPECT_EQ(content(outside), "outside");
        EXPECT_FALSE(std::filesystem::exists(top.at("gamex/absent")));
        EXPECT_EQ(names(top.at("gamex/sub")), std::vector<std::string>{});
        EXPECT_EQ(names(top.at("gamex")), (std::vector<std::string>{"f.txt", "sub"}));
    }
}

// Wine 8 shows a host link to a file as the file itself, so there the
// service cannot tell such a link from a file; the test needs a system that
// can.
TEST_F(Links, ALinkToAFileIsAnEntryOfItsOwn) {
    const std::string outside = top.at("gamex/f.txt");
    const std::string link = top.at("game/outfile");
    if (!isLink(link)) GTEST_SKIP() << "this system shows a link to a file as the file itself";
    {
        SCOPED_TRACE("an uncommitted write over it");
        {
            auto out = fs->create(link, Durability::Now);
            out->write("new", 3);
        }
        EXPECT_TRUE(isLink(link));
        EXPECT_EQ(content(link), "outside");
    }
    {
        SCOPED_TRACE("a commit over it");
        store(*fs, link, "new");
        EXPECT_FALSE(isLink(link));
        EXPECT_EQ(content(link), "new");
    }
    {
        SCOPED_TRACE("remove");
        ASSERT_TRUE(makeLink(top.at("game/outfile2"), outside, false));
        fs->remove(top.at("game/outfile2"));
        EXPECT_FALSE(isLink(top.at("game/outfile2")));
        EXPECT_FALSE(fs->isPlainFile(top.at("game/outfile2")));
    }
    EXPECT_EQ(content(outside), "outside");
    EXPECT_EQ(sorted(temporaries(top.at("game"))), "");
}

}  // namespace
}  // namespace velloran
