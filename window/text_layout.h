// Text rules of the window's labels and boxes, toolkit-free.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace frmUpdate {

// The texts the engine writes are bytes in the 8-bit code page of the update
// site. Valid UTF-8 is returned unchanged; anything else is read as
// Windows-1252 and converted, so a toolkit that draws UTF-8 shows every byte
// as some character. Never fails.
std::string toUtf8(const std::string& text);

// The two ways Windows breaks text into lines.
enum class Wrap {
    // A label (DrawText): a word fits when it ends within the line; a word
    // wider than the line stands alone on its line, wider than the line.
    Label,
    // A text box (the edit control): a word followed by a blank fits only
    // with that blank; a word wider than the line is broken after the last
    // character that fits, at least one character a line.
    TextBox,
};

// Breaks `text` into the lines of `width` pixels that `wrap` makes. CR LF, CR
// and LF end a line. Lines break at blanks: a line takes as many words as
// fit, and the blanks at a break are dropped. `measure` gives a text's width
// in pixels; the text is UTF-8 and no character is cut in two. An empty text
// gives no lines.
std::vector<std::string> wrapLines(const std::string& text, int width,
                                   const std::function<int(const std::string&)>& measure,
                                   Wrap wrap = Wrap::Label);

// Where the lines of a font lie, in pixels: the baseline is `ascent` below a
// line's top, and lines follow each other every ascent + descent pixels.
struct LineMetrics {
    int ascent = 0;
    int descent = 0;
    constexpr int pitch() const { return ascent + descent; }
    constexpr bool operator==(const LineMetrics&) const = default;
};

// The line metrics Windows gives a TrueType font whose em is `emPixels`
// pixels tall: the font's Windows ascent and descent (its OS/2 table's
// usWinAscent and usWinDescent, in font units of `unitsPerEm` to the em)
// scaled to the em and each rounded to the nearest pixel, halves up. A font
// that Linux lays out by other numbers (the OS/2 typographic ones, say) takes
// its line pitch and baseline from here to put text where Windows puts it.
// unitsPerEm must be positive.
LineMetrics windowsLineMetrics(int unitsPerEm, int winAscent, int winDescent, int emPixels);

// `text` itself when it is at most `width` pixels wide. Otherwise its start
// and its end with "..." between, keeping as many characters as fit in
// `width` (the start gets the odd one); just "..." when no character fits
// beside it. The text is UTF-8 and no character is cut in two.
std::string shortenMiddle(const std::string& text, int width,
                          const std::function<int(const std::string&)>& measure);

// The lines of a message box whose text may be `maxWidth` pixels wide and
// `maxLines` lines tall (at least one), so that the box fits the screen
// however long the text. Every word (a run of characters without a blank or
// a line end) wider than maxWidth is shortened by shortenMiddle, then the
// text is broken as wrapLines does at `wrapWidth` (at most maxWidth). When
// more lines result than maxLines, the middle ones give way to one "..."
// line, keeping as many of the first and of the last lines as fit (the first
// get the odd one). No line is wider than maxWidth.
std::vector<std::string> fitMessage(const std::string& text, int wrapWidth, int maxWidth, int maxLines,
                                    const std::function<int(const std::string&)>& measure);

}  // namespace frmUpdate
