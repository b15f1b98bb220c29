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
#include <fontconfig/fontconfig.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Scrollbar.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Widget.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
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

// FLTK sizes fonts in pixels.
constexpr int kTextSize = layout::fontPixels(layout::FontSize::Text);

Fl_Color colour(layout::Rgb c) { return fl_rgb_color(c.r, c.g, c.b); }

const Fl_Color kWhite = colour(layout::kTextColour);
const Fl_Color kGround = colour(layout::kGround);
const Fl_Color kNewsGround = colour(layout::kNewsGround);

const Fl_Font kFace = FL_FREE_FONT;

// ---------------------------------------------------------------------------
// Fonts

bool fontconfigGives(const char* family) {
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family));
    if (!pattern) return false;
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    bool same = false;
    FcChar8* found = nullptr;
    if (match && FcPatternGetString(match, FC_FAMILY, 0, &found) == FcResultMatch)
        same = strcasecmp(reinterpret_cast<const char*>(found), family) == 0;
    if (match) FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return same;
}

// The layout's face (Tahoma) when the system has it, else Wine's
// Tahoma-compatible face added for this process only, else the system's sans
// face. FLTK draws with Xft, which asks fontconfig's current configuration,
// so an application font added there is found by name.
void chooseFace() {
    const char* family = "Sans";
    if (FcInit()) {
        if (!fontconfigGives(layout::kFontFace))
            FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>(
                                                "/usr/share/wine/fonts/tahoma.ttf"));
        if (fontconfigGives(layout::kFontFace)) family = layout::kFontFace;
    }
    // The leading blank asks FLTK for the regular style of the family.
    static std::string name;
    name = std::string(" ") + family;
    Fl::set_font(kFace, name.c_str());
}

// ---------------------------------------------------------------------------
// Artwork, compiled in

// The picture under everything, decoded by FLTK from the embedded PNG; the
// ground colour if the picture is unusable.
class Backdrop : public Fl_Widget {
public:
    Backdrop(int x, int y, int w, int h)
        : Fl_Widget(x, y, w, h),
          image_(nullptr, velloran_art::background_png, int(velloran_art::background_png_size)) {}
    int handle(int) override { return 0; }

protected:
    void draw() override {
        if (image_.w() > 0 && image_.h() > 0) {
            image_.draw(x(), y(), w(), h());
        } else {
            fl_color(kGround);
            fl_rectf(x(), y(), w(), h());
        }
    }

private:
    Fl_PNG_Image image_;
};

// ---------------------------------------------------------------------------
// Labels

// A transparent label: centred, word-wrapped text drawn from its top edge and
// clipped to its rectangle. A click area fires its callback on a left-button
// press and release inside it; a deactivated label receives no clicks.
// Labels never take the keyboard focus.
class Label : public Fl_Widget {
public:
    explicit Label(const layout::LabelPlace& place)
        : Fl_Widget(place.rect.x, place.rect.y, place.rect.w, place.rect.h),
          size_(layout::fontPixels(place.size)),
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
        fl_font(kFace, size_);
        fl_color(kWhite);
        const int lineHeight = fl_height();
        const auto lines = frmUpdate::wrapLines(
            shown_, w(), [](const std::string& s) { return int(fl_width(s.c_str(), int(s.size()))); });
        int top = y();
        for (const std::string& line : lines) {
            if (top >= y() + h()) break;
            const int width = int(fl_width(line.c_str(), int(line.size())));
            // fl_draw with a length draws the bytes as they are: no '@'
            // symbols, no '&' mnemonics.
            fl_draw(line.c_str(), int(line.size()), x() + (w() - width) / 2,
                    top + lineHeight - fl_descent());
            top += lineHeight;
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

// Read-only, word-wrapped text box without a border whose vertical scroll bar
// is always shown (greyed while the whole text fits). FLTK's text display
// hides its own bar when nothing scrolls, so the bar here is a sibling kept in
// step after every draw, and the display's own bar has no width.
class NewsBox : public Fl_Text_Display {
public:
    NewsBox(int x, int y, int w, int h, int barWidth)
        : Fl_Text_Display(x, y, w - barWidth, h),
          bar_(new Fl_Scrollbar(x + w - barWidth, y, barWidth, h)) {
        buffer(&text_);
        box(FL_FLAT_BOX);
        color(kNewsGround, kNewsGround);
        textcolor(kWhite);
        textfont(kFace);
        textsize(kTextSize);
        selection_color(fl_rgb_color(51, 153, 255));
        scrollbar_width(0);
        wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
        bar_->type(FL_VERTICAL);
        bar_->clear_visible_focus();
        bar_->callback(&NewsBox::scrolled, this);
        syncBar();
    }

    void setText(const std::string& value) {
        // The box shows lines; a CR LF pair (and a lone CR) ends one.
        std::string shown;
        shown.reserve(value.size());
        const std::string utf8 = frmUpdate::toUtf8(value);
        for (std::size_t i = 0; i < utf8.size(); ++i) {
            if (utf8[i] == '\r') {
                shown += '\n';
                if (i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
            } else {
                shown += utf8[i];
            }
        }
        text_.text(shown.c_str());
        scroll(1, 0);
        syncBar();
    }

protected:
    void draw() override {
        Fl_Text_Display::draw();
        syncBar();
    }

private:
    void syncBar() {
        bar_->value(mTopLineNum, mNVisibleLines, 1, mNBufferLines + 2);
        bar_->linesize(3);
        if (mNBufferLines + 1 <= mNVisibleLines && mTopLineNum <= 1)
            bar_->deactivate();
        else
            bar_->activate();
    }

    static void scrolled(Fl_Widget* bar, void* self) {
        auto* box = static_cast<NewsBox*>(self);
        box->scroll(static_cast<Fl_Scrollbar*>(bar)->value(), 0);
    }

    Fl_Text_Buffer text_;
    Fl_Scrollbar* bar_;  // owned by the window, like every child
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
    explicit FrmUpdate(velloran::FileSystem& fs)
        : window_(layout::kClientWidth, layout::kClientHeight, kTitle), commands_(*this, *this, fs, process_) {
        window_.box(FL_NO_BOX);
        window_.color(kGround);
        window_.size_range(layout::kClientWidth, layout::kClientHeight, layout::kClientWidth,
                           layout::kClientHeight);
        window_.callback(&FrmUpdate::windowCallback, this);
        window_.xclass("velloran-update");

        new Backdrop(0, 0, layout::kClientWidth, layout::kClientHeight);
        const layout::Rect& news = layout::kNews;
        news_ = new NewsBox(news.x, news.y, news.w, news.h, layout::kNewsBarWidth);
        // Children are made in the layout's order: FLTK gives a click to the
        // last-made child under the pointer, as the layout wants.
        for (int i = 0; i < layout::kLabelCount; ++i) labels_[i] = new Label(layout::kLabels[i]);
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
            window_.position(sx + (sw - layout::kClientWidth) / 2, sy + (sh - layout::kClientHeight) / 2);
            window_.show();
            applyFrameHints(window_);
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

    Fl_Double_Window window_;
    frmUpdate::ProcessControl process_;
    frmUpdate::Commands commands_;
    NewsBox* news_ = nullptr;
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
        form = std::make_unique<FrmUpdate>(*fs);
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
