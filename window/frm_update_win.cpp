// frmUpdate on Windows: the skinned main window in plain Win32, the message
// boxes, the failure report, and the process start.
//
// The process starts in WinMain, which makes the services, binds the engine
// and calls modUpdate::startUpdate(). That creates and shows the window and
// runs the update, pumping the window's messages while it waits; then the
// message loop carries the window until a window command or the failure
// report ends the process.
//
// The labels are not controls: they are rectangles of the window whose texts
// WM_PAINT draws over the background picture, so they are transparent by
// nature. The news box is a read-only EDIT control on top of the picture,
// without a scroll bar of its own: beside it is the skinned bar, a window of
// this file that scrolls the EDIT and follows it.
//
// The program declares itself aware of each monitor's dots per inch
// (velloran.manifest) and draws everything at a whole factor of its 96-dpi
// layout: rectangles and fonts multiplied, the picture by repeated pixels.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <iterator>
#include <memory>
#include <string>

#include "failure.h"
#include "../engine/mod_update.h"
#include "../platform/fs.h"
#include "../platform/http.h"
#include "../platform/process.h"
#include "../platform/start_win.h"
#include "../platform/text_win.h"
#include "commands.h"
#include "layout.h"
#include "run_update.h"
#include "resource.h"
#include "scroll_bar.h"
#include "text_layout.h"
#include "trace.h"

#ifndef VELLORAN_UPDATE_ADDRESS
#error "VELLORAN_UPDATE_ADDRESS must be defined by the build (it may be empty)"
#endif

namespace {

using velloran::win::widen;

namespace layout = frmUpdate::layout;
using layout::kClientHeight;
using layout::kClientWidth;
using layout::kLabelCount;
using layout::LabelId;

constexpr const wchar_t* kTitle = L"Velloran";
constexpr const wchar_t* kClassName = L"VelloranUpdateFrame";
constexpr const wchar_t* kBarClassName = L"VelloranNewsBar";

constexpr COLORREF colour(layout::Rgb c) { return RGB(c.r, c.g, c.b); }

constexpr COLORREF kWhite = colour(layout::kTextColour);
constexpr COLORREF kGround = colour(layout::kGround);
constexpr COLORREF kNewsGround = colour(layout::kNewsGround);

constexpr int kNewsId = 1;

constexpr RECT toRect(const layout::Rect& r) { return {r.x, r.y, r.x + r.w, r.y + r.h}; }

// A label's rectangle as Win32 takes it, at a scale.
RECT labelRect(int label, int scale) { return toRect(layout::scaled(layout::kLabels[label].rect, scale)); }

HFONT makeFont(layout::FontSize size, int scale) {
    // A negative height asks for the em height rather than the cell height.
    const std::wstring face(std::begin(layout::kFontFace), std::end(layout::kFontFace) - 1);
    return CreateFontW(-layout::fontPixels(size, scale), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       face.c_str());
}

// The dots per inch of the monitor a window is on, or of the system when
// there is no window yet; GetDpiForWindow only exists from Windows 10 on.
int dotsPerInch(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (window && getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window)) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

// The face GDI actually chose for a font, which may not be the one asked for.
std::wstring faceOf(HFONT font) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return face;
}

int lineHeightOf(HFONT font) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return std::max(1, static_cast<int>(metrics.tmHeight));
}

void fill(HDC dc, int x, int y, int w, int h, layout::Rgb rgb) {
    if (w <= 0 || h <= 0) return;
    SetDCBrushColor(dc, colour(rgb));
    RECT r{x, y, x + w, y + h};
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

// UTF-16 and UTF-8: the box's text is fitted as UTF-8, which keeps every
// character whole whatever the ANSI code page was.
std::string utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// Height of the work area that the box's title bar, margins and button
// take, and so its text cannot.
constexpr int kBoxFrameHeight = 160;

// The text as the message box is to show it. MessageBoxW breaks lines at
// blanks but never inside a word, and grows with its text however large:
// a failure naming a path thousands of characters long made a box far
// wider than the screen. So each word is kept within half the work area's
// width and the lines within its height, measured in the message font.
// The box may break the lines again at its own, narrower width (Wine's is
// about 250 pixels), so only half the lines that fit are kept.
std::wstring boxText(const std::string& text) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    HFONT font = SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)
                     ? CreateFontIndirectW(&metrics.lfMessageFont)
                     : nullptr;
    HDC dc = GetDC(nullptr);
    HGDIOBJ oldFont = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW textMetrics{};
    GetTextMetricsW(dc, &textMetrics);
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);

    const int maxWidth = std::max(100, static_cast<int>(work.right - work.left) / 2);
    const int lineHeight = std::max(1, static_cast<int>(textMetrics.tmHeight + textMetrics.tmExternalLeading));
    const int maxLines = std::max(1, (static_cast<int>(work.bottom - work.top) - kBoxFrameHeight) / lineHeight / 2);
    const auto measure = [dc](const std::string& part) {
        const std::wstring wide = fromUtf8(part);
        SIZE size{};
        GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
        return static_cast<int>(size.cx);
    };
    const auto lines = frmUpdate::fitMessage(utf8(widen(text)), maxWidth, maxWidth, maxLines, measure);

    SelectObject(dc, oldFont);
    ReleaseDC(nullptr, dc);
    if (font) DeleteObject(font);

    std::wstring shown;
    for (const std::string& line : lines) {
        if (!shown.empty()) shown += L'\n';
        shown += fromUtf8(line);
    }
    return shown;
}

void showMessageBoxText(HWND owner, const std::string& text) {
    // OK only, no icon; application-modal to the window that owns it.
    MessageBoxW(owner, boxText(text).c_str(), kTitle, MB_OK | MB_APPLMODAL | MB_SETFOREGROUND);
}

class FrmUpdate final : public velloran::StatusSurface,
                        public velloran::FailureReport,
                        public frmUpdate::CommandHost {
public:
    FrmUpdate(HINSTANCE instance, velloran::FileSystem& fs)
        : instance_(instance), commands_(*this, *this, fs, process_) {
        texts_[layout::Label4] = L"100%";
        makeFonts(layout::scaleForDpi(dotsPerInch(nullptr)));
        newsBrush_ = CreateSolidBrush(kNewsGround);
        background_ = static_cast<HBITMAP>(
            LoadImageW(instance_, MAKEINTRESOURCEW(IDB_BACKGROUND), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));

        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &FrmUpdate::procOf<&FrmUpdate::window_, &FrmUpdate::handle>;
        windowClass.hInstance = instance_;
        windowClass.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(IDI_VELLORAN));
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = nullptr;  // WM_PAINT covers the whole client area
        windowClass.lpszClassName = kClassName;
        if (!RegisterClassExW(&windowClass))
            throw velloran::Failure(velloran::FailureKind::Io, "Cannot create the window: " + velloran::win::systemMessage(GetLastError()));
        WNDCLASSEXW barClass{};
        barClass.cbSize = sizeof barClass;
        barClass.lpfnWndProc = &FrmUpdate::procOf<&FrmUpdate::bar_, &FrmUpdate::barHandle>;
        barClass.hInstance = instance_;
        barClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        barClass.lpszClassName = kBarClassName;
        if (!RegisterClassExW(&barClass))
            throw velloran::Failure(velloran::FailureKind::Io, "Cannot create the window: " + velloran::win::systemMessage(GetLastError()));
    }

    ~FrmUpdate() override {
        if (window_) DestroyWindow(window_);
        if (background_) DeleteObject(background_);
        DeleteObject(newsBrush_);
        DeleteObject(smallFont_);
        DeleteObject(textFont_);
    }

    // StatusSurface
    void showWindow() override {
        frmUpdate::trace("show");
        if (!window_) create();
        ShowWindow(window_, SW_SHOWNORMAL);
        UpdateWindow(window_);
        // The news box is the only control that takes the focus.
        SetFocus(news_);
    }
    void setCaption(const std::string& text) override {
        frmUpdate::trace("caption", text);
        caption_ = widen(text);
        if (window_) SetWindowTextW(window_, caption_.c_str());
    }
    void setMainStatus(const std::string& text) override {
        frmUpdate::trace("L2", text);
        setLabel(layout::L2, text);
    }
    void setDetailStatus(const std::string& text) override {
        frmUpdate::trace("L3", text);
        setLabel(layout::L3, text);
    }
    void setPercentage(const std::string& text) override {
        frmUpdate::trace("Label4", text);
        setLabel(layout::Label4, text);
    }
    void setNews(const std::string& text) override {
        frmUpdate::trace("news", text);
        newsText_ = widen(text);
        if (news_) SetWindowTextW(news_, newsText_.c_str());
        followNews();
    }
    void setLaunchEnabled(bool enabled) override {
        frmUpdate::trace("lblConnect", enabled ? "1" : "0");
        launchEnabled_ = enabled;
    }
    void pumpMessages() override {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            // A quit request belongs to the message loop after the run; it
            // is put back for it.
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                return;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    // FailureReport: shows the text and ends the process when it is closed.
    void reportFailure(const std::string& text) override {
        frmUpdate::trace("failure", text);
        showMessageBoxText(window_, text);
        velloran::endProcessNow(1);
    }

    // CommandHost
    void minimiseWindow() override {
        if (window_) ShowWindow(window_, SW_MINIMIZE);
    }
    void showMessageBox(const std::string& text) override { showMessageBoxText(window_, text); }

private:
    void create() {
        // A fixed tool window: small title bar with the caption, a thin frame
        // that cannot be resized, no control box and so no buttons, and no
        // taskbar button.
        const RECT frame = frameFor(scale_);
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
        const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
        window_ = CreateWindowExW(kExStyle, kClassName, caption_.c_str(), kStyle, x, y, width, height, nullptr,
                                  nullptr, instance_, this);
        if (!window_)
            throw velloran::Failure(velloran::FailureKind::Io, "Cannot create the window: " + velloran::win::systemMessage(GetLastError()));

        // Read-only, multi-line, word-wrapped (no horizontal scrolling), no
        // border and no bar of its own.
        news_ = CreateWindowExW(0, L"EDIT", newsText_.c_str(),
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL |
                                    ES_LEFT,
                                0, 0, 0, 0, window_, reinterpret_cast<HMENU>(kNewsId), instance_, nullptr);
        bar_ = CreateWindowExW(0, kBarClassName, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window_, nullptr, instance_,
                               this);
        // Every message the EDIT handles may have scrolled it: the bar
        // follows after each (keys, wheel, selecting with the mouse, new text).
        SetWindowLongPtrW(news_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        editProc_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(news_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrmUpdate::newsProc)));

        // The monitor the window opened on may have other dots per inch than
        // the system's.
        const int scale = layout::scaleForDpi(dotsPerInch(window_));
        if (scale != scale_) {
            makeFonts(scale);
            const RECT resized = frameFor(scale_);
            SetWindowPos(window_, nullptr, 0, 0, resized.right - resized.left, resized.bottom - resized.top,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        placeNews();
        frmUpdate::trace("font", utf8(faceOf(textFont_)));
        frmUpdate::trace("scale", std::to_string(scale_));
    }

    static constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
    static constexpr DWORD kExStyle = WS_EX_TOOLWINDOW;

    // The window's outer rectangle for its client area at a scale.
    static RECT frameFor(int scale) {
        RECT frame{0, 0, kClientWidth * scale, kClientHeight * scale};
        AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
        return frame;
    }

    void makeFonts(int scale) {
        if (textFont_) DeleteObject(textFont_);
        if (smallFont_) DeleteObject(smallFont_);
        scale_ = scale;
        textFont_ = makeFont(layout::FontSize::Text, scale);
        smallFont_ = makeFont(layout::FontSize::Small, scale);
        newsLineHeight_ = lineHeightOf(textFont_);
    }

    // Puts the EDIT and its bar in the news box at the current scale.
    void placeNews() {
        const layout::Rect box = layout::scaled(layout::kNews, scale_);
        const int barWidth = layout::kNewsBarWidth * scale_;
        SetWindowPos(news_, nullptr, box.x, box.y, box.w - barWidth, box.h, SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(bar_, nullptr, box.x + box.w - barWidth, box.y, barWidth, box.h, SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(news_, WM_SETFONT, reinterpret_cast<WPARAM>(textFont_), TRUE);
        const int margin = layout::kNewsMargin * scale_;
        SendMessageW(news_, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(margin, margin));
        followNews();
    }

    // ---- the news box's bar

    frmUpdate::ScrollRange newsRange() const {
        RECT format{};
        SendMessageW(news_, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
        frmUpdate::ScrollRange range;
        range.lines = static_cast<int>(SendMessageW(news_, EM_GETLINECOUNT, 0, 0));
        range.visible = std::max(1, static_cast<int>(format.bottom - format.top) / newsLineHeight_);
        range.top = static_cast<int>(SendMessageW(news_, EM_GETFIRSTVISIBLELINE, 0, 0));
        return range;
    }

    frmUpdate::ScrollBar barGeometry() const {
        RECT client{};
        GetClientRect(bar_, &client);
        return frmUpdate::ScrollBar(client.bottom, client.right, newsRange());
    }

    // Redraws the bar when the EDIT's lines or its top line changed.
    void followNews() {
        // The queries below are messages to the EDIT too, which come back here.
        if (!news_ || !bar_ || following_) return;
        following_ = true;
        const frmUpdate::ScrollRange range = newsRange();
        following_ = false;
        if (range.lines == shownRange_.lines && range.visible == shownRange_.visible && range.top == shownRange_.top)
            return;
        shownRange_ = range;
        InvalidateRect(bar_, nullptr, FALSE);
    }

    void scrollNewsTo(int top) {
        const frmUpdate::ScrollRange range = newsRange();
        const int target = frmUpdate::ScrollBar::clampTop(range, top);
        if (target != range.top) SendMessageW(news_, EM_LINESCROLL, 0, target - range.top);
        followNews();
    }

    // A raised face: light top and left edges, shaded bottom and right ones;
    // sunken (edges swapped) while pressed.
    void raised(HDC dc, int x, int y, int w, int h, bool pressed) const {
        const int edge = scale_;
        fill(dc, x, y, w, edge, pressed ? layout::kBarShade : layout::kBarLight);
        fill(dc, x, y, edge, h, pressed ? layout::kBarShade : layout::kBarLight);
        fill(dc, x, y + h - edge, w, edge, pressed ? layout::kBarLight : layout::kBarShade);
        fill(dc, x + w - edge, y, edge, h, pressed ? layout::kBarLight : layout::kBarShade);
        fill(dc, x + edge, y + edge, w - 2 * edge, h - 2 * edge, layout::kBarFace);
    }

    void arrow(HDC dc, int x, int y, int side, bool up, bool enabled, bool pressed) const {
        raised(dc, x, y, side, side, pressed);
        // A triangle as wide as half the button, pointing up or down.
        const int half = std::max(2, side / 4);
        const int cx = x + side / 2 + (pressed ? scale_ : 0);
        const int cy = y + (side - half) / 2 + (pressed ? scale_ : 0);
        const POINT upward[3] = {{cx, cy}, {cx + half, cy + half}, {cx - half, cy + half}};
        const POINT downward[3] = {{cx - half, cy}, {cx + half, cy}, {cx, cy + half}};
        const COLORREF mark = colour(enabled ? layout::kBarMark : layout::kBarMarkOff);
        SetDCBrushColor(dc, mark);
        SetDCPenColor(dc, mark);
        HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(DC_BRUSH));
        HGDIOBJ oldPen = SelectObject(dc, GetStockObject(DC_PEN));
        Polygon(dc, up ? upward : downward, 3);
        SelectObject(dc, oldPen);
        SelectObject(dc, oldBrush);
    }

    void paintBar() {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(bar_, &ps);
        RECT client{};
        GetClientRect(bar_, &client);
        const frmUpdate::ScrollBar bar = barGeometry();
        fill(dc, 0, 0, client.right, client.bottom, layout::kBarTrack);
        const int side = bar.arrowLength();
        arrow(dc, 0, 0, side, true, bar.enabled(), barPressed_ == Part::UpArrow);
        arrow(dc, 0, client.bottom - side, side, false, bar.enabled(), barPressed_ == Part::DownArrow);
        if (bar.thumbLength() > 0) raised(dc, 0, bar.thumbStart(), client.right, bar.thumbLength(), false);
        EndPaint(bar_, &ps);
    }

    // One step of a held arrow or track: the track only until the thumb
    // reaches the pointer.
    void barStep() {
        if (barPressed_ == Part::Outside || barPressed_ == Part::Thumb) return;
        const frmUpdate::ScrollBar bar = barGeometry();
        POINT pointer{};
        GetCursorPos(&pointer);
        ScreenToClient(bar_, &pointer);
        if (barPressed_ != Part::UpArrow && barPressed_ != Part::DownArrow &&
            bar.partAt(pointer.y) != barPressed_)
            return;
        scrollNewsTo(bar.topAfter(barPressed_));
    }

    LRESULT barHandle(UINT message, WPARAM wParam, LPARAM lParam) {
        const int y = static_cast<short>(HIWORD(lParam));
        switch (message) {
        case WM_PAINT:
            paintBar();
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_LBUTTONDOWN: {
            const frmUpdate::ScrollBar bar = barGeometry();
            barPressed_ = bar.partAt(y);
            SetCapture(bar_);
            if (barPressed_ == Part::Thumb) {
                grip_ = y - bar.thumbStart();
            } else if (barPressed_ != Part::Outside) {
                barStep();
                SetTimer(bar_, 1, 350, nullptr);
            }
            InvalidateRect(bar_, nullptr, FALSE);
            return 0;
        }
        case WM_MOUSEMOVE:
            if (barPressed_ == Part::Thumb) scrollNewsTo(barGeometry().topForThumb(y - grip_));
            return 0;
        case WM_TIMER:
            barStep();
            SetTimer(bar_, 1, 50, nullptr);
            return 0;
        case WM_LBUTTONUP:
            if (GetCapture() == bar_) ReleaseCapture();
            return 0;
        case WM_CAPTURECHANGED:
            KillTimer(bar_, 1);
            barPressed_ = Part::Outside;
            InvalidateRect(bar_, nullptr, FALSE);
            return 0;
        case WM_MOUSEWHEEL:
            // The wheel over the bar scrolls the box as over the box.
            return SendMessageW(news_, message, wParam, lParam);
        default:
            break;
        }
        return DefWindowProcW(bar_, message, wParam, lParam);
    }

    // The window procedure of a window this object made: `Handle` receives
    // the window at creation, `Handler` every message after it.
    template <HWND FrmUpdate::*Handle, LRESULT (FrmUpdate::*Handler)(UINT, WPARAM, LPARAM)>
    static LRESULT CALLBACK procOf(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* self = static_cast<FrmUpdate*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            self->*Handle = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        auto* self = reinterpret_cast<FrmUpdate*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (!self) return DefWindowProcW(window, message, wParam, lParam);
        return (self->*Handler)(message, wParam, lParam);
    }

    static LRESULT CALLBACK newsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<FrmUpdate*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        const LRESULT result = CallWindowProcW(self->editProc_, window, message, wParam, lParam);
        if (message != WM_PAINT && message != WM_NCDESTROY && message != WM_DESTROY) self->followNews();
        return result;
    }

    void setLabel(LabelId label, const std::string& text) {
        texts_[label] = widen(text);
        // The picture under the old text is drawn again with the new one.
        const RECT rect = labelRect(label, scale_);
        if (window_) InvalidateRect(window_, &rect, FALSE);
    }

    void paint() {
        PAINTSTRUCT ps;
        HDC target = BeginPaint(window_, &ps);
        // Drawn off screen, then copied: the text never flickers over the
        // picture.
        const int width = kClientWidth * scale_, height = kClientHeight * scale_;
        HDC canvas = CreateCompatibleDC(target);
        HBITMAP surface = CreateCompatibleBitmap(target, width, height);
        HGDIOBJ oldSurface = SelectObject(canvas, surface);

        if (background_) {
            HDC picture = CreateCompatibleDC(target);
            HGDIOBJ oldPicture = SelectObject(picture, background_);
            // Whole factors, each pixel repeated: no blur.
            SetStretchBltMode(canvas, COLORONCOLOR);
            StretchBlt(canvas, 0, 0, width, height, picture, 0, 0, kClientWidth, kClientHeight, SRCCOPY);
            SelectObject(picture, oldPicture);
            DeleteDC(picture);
        } else {
            HBRUSH ground = CreateSolidBrush(kGround);
            RECT all{0, 0, width, height};
            FillRect(canvas, &all, ground);
            DeleteObject(ground);
        }

        SetBkMode(canvas, TRANSPARENT);
        SetTextColor(canvas, kWhite);
        HGDIOBJ oldFont = SelectObject(canvas, textFont_);
        for (int i = 0; i < kLabelCount; ++i) {
            if (texts_[i].empty()) continue;
            SelectObject(canvas, layout::kLabels[i].size == layout::FontSize::Small ? smallFont_ : textFont_);
            RECT box = labelRect(i, scale_);
            // Centred, broken at word boundaries, cut at the label's edges;
            // '&' is shown as it stands.
            DrawTextW(canvas, texts_[i].c_str(), static_cast<int>(texts_[i].size()), &box,
                      DT_CENTER | DT_TOP | DT_WORDBREAK | DT_NOPREFIX);
        }
        SelectObject(canvas, oldFont);

        BitBlt(target, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
               ps.rcPaint.bottom - ps.rcPaint.top, canvas, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
        SelectObject(canvas, oldSurface);
        DeleteObject(surface);
        DeleteDC(canvas);
        EndPaint(window_, &ps);
    }

    // The click area under a client point: the later label in the layout
    // wins where two meet. Labels that are no click area take no clicks.
    int clickAreaAt(POINT point) const {
        for (int i = kLabelCount - 1; i >= 0; --i) {
            const RECT rect = labelRect(i, scale_);
            if (layout::kLabels[i].clickArea && PtInRect(&rect, point)) return i;
        }
        return -1;
    }

    void click(int label) {
        switch (label) {
        case layout::Label1: commands_.Label1_Click(); break;
        case layout::Label2: commands_.Label2_Click(); break;
        case layout::Label3: commands_.Label3_Click(); break;
        case layout::lblConnect:
            // A disabled label receives no clicks.
            if (launchEnabled_) commands_.lblConnect_Click(modUpdate::gameFileName);
            break;
        default: break;
        }
    }

    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
        case WM_PAINT:
            paint();
            return 0;
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT covers everything
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
            if (reinterpret_cast<HWND>(lParam) == news_) {
                HDC dc = reinterpret_cast<HDC>(wParam);
                SetTextColor(dc, kWhite);
                SetBkColor(dc, kNewsGround);
                return reinterpret_cast<LRESULT>(newsBrush_);
            }
            break;
        case WM_LBUTTONDOWN: {
            // A click is a press and a release of the left button over the
            // same label.
            pressed_ = clickAreaAt({static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
            if (pressed_ >= 0) SetCapture(window_);
            return 0;
        }
        case WM_LBUTTONUP: {
            const int pressed = pressed_;
            pressed_ = -1;
            if (GetCapture() == window_) ReleaseCapture();
            if (pressed >= 0 &&
                clickAreaAt({static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))}) == pressed)
                click(pressed);
            return 0;
        }
        case WM_CAPTURECHANGED:
            pressed_ = -1;
            return 0;
        case WM_DPICHANGED: {
            // Moved to a monitor of other dots per inch: the whole window is
            // drawn again at the new factor, where the system suggests.
            const int scale = layout::scaleForDpi(HIWORD(wParam));
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            if (scale != scale_) {
                makeFonts(scale);
                placeNews();
            }
            const RECT frame = frameFor(scale_);
            SetWindowPos(window_, nullptr, suggested->left, suggested->top, frame.right - frame.left,
                         frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
            InvalidateRect(window_, nullptr, FALSE);
            frmUpdate::trace("scale", std::to_string(scale_));
            return 0;
        }
        case WM_CLOSE:
            // No close handling of its own: a close the system asks for
            // (Alt+F4) ends the program like the close button.
            commands_.Label2_Click();
            return 0;
        case WM_DESTROY:
            window_ = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            break;
        }
        return DefWindowProcW(window_, message, wParam, lParam);
    }


    using Part = frmUpdate::ScrollBar::Part;

    HINSTANCE instance_;
    HWND window_ = nullptr;
    HWND news_ = nullptr;
    HWND bar_ = nullptr;
    WNDPROC editProc_ = nullptr;
    int scale_ = 1;
    int newsLineHeight_ = 16;
    frmUpdate::ScrollRange shownRange_{-1, -1, -1};
    Part barPressed_ = Part::Outside;
    bool following_ = false;
    int grip_ = 0;  // where the thumb was taken, from its top edge
    HFONT textFont_ = nullptr;
    HFONT smallFont_ = nullptr;
    HBRUSH newsBrush_ = nullptr;
    HBITMAP background_ = nullptr;
    std::wstring caption_ = kTitle;
    std::wstring newsText_;
    std::array<std::wstring, kLabelCount> texts_;
    bool launchEnabled_ = true;
    int pressed_ = -1;
    frmUpdate::ProcessControl process_;
    frmUpdate::Commands commands_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Trace lines end in a bare line feed, as on every other platform.
    _setmode(_fileno(stderr), _O_BINARY);
    velloran::win::restrictDllSearch();
    velloran::win::removeAsideCopies();

    std::unique_ptr<velloran::FileSystem> fs;
    std::unique_ptr<velloran::HttpTransfer> http;
    std::unique_ptr<FrmUpdate> form;
    try {
        fs = velloran::makeFileSystem();
        http = velloran::makeHttpTransfer(velloran::HttpOptions{});
        form = std::make_unique<FrmUpdate>(instance, *fs);
    } catch (const std::exception& e) {
        showMessageBoxText(nullptr, e.what());
        return 1;
    }

    frmUpdate::runUpdate(*form, *form, *http, *fs);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // Only the commands end the process; reaching here means the window was
    // destroyed by other means.
    velloran::endProcessNow(0);
}
