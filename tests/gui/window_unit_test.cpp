// The window's portable parts: trace escaping, label text layout, text
// conversion, and the four window commands over fakes.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands.h"
#include "failure.h"
#include "fs.h"
#include "layout.h"
#include "scroll_bar.h"
#include "text_layout.h"
#include "trace.h"

namespace {

// ---------------------------------------------------------------- trace

TEST(TraceEscape, WritesEveryArgumentOnOneLine) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"Getting News...", "Getting News..."},
        {"C:\\Games\\game.exe", "C:\\\\Games\\\\game.exe"},
        {"a\tb", "a\\tb"},
        {"line\r\nnext\n", "line\\r\\nnext\\n"},
        {"\\n is not a line end", "\\\\n is not a line end"},
        {"caf\xc3\xa9 \x80", "caf\xc3\xa9 \x80"},  // other bytes pass unchanged
    };
    for (const auto& c : cases) EXPECT_EQ(frmUpdate::escapeTraceArgument(c.in), c.out) << c.in;
}

TEST(TraceLine, IsNameTabEscapedArgumentNewline) {
    testing::internal::CaptureStderr();
    frmUpdate::trace("L2", "a\tb");
    frmUpdate::trace("show");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "L2\ta\\tb\nshow\t\n");
}

// ---------------------------------------------------------------- layout

// Every character is 6 pixels wide.
int fixedWidth(const std::string& s) { return int(s.size()) * 6; }

TEST(WrapLines, BreaksAtBlanksLikeALabel) {
    using Lines = std::vector<std::string>;
    const struct {
        std::string text;
        int width;
        Lines lines;
    } cases[] = {
        {"", 100, {}},
        {"Getting News...", 369, {"Getting News..."}},
        {"aaa bbb ccc", 42, {"aaa bbb", "ccc"}},            // 7 characters fit
        {"aaa bbb ccc", 41, {"aaa", "bbb", "ccc"}},
        {"aaa    bbb", 24, {"aaa", "bbb"}},                 // blanks at a break go
        {"aaaaaaaaaaaa bb", 30, {"aaaaaaaaaaaa", "bb"}},    // too wide: alone, clipped
        {"bb aaaaaaaaaaaa", 30, {"bb", "aaaaaaaaaaaa"}},
        {"one\r\ntwo\nthree\rfour", 369, {"one", "two", "three", "four"}},
        {"one\r\n\r\nthree", 369, {"one", "", "three"}},
        {"   ", 369, {"   "}},
        {"  lead", 369, {"  lead"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(frmUpdate::wrapLines(c.text, c.width, fixedWidth), c.lines) << c.text << " @" << c.width;
}

// Every character, not byte, is 6 pixels wide: a UTF-8 sequence cut in two
// would show in the width.
int charWidth(const std::string& s) {
    int chars = 0;
    for (char c : s) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return chars * 6;
}

TEST(WrapLines, TextBoxMeasuresWordsWithTheirBlankAndBreaksLongOnes) {
    using Lines = std::vector<std::string>;
    const std::string e = "\xc3\xa9";  // e acute, two bytes
    const struct {
        std::string text;
        int width;
        Lines lines;
    } cases[] = {
        {"aaa bbb ccc", 48, {"aaa bbb", "ccc"}},               // "aaa bbb " fits in 48
        {"aaa bbb ccc", 47, {"aaa", "bbb ccc"}},               // a label keeps "aaa bbb" in 42
        {"aaa bbb", 42, {"aaa bbb"}},                          // the last word has no blank after it
        {"aaa bbb\r\nccc", 42, {"aaa bbb", "ccc"}},            // nor at a line end
        {"aaaaaaaaaaaa bb", 30, {"aaaaa", "aaaaa", "aa bb"}},  // the rest goes on with the next word
        {"bb aaaaaaaaaaaa", 30, {"bb", "aaaaa", "aaaaa", "aa"}},
        {"abc", 5, {"a", "b", "c"}},                           // a character wider than the line
        {e + e + e + e, 12, {e + e, e + e}},                   // never inside a character
        {"aaaaaaa\r\nbb", 24, {"aaaa", "aaa", "bb"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(frmUpdate::wrapLines(c.text, c.width, charWidth, frmUpdate::Wrap::TextBox), c.lines)
            << c.text << " @" << c.width;
}

TEST(WindowsLineMetrics, ScalesTheWindowsAscentAndDescent) {
    const struct {
        const char* font;
        int unitsPerEm, winAscent, winDescent, em;
        frmUpdate::LineMetrics metrics;
    } cases[] = {
        // Tahoma at 9.75 pt: 16 pixels a line, baseline 13 below its top.
        {"Tahoma 13", 2048, 2049, 423, 13, {13, 3}},
        {"Tahoma 26", 2048, 2049, 423, 26, {26, 5}},
        {"Tahoma 12", 2048, 2049, 423, 12, {12, 2}},
        {"DejaVu Sans 13", 2048, 1901, 483, 13, {12, 3}},
        {"halves go up", 1000, 500, 250, 3, {2, 1}},
        {"just under a half goes down", 1000, 499, 166, 3, {1, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(frmUpdate::windowsLineMetrics(c.unitsPerEm, c.winAscent, c.winDescent, c.em), c.metrics) << c.font;
    EXPECT_EQ((frmUpdate::LineMetrics{13, 3}.pitch()), 16);
}

// ---------------------------------------------------------------- scaling

TEST(DisplayScale, WholeFactorsOf96DotsPerInch) {
    const struct {
        int dpi, scale;
    } cases[] = {{0, 1}, {72, 1}, {96, 1}, {120, 1}, {144, 1}, {191, 1}, {192, 2}, {240, 2}, {288, 3}, {384, 4}};
    for (const auto& c : cases) EXPECT_EQ(frmUpdate::layout::scaleForDpi(c.dpi), c.scale) << c.dpi;
}

TEST(DisplayScale, MultipliesRectanglesAndFonts) {
    namespace layout = frmUpdate::layout;
    const layout::Rect r = layout::scaled(layout::kNews, 2);
    EXPECT_EQ((std::vector<int>{r.x, r.y, r.w, r.h}), (std::vector<int>{14, 98, 738, 412}));
    EXPECT_EQ(layout::fontPixels(layout::FontSize::Text), 13);
    EXPECT_EQ(layout::fontPixels(layout::FontSize::Text, 2), 26);
    EXPECT_EQ(layout::fontPixels(layout::FontSize::Small), 12);
    EXPECT_EQ(layout::fontPixels(layout::FontSize::Small, 3), 36);
}

// ---------------------------------------------------------------- scroll bar

using Part = frmUpdate::ScrollBar::Part;

TEST(ScrollBar, PlacesTheThumbByTheTopLine) {
    const struct {
        const char* what;
        int length, breadth;
        frmUpdate::ScrollRange range;
        bool enabled;
        int arrow, thumbStart, thumbLength;
    } cases[] = {
        // The news box: 206 long, arrows of 17, a track of 172.
        {"all fits", 206, 17, {5, 12, 0}, false, 17, 0, 0},
        {"exactly fits", 206, 17, {12, 12, 0}, false, 17, 0, 0},
        {"half shown, at the top", 206, 17, {24, 12, 0}, true, 17, 17, 86},
        {"half shown, at the end", 206, 17, {24, 12, 12}, true, 17, 103, 86},
        {"half shown, midway", 206, 17, {24, 12, 6}, true, 17, 60, 86},
        {"top past the end clamps", 206, 17, {24, 12, 40}, true, 17, 103, 86},
        {"long text: thumb no shorter than half the breadth", 206, 17, {10000, 12, 0}, true, 17, 17, 8},
        {"long text at its end", 206, 17, {10000, 12, 9988}, true, 17, 181, 8},
        {"scrolled down, text now short", 206, 17, {3, 12, 2}, true, 17, 17, 172},
        {"twice the size", 412, 34, {24, 12, 12}, true, 34, 206, 172},
        {"bar shorter than two arrows", 20, 17, {24, 12, 0}, true, 10, 0, 0},
    };
    for (const auto& c : cases) {
        const frmUpdate::ScrollBar bar(c.length, c.breadth, c.range);
        EXPECT_EQ(bar.enabled(), c.enabled) << c.what;
        EXPECT_EQ(bar.arrowLength(), c.arrow) << c.what;
        EXPECT_EQ(bar.thumbStart(), c.thumbStart) << c.what;
        EXPECT_EQ(bar.thumbLength(), c.thumbLength) << c.what;
    }
}

TEST(ScrollBar, ClicksScrollByLinesAndPages) {
    // 30 lines, 12 shown, line 6 on top: a thumb of 172 * 12/30 pixels,
    // 6/18 of the 104 it can move down the track (52..119).
    const frmUpdate::ScrollBar bar(206, 17, {30, 12, 6});
    ASSERT_EQ(bar.thumbStart(), 52);
    ASSERT_EQ(bar.thumbLength(), 68);
    const struct {
        int offset;
        Part part;
        int top;
    } cases[] = {
        {-1, Part::Outside, 6}, {0, Part::UpArrow, 5},     {16, Part::UpArrow, 5},
        {17, Part::PageUp, 0},  {51, Part::PageUp, 0},     {52, Part::Thumb, 6},
        {119, Part::Thumb, 6},  {120, Part::PageDown, 18}, {188, Part::PageDown, 18},
        {189, Part::DownArrow, 7}, {205, Part::DownArrow, 7}, {206, Part::Outside, 6},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bar.partAt(c.offset), c.part) << c.offset;
        EXPECT_EQ(bar.topAfter(bar.partAt(c.offset)), c.top) << c.offset;
    }
    // At either end the arrows stop.
    EXPECT_EQ(frmUpdate::ScrollBar(206, 17, {30, 12, 0}).topAfter(Part::UpArrow), 0);
    EXPECT_EQ(frmUpdate::ScrollBar(206, 17, {30, 12, 18}).topAfter(Part::DownArrow), 18);
    // Disabled: the arrows are still there, the track takes no clicks.
    const frmUpdate::ScrollBar off(206, 17, {5, 12, 0});
    EXPECT_EQ(off.partAt(5), Part::UpArrow);
    EXPECT_EQ(off.partAt(100), Part::Outside);
    EXPECT_EQ(off.topAfter(Part::DownArrow), 0);
}

TEST(ScrollBar, DraggingTheThumbPicksTheNearestLine) {
    const frmUpdate::ScrollBar bar(206, 17, {30, 12, 6});  // room for the thumb: 172 - 68 = 104
    const struct {
        int thumbStart, top;
    } cases[] = {{-50, 0}, {17, 0}, {19, 0}, {20, 1}, {69, 9}, {121, 18}, {500, 18}};
    for (const auto& c : cases) EXPECT_EQ(bar.topForThumb(c.thumbStart), c.top) << c.thumbStart;
    // Where the thumb is drawn, a drag leads back to the same line.
    for (int top = 0; top <= 18; ++top) {
        const frmUpdate::ScrollBar at(206, 17, {30, 12, top});
        EXPECT_EQ(at.topForThumb(at.thumbStart()), top);
    }
}

TEST(ShortenMiddle, KeepsStartAndEndAroundDots) {
    const std::string e = "\xc3\xa9";  // e acute, two bytes
    const struct {
        std::string text;
        int width;
        std::string out;
    } cases[] = {
        {"abcdef", 36, "abcdef"},                 // fits exactly
        {"abcdef", 35, "a...f"},                  // 5 characters fit
        {"abcdefghij", 48, "abc...ij"},           // the start gets the odd one
        {"abcdefghij", 54, "abc...hij"},
        {"abcdefghij", 18, "..."},                // only the dots fit
        {"abcdefghij", 5, "..."},                 // not even those
        {"", 0, ""},
        {e + e + e + e + e + e + e, 36, e + e + "..." + e},
        {"/games/Velloran/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/map.dat", 150, "/games/Vell...a/a/map.dat"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(frmUpdate::shortenMiddle(c.text, c.width, charWidth), c.out) << c.text << " @" << c.width;
}

TEST(FitMessage, ShortensLongWordsAndKeepsTheBoxWithinItsRoom) {
    using Lines = std::vector<std::string>;
    const struct {
        std::string text;
        int wrapWidth, maxWidth, maxLines;
        Lines lines;
    } cases[] = {
        {"", 420, 900, 10, {}},
        {"Please place this in the same folder as game.sh!", 420, 900, 10,
         {"Please place this in the same folder as game.sh!"}},
        {"aaa bbb ccc", 42, 600, 10, {"aaa bbb", "ccc"}},       // prose breaks at the wrap width
        {"aaa bbb ccc", 600, 42, 10, {"aaa bbb", "ccc"}},       // never past the widest
        {"Cannot open /abcdefghijklmnop/q.dat: gone", 60, 60, 10,
         {"Cannot", "open", "/abc...at:", "gone"}},             // only the long word shortened
        {"x abcdefghijklmnopqrstuvwxyz", 600, 72, 10, {"x", "abcde...wxyz"}},
        {"one\r\n\r\ntwo", 420, 900, 10, {"one", "", "two"}},
        {"          ab", 36, 36, 10, {"  ...b"}},               // opening blanks too wide
        {"1 2 3 4 5", 6, 600, 5, {"1", "2", "3", "4", "5"}},    // just fits
        {"1 2 3 4 5", 6, 600, 4, {"1", "2", "...", "5"}},
        {"1 2 3 4 5 6 7", 6, 600, 4, {"1", "2", "...", "7"}},
        {"1 2 3 4 5 6 7", 6, 600, 5, {"1", "2", "...", "6", "7"}},
        {"1 2 3", 6, 600, 1, {"..."}},
        {"1 2 3", 6, 600, 0, {"..."}},                          // no room still shows one line
    };
    for (const auto& c : cases)
        EXPECT_EQ(frmUpdate::fitMessage(c.text, c.wrapWidth, c.maxWidth, c.maxLines, charWidth), c.lines)
            << c.text << " @" << c.wrapWidth << "/" << c.maxWidth << "x" << c.maxLines;
}

// A failure naming a file 2,100 folders deep: 4,000 characters without a
// blank after the program folder, which once made a box 24,000 pixels wide.
TEST(FitMessage, DeepPathFailureFitsWithItsStartAndEnd) {
    std::string path = "/home/player/Velloran Game";
    for (int i = 0; i < 2100; ++i) path += "/a";
    const std::string text = "Cannot make folder " + path + ": File name too long";
    ASSERT_GT(text.size(), 4200u);
    for (const int maxWidth : {900, 300, 60}) {
        const auto lines = frmUpdate::fitMessage(text, 420, maxWidth, 6, charWidth);
        ASSERT_GE(lines.size(), 2u) << maxWidth;
        EXPECT_LE(lines.size(), 6u) << maxWidth;
        for (const std::string& line : lines) EXPECT_LE(charWidth(line), maxWidth) << line;
        EXPECT_EQ(lines.front().substr(0, 6), "Cannot") << maxWidth;
        EXPECT_EQ(lines.back().substr(lines.back().size() - 4), "long") << maxWidth;
    }
    // 420 pixels wrap the prose, the long word takes up to 900 on a line
    // of its own.
    const std::string deep = path.substr(path.find(' ') + 1) + ":";
    const auto lines = frmUpdate::fitMessage(text, 420, 900, 6, charWidth);
    EXPECT_EQ(lines, (std::vector<std::string>{"Cannot make folder /home/player/Velloran",
                                               frmUpdate::shortenMiddle(deep, 900, charWidth),
                                               "File name too long"}));
    EXPECT_EQ(charWidth(lines[1]), 900);
}

TEST(ToUtf8, KeepsUtf8AndReadsOtherBytesAsWindows1252) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain ASCII", "plain ASCII"},
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},     // valid UTF-8 unchanged
        {"caf\xe9", "caf\xc3\xa9"},                                   // Latin-1 e acute
        {"\x80 \x99", "\xe2\x82\xac \xe2\x84\xa2"},                   // euro, trade mark
        {"\x81", "\xc2\x81"},                                         // unassigned: C1 control
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                             // overlong form is not UTF-8
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xe2\x82\xac"},             // nor is a surrogate
        {"\xc3\xa9\xe9", "\xc3\x83\xc2\xa9\xc3\xa9"},                 // one bad byte converts all
        {"\xe2\x82", "\xc3\xa2\xe2\x80\x9a"},                         // cut-off sequence
    };
    for (const auto& c : cases) EXPECT_EQ(frmUpdate::toUtf8(c.in), c.out);
}

// ---------------------------------------------------------------- commands

struct Ended {};

struct Log {
    std::vector<std::string> events;
};

class FakeHost : public frmUpdate::CommandHost {
public:
    explicit FakeHost(Log& log) : log_(log) {}
    void minimiseWindow() override { log_.events.push_back("minimise"); }
    void showMessageBox(const std::string& text) override { log_.events.push_back("msgbox " + text); }
    void pumpMessages() override { log_.events.push_back("pump"); }

private:
    Log& log_;
};

class FakeReport : public velloran::FailureReport {
public:
    explicit FakeReport(Log& log) : log_(log) {}
    void reportFailure(const std::string& text) override { log_.events.push_back("failure " + text); }

private:
    Log& log_;
};

class FakeProcess : public frmUpdate::ProcessControl {
public:
    explicit FakeProcess(Log& log) : log_(log) {}
    void start(const std::string& path) override {
        log_.events.push_back("start " + path);
        if (failing.count(path)) throw velloran::Failure(velloran::FailureKind::Io, "Cannot start " + path + ": Permission denied");
    }
    [[noreturn]] void endNow() override {
        log_.events.push_back("end");
        throw Ended{};
    }
    std::set<std::string> failing;

private:
    Log& log_;
};

// The program folder the commands look into.
class FakeFs : public velloran::ProgramFolder {
public:
    FakeFs(std::string folder, char separator) : folder_(std::move(folder)), separator_(separator) {}
    std::string programFolder() const override { return folder_; }
    char separator() const override { return separator_; }
    bool isPlainFile(const std::string& path) override {
        asked.push_back(path);
        return plain.count(path) > 0;
    }

    std::set<std::string> plain;
    std::vector<std::string> asked;

private:
    std::string folder_;
    char separator_;
};

struct Rig {
    Log log;
    FakeHost host{log};
    FakeReport report{log};
    FakeProcess process{log};
    FakeFs fs;
    frmUpdate::Commands commands{host, report, fs, process};
    explicit Rig(std::string folder = "/games/Velloran", char separator = '/') : fs(std::move(folder), separator) {}

    // Runs a click; true when it ended the process.
    template <class Click>
    bool click(Click&& run) {
        try {
            run();
        } catch (const Ended&) {
            return true;
        }
        return false;
    }
};

TEST(LaunchCommand, StartsThePresentProgramOrExplains) {
    using Events = std::vector<std::string>;
    const struct {
        const char* what;
        std::string folder;
        char separator;
        std::string game;
        std::set<std::string> plain;
        std::set<std::string> failing;
        Events events;
        bool ended;
        std::string trace;
    } cases[] = {
        {"present", "/games/Velloran", '/', "game.sh", {"/games/Velloran/game.sh"}, {},
         {"pump", "start /games/Velloran/game.sh", "pump", "end"}, true,
         "launch\t/games/Velloran/game.sh\n"},
        {"blanks in the path stay as they are", "/home/a b/Velloran", '/', "my game", {"/home/a b/Velloran/my game"}, {},
         {"pump", "start /home/a b/Velloran/my game", "pump", "end"}, true,
         "launch\t/home/a b/Velloran/my game\n"},
        {"Windows separator", "C:\\Games\\Velloran", '\\', "game.exe", {"C:\\Games\\Velloran\\game.exe"}, {},
         {"pump", "start C:\\Games\\Velloran\\game.exe", "pump", "end"}, true,
         "launch\tC:\\\\Games\\\\Velloran\\\\game.exe\n"},
        {"absent", "/games/Velloran", '/', "game.sh", {}, {},
         {"msgbox Please place this in the same folder as game.sh!"}, false,
         "msgbox\tPlease place this in the same folder as game.sh!\n"},
        {"name differs in case only", "/games/Velloran", '/', "Game.sh", {"/games/Velloran/game.sh"}, {},
         {"msgbox Please place this in the same folder as Game.sh!"}, false,
         "msgbox\tPlease place this in the same folder as Game.sh!\n"},
        {"empty name", "/games/Velloran", '/', "", {"/games/Velloran/", "/games/Velloran"}, {},
         {"msgbox Please place this in the same folder as !"}, false,
         "msgbox\tPlease place this in the same folder as !\n"},
        {"subfolder written for Windows", "/games/Velloran", '/', "bin\\game.sh", {"/games/Velloran/bin/game.sh"},
         {}, {"pump", "start /games/Velloran/bin/game.sh", "pump", "end"}, true,
         "launch\t/games/Velloran/bin/game.sh\n"},
        {"name leaving the folder", "/games/Velloran", '/', "../../bin/sh", {"/games/Velloran/../../bin/sh"}, {},
         {"failure Refused to start \"../../bin/sh\": a path may not contain \"..\""}, false, ""},
        {"device name", "C:\\Games", '\\', "nul.exe", {"C:\\Games\\nul.exe"}, {},
         {"failure Refused to start \"nul.exe\": \"nul.exe\" is a device name"}, false, ""},
        {"start fails", "/games/Velloran", '/', "game.sh", {"/games/Velloran/game.sh"}, {"/games/Velloran/game.sh"},
         {"pump", "start /games/Velloran/game.sh",
          "failure Cannot start /games/Velloran/game.sh: Permission denied"},
         false, "launch\t/games/Velloran/game.sh\n"},
    };
    for (const auto& c : cases) {
        Rig rig(c.folder, c.separator);
        rig.fs.plain = c.plain;
        rig.process.failing = c.failing;
        testing::internal::CaptureStderr();
        const bool ended = rig.click([&] { rig.commands.lblConnect_Click(c.game); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.trace) << c.what;
        EXPECT_EQ(rig.log.events, c.events) << c.what;
        EXPECT_EQ(ended, c.ended) << c.what;
    }
}

TEST(LaunchCommand, EveryClickTestsAfresh) {
    Rig rig;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(rig.click([&] { rig.commands.lblConnect_Click("game.sh"); }));
    rig.fs.plain.insert("/games/Velloran/game.sh");
    EXPECT_TRUE(rig.click([&] { rig.commands.lblConnect_Click("game.sh"); }));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rig.fs.asked, (std::vector<std::string>{"/games/Velloran/game.sh", "/games/Velloran/game.sh"}));
    EXPECT_EQ(rig.log.events.front(), "msgbox Please place this in the same folder as game.sh!");
    EXPECT_EQ(rig.log.events.back(), "end");
}

TEST(WindowCommands, ExitAndCloseEndMinimiseDoesNot) {
    const struct {
        const char* control;
        void (frmUpdate::Commands::*click)();
        std::vector<std::string> events;
        bool ended;
        std::string trace;
    } cases[] = {
        {"Label1", &frmUpdate::Commands::Label1_Click, {"end"}, true, "exit\t\n"},
        {"Label2", &frmUpdate::Commands::Label2_Click, {"end"}, true, "exit\t\n"},
        {"Label3", &frmUpdate::Commands::Label3_Click, {"minimise"}, false, "minimise\t\n"},
    };
    for (const auto& c : cases) {
        Rig rig;
        testing::internal::CaptureStderr();
        const bool ended = rig.click([&] { (rig.commands.*c.click)(); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.trace) << c.control;
        EXPECT_EQ(rig.log.events, c.events) << c.control;
        EXPECT_EQ(ended, c.ended) << c.control;
    }
}

}  // namespace
