// frmUpdate on Linux: the skinned main window with FLTK 1.3 (Xft fonts), the
// message boxes, the failure report, and the process start.
//
// The process starts in main(), which makes the services, creates the window
// (not yet shown), binds the engine and calls modUpdate::startUpdate(). That
// shows the window and runs the update, pumping the window with Fl::check()
// while it waits; then Fl::run() carries the window until a window command or
// the failure report ends the process.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Widget.H>
#include <FL/fl_draw.H>
#include <FL/fl_utf8.h>
#include <FL/x.H>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"
#include "../engine/mod_update.h"
#include "../platform/fs.h"
#include "../platform/http.h"
#include "../platform/process.h"
#include "commands.h"
#include "layout.h"
#include "run_update.h"
#include "scroll_bar.h"
#include "text_layout.h"
#include "trace.h"

#ifndef VELLORAN_UPDATE_ADDRESS
#error "VELLORAN_UPDATE_ADDRESS must be defined by the build (it may be empty)"
#endif

namespace velloran_art {
extern const unsigned char background_png[];
extern const std::size_t background_png_size;
extern const unsigned char icon_png[];
extern const std::size_t icon_png_size;
}  // namespace velloran_art

namespace {

namespace layout = frmUpdate::layout;

constexpr const char* kTitle = "Velloran";

// FLTK sizes fonts in pixels. The message box is not scaled.
constexpr int kTextSize = layout::fontPixels(layout::FontSize::Text);

Fl_Color colour(layout::Rgb c) { return fl_rgb_color(c.r, c.g, c.b); }

const Fl_Color kWhite = colour(layout::kTextColour);
const Fl_Color kGround = colour(layout::kGround);
const Fl_Color kNewsGround = colour(layout::kNewsGround);
const Fl_Color kBarTrack = colour(layout::kBarTrack);
const Fl_Color kBarFace = colour(layout::kBarFace);
const Fl_Color kBarLight = colour(layout::kBarLight);
const Fl_Color kBarShade = colour(layout::kBarShade);
const Fl_Color kBarMark = colour(layout::kBarMark);
const Fl_Color kBarMarkOff = colour(layout::kBarMarkOff);
const Fl_Color kSelection = fl_rgb_color(51, 153, 255);

const Fl_Font kFace = FL_FREE_FONT;

// ---------------------------------------------------------------------------
// Fonts

// What fontconfig gives for a family name: the family it found and the
// font file. Empty when nothing matched.
struct FaceFile {
    std::string family;
    std::string path;
    int index = 0;
};

FaceFile fontconfigGives(const char* family) {
    FaceFile face;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family));
    if (!pattern) return face;
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcChar8* text = nullptr;
    if (match && FcPatternGetString(match, FC_FAMILY, 0, &text) == FcResultMatch)
        face.family = reinterpret_cast<const char*>(text);
    if (match && FcPatternGetString(match, FC_FILE, 0, &text) == FcResultMatch)
        face.path = reinterpret_cast<const char*>(text);
    if (match) FcPatternGetInteger(match, FC_INDEX, 0, &face.index);
    if (match) FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return face;
}

// The window's face: its family, the numbers Windows lays its lines out by
// (all 0 when the font file has none), and the font file as FreeType reads
// it, kept open for measuring.
struct Face {
    std::string family;
    int unitsPerEm = 0, winAscent = 0, winDescent = 0;
    FT_Library library = nullptr;
    FT_Face ft = nullptr;
    std::map<std::pair<int, unsigned>, int> advances;  // (pixels, character) -> pixels
};
Face gFace;

void openFace(const FaceFile& file, Face& face) {
    if (file.path.empty() || FT_Init_FreeType(&face.library) != 0) return;
    if (FT_New_Face(face.library, file.path.c_str(), file.index, &face.ft) != 0) {
        face.ft = nullptr;
        return;
    }
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face.ft, FT_SFNT_OS2));
    if (os2 && face.ft->units_per_EM > 0 && os2->usWinAscent + os2->usWinDescent > 0) {
        face.unitsPerEm = face.ft->units_per_EM;
        face.winAscent = os2->usWinAscent;
        face.winDescent = os2->usWinDescent;
    }
}

// The advance of one character of the face at `pixels`, as Windows measures
// it: from the hinted outline. Xft draws Tahoma from the bitmaps the font
// carries for small sizes, whose advances are narrower (151 pixels where
// Windows measures 160 for "Updated from Version 1.1!"), so a text measured
// by Xft was centred 5 pixels right of the Windows build's and wrapped at
// other words. -1 for a character the face lacks.
int advance(unsigned character, int pixels) {
    if (!gFace.ft) return -1;
    const auto key = std::make_pair(pixels, character);
    if (auto found = gFace.advances.find(key); found != gFace.advances.end()) return found->second;
    int width = -1;
    const FT_UInt glyph = FT_Get_Char_Index(gFace.ft, character);
    if (glyph != 0 && FT_Set_Pixel_Sizes(gFace.ft, 0, FT_UInt(pixels)) == 0 &&
        FT_Load_Glyph(gFace.ft, glyph, FT_LOAD_NO_BITMAP) == 0)
        width = int((gFace.ft->glyph->advance.x + 32) >> 6);
    gFace.advances.emplace(key, width);
    return width;
}

// Calls `each(offset, length, x)` for every character of a UTF-8 text laid
// out from x = 0 by the Windows advances, and returns the text's width.
// Characters the face lacks are measured by FLTK in the current font.
template <class Each>
int layOutCharacters(const std::string& text, int pixels, Each&& each) {
    int x = 0;
    const char* end = text.data() + text.size();
    for (const char* p = text.data(); p < end;) {
        int length = 1;
        const unsigned character = fl_utf8decode(p, end, &length);
        if (length < 1) length = 1;
        int width = advance(character, pixels);
        if (width < 0) width = int(fl_width(p, length));
        each(std::size_t(p - text.data()), std::size_t(length), x);
        x += width;
        p += length;
    }
    return x;
}

int textWidth(const std::string& text, int pixels) {
    return layOutCharacters(text, pixels, [](std::size_t, std::size_t, int) {});
}

// The layout's face (Tahoma) when the system has it, else Wine's
// Tahoma-compatible face added for this process only, else the system's sans
// face. FLTK draws with Xft, which asks fontconfig's current configuration,
// so an application font added there is found by name.
void chooseFace() {
    const char* family = "Sans";
    FaceFile file;
    if (FcInit()) {
        const auto isLayoutFace = [](const FaceFile& f) { return strcasecmp(f.family.c_str(), layout::kFontFace) == 0; };
        file = fontconfigGives(layout::kFontFace);
        if (!isLayoutFace(file)) {
            FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>("/usr/share/wine/fonts/tahoma.ttf"));
            file = fontconfigGives(layout::kFontFace);
        }
        if (isLayoutFace(file))
            family = layout::kFontFace;
        else
            file = fontconfigGives(family);
    }
    gFace.family = file.family.empty() ? family : file.family;
    openFace(file, gFace);
    // The leading blank asks FLTK for the regular style of the family.
    static std::string name;
    name = std::string(" ") + family;
    Fl::set_font(kFace, name.c_str());
}

// Where Windows puts the lines of the window's face at `pixels`. Xft lays a
// font out by FreeType's ascent and descent, which for Tahoma are its
// typographic ones (13 pixels a line at 9.75 pt, where Windows takes 16 from
// the font's Windows ascent and descent): status texts sat 3 pixels higher
// than on Windows and a second line showed under the first. So the lines are
// laid out from the font's own Windows numbers; FLTK's own only for a font
// without them.
frmUpdate::LineMetrics lineMetrics(int pixels) {
    if (gFace.unitsPerEm > 0)
        return frmUpdate::windowsLineMetrics(gFace.unitsPerEm, gFace.winAscent, gFace.winDescent, pixels);
    fl_font(kFace, pixels);
    return {fl_height() - fl_descent(), fl_descent()};
}

// ---------------------------------------------------------------------------
// Display scaling

// The whole factor the window is drawn at: from the X resource Xft.dpi, which
// desktops set for a high-density screen (FLTK 1.3 reads no such setting);
// 1 without it.
int displayScale(Display* display) {
    const char* resources = display ? XResourceManagerString(display) : nullptr;
    if (!resources) return 1;
    XrmInitialize();
    XrmDatabase database = XrmGetStringDatabase(resources);
    if (!database) return 1;
    char* type = nullptr;
    XrmValue value{};
    int dpi = 96;
    if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr)
        dpi = static_cast<int>(std::strtod(value.addr, nullptr) + 0.5);
    XrmDestroyDatabase(database);
    return layout::scaleForDpi(dpi);
}

// ---------------------------------------------------------------------------
// Artwork, compiled in

// The picture under everything, decoded by FLTK from the embedded PNG and
// enlarged to the widget's size by repeating pixels (FLTK's default
// scaling); the ground colour if the picture is unusable.
class Backdrop : public Fl_Widget {
public:
    Backdrop(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
        Fl_PNG_Image picture(nullptr, velloran_art::background_png, int(velloran_art::background_png_size));
        if (picture.w() > 0 && picture.h() > 0) image_.reset(picture.copy(w, h));
    }
    int handle(int) override { return 0; }

protected:
    void draw() override {
        if (image_ && image_->w() > 0 && image_->h() > 0) {
            image_->draw(x(), y(), w(), h());
        } else {
            fl_color(kGround);
            fl_rectf(x(), y(), w(), h());
        }
    }

private:
    std::unique_ptr<Fl_Image> image_;
};

// ---------------------------------------------------------------------------
// Labels

// A transparent label: centred, word-wrapped text drawn from its top edge and
// clipped to its rectangle. A click area fires its callback on a left-button
// press and release inside it; a deactivated label receives no clicks.
// Labels never take the keyboard focus.
class Label : public Fl_Widget {
public:
    Label(const layout::LabelPlace& place, int scale)
        : Fl_Widget(place.rect.x * scale, place.rect.y * scale, place.rect.w * scale, place.rect.h * scale),
          size_(layout::fontPixels(place.size, scale)),
          clickArea_(place.clickArea) {
        box(FL_NO_BOX);
        clear_visible_focus();
    }

    void text(const std::string& value) {
        // The download sets the percentage after every 1 KiB chunk, mostly to
        // the text it already shows: only a change is worth a redraw, and the
        // redraw waits for the next pump.
        if (value == set_) return;
        set_ = value;
        shown_ = frmUpdate::toUtf8(value);
        // Transparent: the picture under the old text must be drawn again.
        if (Fl_Window* win = window()) win->damage(FL_DAMAGE_ALL, x(), y(), w(), h());
    }

    int handle(int event) override {
        if (!clickArea_) return 0;
        switch (event) {
        case FL_PUSH:
            pressed_ = Fl::event_button() == FL_LEFT_MOUSE;
            return pressed_ ? 1 : 0;
        case FL_DRAG:
            return pressed_ ? 1 : 0;
        case FL_RELEASE:
            if (pressed_ && Fl::event_button() == FL_LEFT_MOUSE && Fl::event_inside(this)) {
                pressed_ = false;
                do_callback();
                return 1;
            }
            pressed_ = false;
            return 1;
        default:
            return 0;
        }
    }

protected:
    void draw() override {
        if (shown_.empty()) return;
        fl_push_clip(x(), y(), w(), h());
        const frmUpdate::LineMetrics metrics = lineMetrics(size_);
        fl_font(kFace, size_);
        fl_color(kWhite);
        const int pixels = size_;
        const auto lines =
            frmUpdate::wrapLines(shown_, w(), [pixels](const std::string& s) { return textWidth(s, pixels); });
        int top = y();
        for (const std::string& line : lines) {
            if (top >= y() + h()) break;
            // Centred by the Windows width and drawn as one run, as Windows
            // draws a label. fl_draw with a length draws the bytes as they
            // are: no '@' symbols, no '&' mnemonics.
            fl_draw(line.c_str(), int(line.size()), x() + (w() - textWidth(line, size_)) / 2, top + metrics.ascent);
            top += metrics.pitch();
        }
        fl_pop_clip();
    }

private:
    std::string set_;    // the text as the engine set it
    std::string shown_;  // the same in UTF-8, as drawn
    int size_;
    bool clickArea_;
    bool pressed_ = false;
};

// ---------------------------------------------------------------------------
// News box

// Read-only, word-wrapped text box without a border, with a vertical scroll
// bar in the skin's colours that is always shown (disabled while the whole
// text fits). Lines are laid out as the Windows build's edit box lays them:
// Windows line pitch, whole lines only, a word wider than the box broken
// inside. It scrolls by whole lines: arrows and the track (held down, they
// repeat), the thumb dragged, the wheel (three lines a notch), and the keys
// Up, Down, Page Up, Page Down, Home and End while it has the focus. Every
// way of scrolling goes through scrollTo(), so the thumb always follows.
// Text is selected by dragging over it (Ctrl+A selects all) and Ctrl+C
// copies the selection, as from the edit box.
class NewsView : public Fl_Widget {
public:
    NewsView(const layout::Rect& place, int scale)
        : Fl_Widget(place.x, place.y, place.w, place.h),
          scale_(scale),
          size_(layout::fontPixels(layout::FontSize::Text, scale)),
          barWidth_(layout::kNewsBarWidth * scale),
          margin_(layout::kNewsMargin * scale) {
        box(FL_NO_BOX);
    }

    ~NewsView() override { Fl::remove_timeout(&NewsView::repeat, this); }

    void setText(const std::string& value) {
        text_ = frmUpdate::toUtf8(value);
        anchor_ = caret_ = 0;
        layOut();
        scrollTo(0);
        redraw();
    }

    int handle(int event) override {
        switch (event) {
        case FL_FOCUS:
        case FL_UNFOCUS:
            return 1;
        case FL_MOUSEWHEEL:
            if (Fl::event_dy() == 0) return 0;
            scrollTo(top_ + 3 * Fl::event_dy());
            return 1;
        case FL_PUSH: {
            if (Fl::event_button() != FL_LEFT_MOUSE) return 0;
            if (Fl::focus() != this) take_focus();
            if (Fl::event_x() < barX()) {
                selecting_ = true;
                anchor_ = caret_ = offsetAt(Fl::event_x(), Fl::event_y());
                redraw();
                return 1;
            }
            const frmUpdate::ScrollBar bar = geometry();
            pressed_ = bar.partAt(Fl::event_y() - y());
            if (pressed_ == Part::Thumb) {
                grip_ = Fl::event_y() - y() - bar.thumbStart();
            } else if (pressed_ != Part::Outside) {
                step();
                Fl::add_timeout(0.35, &NewsView::repeat, this);
            }
            redraw();
            return 1;
        }
        case FL_DRAG:
            if (pressed_ == Part::Thumb) scrollTo(geometry().topForThumb(Fl::event_y() - y() - grip_));
            if (selecting_) {
                // Past the top or bottom edge the text scrolls along.
                if (Fl::event_y() < y()) scrollTo(top_ - 1);
                if (Fl::event_y() >= y() + visible() * lineMetrics(size_).pitch()) scrollTo(top_ + 1);
                caret_ = offsetAt(Fl::event_x(), Fl::event_y());
                redraw();
            }
            return 1;
        case FL_RELEASE:
            selecting_ = false;
            pressed_ = Part::Outside;
            Fl::remove_timeout(&NewsView::repeat, this);
            redraw();
            return 1;
        case FL_KEYBOARD:
            if (Fl::event_state(FL_CTRL) && Fl::event_key() == 'c') {
                const auto [from, to] = std::minmax(anchor_, caret_);
                if (to > from) Fl::copy(text_.c_str() + from, int(to - from), 1);
                return 1;
            }
            if (Fl::event_state(FL_CTRL) && Fl::event_key() == 'a') {
                anchor_ = 0;
                caret_ = text_.size();
                redraw();
                return 1;
            }
            switch (Fl::event_key()) {
            case FL_Up: scrollTo(top_ - 1); return 1;
            case FL_Down: scrollTo(top_ + 1); return 1;
            case FL_Page_Up: scrollTo(top_ - visible()); return 1;
            case FL_Page_Down: scrollTo(top_ + visible()); return 1;
            case FL_Home: scrollTo(0); return 1;
            case FL_End: scrollTo(int(lines_.size())); return 1;
            default: return 0;
            }
        default:
            return 0;
        }
    }

protected:
    void draw() override {
        fl_push_clip(x(), y(), w(), h());
        fl_color(kNewsGround);
        fl_rectf(x(), y(), barX() - x(), h());
        const frmUpdate::LineMetrics metrics = lineMetrics(size_);
        fl_font(kFace, size_);
        fl_color(kWhite);
        const auto [from, to] = std::minmax(anchor_, caret_);
        for (int i = 0; i < visible() && top_ + i < int(lines_.size()); ++i) {
            const std::size_t n = std::size_t(top_ + i);
            const std::string& line = lines_[n];
            const int left = x() + margin_, baseline = y() + i * metrics.pitch() + metrics.ascent;
            // The selected part of the line on the selection's ground.
            const std::size_t start = starts_[n];
            if (to > start && from < start + line.size()) {
                const std::size_t a = std::max(from, start) - start, b = std::min(to, start + line.size()) - start;
                int ax = 0, bx = 0;
                const int width = layOutCharacters(line, size_, [&](std::size_t at, std::size_t, int offset) {
                    if (at == a) ax = offset;
                    if (at == b) bx = offset;
                });
                if (b == line.size()) bx = width;
                fl_color(kSelection);
                fl_rectf(left + ax, y() + i * metrics.pitch(), bx - ax, metrics.pitch());
                fl_color(kWhite);
            }
            // Character by character at the Windows advances, where the
            // Windows edit box puts each.
            layOutCharacters(line, size_, [&](std::size_t at, std::size_t length, int offset) {
                fl_draw(line.c_str() + at, int(length), left + offset, baseline);
            });
        }
        drawBar();
        fl_pop_clip();
    }

private:
    using Part = frmUpdate::ScrollBar::Part;

    int barX() const { return x() + w() - barWidth_; }
    // Whole lines only, as the Windows edit box shows them.
    int visible() const { return std::max(1, h() / lineMetrics(size_).pitch()); }
    frmUpdate::ScrollRange range() const { return {int(lines_.size()), visible(), top_}; }
    frmUpdate::ScrollBar geometry() const { return frmUpdate::ScrollBar(h(), barWidth_, range()); }

    void layOut() {
        fl_font(kFace, size_);
        const int pixels = size_;
        lines_ = frmUpdate::wrapLines(text_, barX() - x() - 2 * margin_,
                                      [pixels](const std::string& s) { return textWidth(s, pixels); },
                                      frmUpdate::Wrap::TextBox);
        // Each line is a piece of the text, in order: where each starts, for
        // selecting and copying the text as it stands.
        starts_.clear();
        std::size_t at = 0;
        for (const std::string& line : lines_) {
            at = std::min(text_.find(line, at), text_.size());
            starts_.push_back(at);
            at += line.size();
        }
    }

    // The text offset nearest to a point: the character boundary closest to
    // x on the line under y.
    std::size_t offsetAt(int px, int py) const {
        if (lines_.empty()) return 0;
        const int row = (py - y()) / lineMetrics(size_).pitch() - (py < y() ? 1 : 0);
        const std::size_t n = std::size_t(std::clamp(top_ + row, 0, int(lines_.size()) - 1));
        const std::string& line = lines_[n];
        const int target = px - x() - margin_;
        std::size_t best = 0;
        int distance = std::abs(target);
        const int width = layOutCharacters(line, size_, [&](std::size_t at, std::size_t, int offset) {
            if (std::abs(offset - target) < distance) {
                best = at;
                distance = std::abs(offset - target);
            }
        });
        if (std::abs(width - target) < distance) best = line.size();
        return starts_[n] + best;
    }

    void scrollTo(int top) {
        const int clamped = frmUpdate::ScrollBar::clampTop(range(), top);
        if (clamped == top_) return;
        top_ = clamped;
        redraw();
    }

    void step() {
        if (pressed_ == Part::Outside || pressed_ == Part::Thumb) return;
        const frmUpdate::ScrollBar bar = geometry();
        // The track repeats only until the thumb reaches the pointer.
        if (bar.partAt(Fl::event_y() - y()) != pressed_ && pressed_ != Part::UpArrow &&
            pressed_ != Part::DownArrow)
            return;
        scrollTo(bar.topAfter(pressed_));
    }

    static void repeat(void* self) {
        auto* view = static_cast<NewsView*>(self);
        view->step();
        Fl::repeat_timeout(0.05, &NewsView::repeat, self);
    }

    // A raised face: light top and left edges, shaded bottom and right
    // ones; sunken (edges swapped) while pressed.
    void raised(int bx, int by, int bw, int bh, bool pressed) const {
        const int edge = scale_;
        fl_color(pressed ? kBarShade : kBarLight);
        fl_rectf(bx, by, bw, edge);
        fl_rectf(bx, by, edge, bh);
        fl_color(pressed ? kBarLight : kBarShade);
        fl_rectf(bx, by + bh - edge, bw, edge);
        fl_rectf(bx + bw - edge, by, edge, bh);
        fl_color(kBarFace);
        fl_rectf(bx + edge, by + edge, bw - 2 * edge, bh - 2 * edge);
    }

    void arrow(int bx, int by, int side, bool up, bool enabled, bool pressed) const {
        raised(bx, by, side, side, pressed);
        // A triangle as wide as half the button, pointing up or down.
        const int half = std::max(2, side / 4);
        const int height = half;
        const int cx = bx + side / 2 + (pressed ? scale_ : 0);
        const int cy = by + (side - height) / 2 + (pressed ? scale_ : 0);
        fl_color(enabled ? kBarMark : kBarMarkOff);
        if (up)
            fl_polygon(cx, cy, cx + half, cy + height, cx - half, cy + height);
        else
            fl_polygon(cx - half, cy, cx + half, cy, cx, cy + height);
    }

    void drawBar() const {
        const frmUpdate::ScrollBar bar = geometry();
        const int bx = barX();
        fl_color(kBarTrack);
        fl_rectf(bx, y(), barWidth_, h());
        const int side = bar.arrowLength();
        arrow(bx, y(), side, true, bar.enabled(), pressed_ == Part::UpArrow);
        arrow(bx, y() + h() - side, side, false, bar.enabled(), pressed_ == Part::DownArrow);
        if (bar.thumbLength() > 0) raised(bx, y() + bar.thumbStart(), barWidth_, bar.thumbLength(), false);
    }

    int scale_;
    int size_;
    int barWidth_;
    int margin_;
    std::string text_;  // UTF-8
    std::vector<std::string> lines_;
    std::vector<std::size_t> starts_;  // where each line starts in text_
    std::size_t anchor_ = 0, caret_ = 0;  // the selection, offsets in text_
    bool selecting_ = false;
    int top_ = 0;
    Part pressed_ = Part::Outside;
    int grip_ = 0;  // where the thumb was taken, from its top edge
};

// ---------------------------------------------------------------------------
// Message box

// Lines of text in black on the dialog's ground, left-aligned.
class MessageText : public Fl_Widget {
public:
    MessageText(int x, int y, int w, int h, std::vector<std::string> lines)
        : Fl_Widget(x, y, w, h), lines_(std::move(lines)) {}
    int handle(int) override { return 0; }

protected:
    void draw() override {
        fl_font(kFace, kTextSize);
        fl_color(FL_BLACK);
        const int lineHeight = fl_height();
        int top = y();
        for (const std::string& line : lines_) {
            fl_draw(line.c_str(), int(line.size()), x(), top + lineHeight - fl_descent());
            top += lineHeight;
        }
    }

private:
    std::vector<std::string> lines_;
};

// The box's margins around its text and OK button.
constexpr int kBoxSide = 24;                      // left and right of the text
constexpr int kBoxTop = 24;                       // above the text
constexpr int kBoxButtonGap = 16;                 // between text and button
constexpr int kButtonWidth = 80, kButtonHeight = 26;
constexpr int kBoxBottom = 14;                    // below the button
// Prose wraps at this width, as a box of a few lines reads best.
constexpr int kBoxWrapWidth = 420;
// The window manager's frame is outside the window and not ours to
// measure; this much of the screen is left to it on each axis.
constexpr int kFrameRoom = 64;

// Application-modal: while it shows, the main window takes no clicks. The
// text is fitted to the screen's work area first (a failure can name a path
// thousands of characters long), so the box and its OK button are always on
// screen.
void runMessageBox(const std::string& rawText) {
    const std::string text = frmUpdate::toUtf8(rawText);
    fl_font(kFace, kTextSize);
    const auto measure = [](const std::string& s) { return int(fl_width(s.c_str(), int(s.size()))); };
    int sx = 0, sy = 0, sw = 0, sh = 0;
    Fl::screen_work_area(sx, sy, sw, sh);
    const int lineHeight = fl_height();
    const int maxTextW = std::max(kButtonWidth, sw - kFrameRoom - 2 * kBoxSide);
    const int maxLines =
        std::max(1, (sh - kFrameRoom - kBoxTop - kBoxButtonGap - kButtonHeight - kBoxBottom) / lineHeight);
    std::vector<std::string> lines = frmUpdate::fitMessage(text, kBoxWrapWidth, maxTextW, maxLines, measure);

    int widest = 0;
    for (const auto& line : lines) widest = std::max(widest, measure(line));
    const int textW = std::max(widest, 120);
    const int textH = std::max<int>(1, int(lines.size())) * lineHeight;
    const int w = textW + 2 * kBoxSide;
    const int h = kBoxTop + textH + kBoxButtonGap + kButtonHeight + kBoxBottom;

    Fl_Double_Window dialog(w, h, kTitle);
    dialog.color(fl_rgb_color(240, 240, 240));
    new MessageText(kBoxSide, kBoxTop, textW, textH, std::move(lines));
    auto* ok = new Fl_Button((w - kButtonWidth) / 2, h - kBoxBottom - kButtonHeight, kButtonWidth, kButtonHeight,
                             "OK");
    ok->labelfont(kFace);
    ok->labelsize(kTextSize);
    ok->shortcut(FL_Enter);
    ok->callback([](Fl_Widget* button, void*) { button->window()->hide(); });
    dialog.end();
    dialog.set_modal();
    dialog.size_range(w, h, w, h);
    dialog.position(sx + (sw - w) / 2, sy + (sh - h) / 2);
    dialog.show();
    ok->take_focus();
    while (dialog.shown()) Fl::wait();
}

// ---------------------------------------------------------------------------
// The window

// Frame hints for the window managers that honour them: title and border but
// no buttons, and no taskbar or pager entry. The window keeps the normal
// window type, since managers refuse to minimise utility windows and Label3
// must minimise.
void applyFrameHints(Fl_Window& window) {
    Display* display = fl_display;
    const Window xid = fl_xid(&window);
    if (!display || !xid) return;

    struct MotifHints {
        unsigned long flags, functions, decorations;
        long inputMode;
        unsigned long status;
    };
    const unsigned long kFunctions = 1ul << 0, kDecorations = 1ul << 1;
    const unsigned long kFuncMove = 1ul << 2, kFuncMinimise = 1ul << 3;
    const unsigned long kDecorBorder = 1ul << 1, kDecorTitle = 1ul << 3;
    MotifHints motif{kFunctions | kDecorations, kFuncMove | kFuncMinimise,
                     kDecorBorder | kDecorTitle, 0, 0};
    const Atom motifAtom = XInternAtom(display, "_MOTIF_WM_HINTS", False);
    XChangeProperty(display, xid, motifAtom, motifAtom, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&motif), 5);

    const Atom state = XInternAtom(display, "_NET_WM_STATE", False);
    const Atom skip[2] = {XInternAtom(display, "_NET_WM_STATE_SKIP_TASKBAR", False),
                          XInternAtom(display, "_NET_WM_STATE_SKIP_PAGER", False)};
    // The property for a manager that has not taken the window yet, the
    // message for one that already has.
    XChangeProperty(display, xid, state, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(skip), 2);
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = xid;
    message.xclient.message_type = state;
    message.xclient.format = 32;
    message.xclient.data.l[0] = 1;  // add
    message.xclient.data.l[1] = long(skip[0]);
    message.xclient.data.l[2] = long(skip[1]);
    message.xclient.data.l[3] = 1;  // from an application
    XSendEvent(display, RootWindow(display, fl_screen), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &message);
    XFlush(display);
}

class FrmUpdate final : public velloran::StatusSurface,
                        public velloran::FailureReport,
                        public frmUpdate::CommandHost {
public:
    FrmUpdate(velloran::FileSystem& fs, int scale)
        : scale_(scale),
          window_(layout::kClientWidth * scale, layout::kClientHeight * scale, kTitle),
          commands_(*this, *this, fs, process_) {
        window_.box(FL_NO_BOX);
        window_.color(kGround);
        window_.size_range(window_.w(), window_.h(), window_.w(), window_.h());
        window_.callback(&FrmUpdate::windowCallback, this);
        window_.xclass("velloran-update");

        new Backdrop(0, 0, window_.w(), window_.h());
        news_ = new NewsView(layout::scaled(layout::kNews, scale), scale);
        // Children are made in the layout's order: FLTK gives a click to the
        // last-made child under the pointer, as the layout wants.
        for (int i = 0; i < layout::kLabelCount; ++i) labels_[i] = new Label(layout::kLabels[i], scale);
        window_.end();

        labels_[layout::Label4]->text("100%");
        labels_[layout::Label1]->callback(
            [](Fl_Widget*, void* self) { static_cast<FrmUpdate*>(self)->commands_.Label1_Click(); }, this);
        labels_[layout::Label2]->callback(
            [](Fl_Widget*, void* self) { static_cast<FrmUpdate*>(self)->commands_.Label2_Click(); }, this);
        labels_[layout::Label3]->callback(
            [](Fl_Widget*, void* self) { static_cast<FrmUpdate*>(self)->commands_.Label3_Click(); }, this);
        labels_[layout::lblConnect]->callback(
            [](Fl_Widget*, void* self) {
                static_cast<FrmUpdate*>(self)->commands_.lblConnect_Click(modUpdate::gameFileName);
            },
            this);

        icon_ = std::make_unique<Fl_PNG_Image>(nullptr, velloran_art::icon_png,
                                               int(velloran_art::icon_png_size));
        if (icon_->w() > 0 && icon_->h() > 0) window_.icon(icon_.get());
    }

    // StatusSurface
    void showWindow() override {
        frmUpdate::trace("show");
        if (!window_.shown()) {
            int sx = 0, sy = 0, sw = 0, sh = 0;
            Fl::screen_xywh(sx, sy, sw, sh);
            window_.position(sx + (sw - window_.w()) / 2, sy + (sh - window_.h()) / 2);
            window_.show();
            applyFrameHints(window_);
            frmUpdate::trace("font", gFace.family);
            frmUpdate::trace("scale", std::to_string(scale_));
        } else {
            window_.show();
        }
    }
    void setCaption(const std::string& text) override {
        frmUpdate::trace("caption", text);
        window_.copy_label(frmUpdate::toUtf8(text).c_str());
    }
    void setMainStatus(const std::string& text) override {
        frmUpdate::trace("L2", text);
        labels_[layout::L2]->text(text);
    }
    void setDetailStatus(const std::string& text) override {
        frmUpdate::trace("L3", text);
        labels_[layout::L3]->text(text);
    }
    void setPercentage(const std::string& text) override {
        frmUpdate::trace("Label4", text);
        labels_[layout::Label4]->text(text);
    }
    void setNews(const std::string& text) override {
        frmUpdate::trace("news", text);
        news_->setText(text);
    }
    void setLaunchEnabled(bool enabled) override {
        frmUpdate::trace("lblConnect", enabled ? "1" : "0");
        if (enabled)
            labels_[layout::lblConnect]->activate();
        else
            labels_[layout::lblConnect]->deactivate();
    }
    void pumpMessages() override { Fl::check(); }

    // FailureReport: shows the text and ends the process when it is closed.
    void reportFailure(const std::string& text) override {
        frmUpdate::trace("failure", text);
        runMessageBox(text);
        velloran::endProcessNow(1);
    }

    // CommandHost
    void minimiseWindow() override {
        if (window_.shown()) window_.iconize();
    }
    void showMessageBox(const std::string& text) override { runMessageBox(text); }

private:
    // The window has no close handling of its own. A close request from the
    // window manager ends the program like the close button; Escape, which
    // FLTK would turn into a close, does nothing.
    static void windowCallback(Fl_Widget*, void* self) {
        if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
        static_cast<FrmUpdate*>(self)->commands_.Label2_Click();
    }

    int scale_;
    Fl_Double_Window window_;
    frmUpdate::ProcessControl process_;
    frmUpdate::Commands commands_;
    NewsView* news_ = nullptr;
    std::array<Label*, layout::kLabelCount> labels_{};  // owned by the window
    std::unique_ptr<Fl_PNG_Image> icon_;
};

}  // namespace

int main() {
    chooseFace();
    fl_open_display();

    std::unique_ptr<velloran::FileSystem> fs;
    std::unique_ptr<velloran::HttpTransfer> http;
    std::unique_ptr<FrmUpdate> form;
    try {
        fs = velloran::makeFileSystem();
        velloran::HttpOptions options;
        options.wakeFd = ConnectionNumber(fl_display);
        http = velloran::makeHttpTransfer(options);
        form = std::make_unique<FrmUpdate>(*fs, displayScale(fl_display));
    } catch (const std::exception& e) {
        runMessageBox(e.what());
        return 1;
    }

    frmUpdate::runUpdate(*form, *form, *http, *fs);
    Fl::run();
    // Only the commands end the process; reaching here means the window was
    // closed by other means.
    velloran::endProcessNow(0);
}
