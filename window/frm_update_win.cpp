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
// nature. The news box is a read-only EDIT control on top of the picture.

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

constexpr COLORREF colour(layout::Rgb c) { return RGB(c.r, c.g, c.b); }

constexpr COLORREF kWhite = colour(layout::kTextColour);
constexpr COLORREF kGround = colour(layout::kGround);
constexpr COLORREF kNewsGround = colour(layout::kNewsGround);

constexpr int kNewsId = 1;

constexpr RECT toRect(const layout::Rect& r) { return {r.x, r.y, r.x + r.w, r.y + r.h}; }

// The labels' rectangles as Win32 takes them, in the layout's order.
constexpr std::array<RECT, kLabelCount> kLabelRects = [] {
    std::array<RECT, kLabelCount> rects{};
    for (int i = 0; i < kLabelCount; ++i) rects[i] = toRect(layout::kLabels[i].rect);
    return rects;
}();

HFONT makeFont(layout::FontSize size) {
    // A negative height asks for the em height rather than the cell height.
    const std::wstring face(std::begin(layout::kFontFace), std::end(layout::kFontFace) - 1);
    return CreateFontW(-layout::fontPixels(size), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       face.c_str());
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
        textFont_ = makeFont(layout::FontSize::Text);
        smallFont_ = makeFont(layout::FontSize::Small);
        newsBrush_ = CreateSolidBrush(kNewsGround);
        background_ = static_cast<HBITMAP>(
            LoadImageW(instance_, MAKEINTRESOURCEW(IDB_BACKGROUND), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));

        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &FrmUpdate::windowProc;
        windowClass.hInstance = instance_;
        windowClass.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(IDI_VELLORAN));
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = nullptr;  // WM_PAINT covers the whole client area
        windowClass.lpszClassName = kClassName;
        if (!RegisterClassExW(&windowClass))
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
        const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
        const DWORD exStyle = WS_EX_TOOLWINDOW;
        RECT frame{0, 0, kClientWidth, kClientHeight};
        AdjustWindowRectEx(&frame, style, FALSE, exStyle);
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
        const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
        window_ = CreateWindowExW(exStyle, kClassName, caption_.c_str(), style, x, y, width, height, nullptr,
                                  nullptr, instance_, this);
        if (!window_)
            throw velloran::Failure(velloran::FailureKind::Io, "Cannot create the window: " + velloran::win::systemMessage(GetLastError()));

        // Read-only, multi-line, word-wrapped (no horizontal scrolling), no
        // border, the vertical scroll bar always there.
        // The scroll bar inside is the system's own, as wide as
        // layout::kNewsBarWidth at 96 dots per inch.
        const layout::Rect& box = layout::kNews;
        news_ = CreateWindowExW(0, L"EDIT", newsText_.c_str(),
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY |
                                    ES_AUTOVSCROLL | ES_LEFT,
                                box.x, box.y, box.w, box.h, window_, reinterpret_cast<HMENU>(kNewsId), instance_,
                                nullptr);
        SendMessageW(news_, WM_SETFONT, reinterpret_cast<WPARAM>(textFont_), FALSE);
        SendMessageW(news_, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(2, 2));
        // An EDIT hides its bar while the text fits; kept shown (greyed).
        SCROLLINFO bar{};
        bar.cbSize = sizeof bar;
        bar.fMask = SIF_DISABLENOSCROLL | SIF_RANGE | SIF_PAGE;
        SetScrollInfo(news_, SB_VERT, &bar, FALSE);
        ShowScrollBar(news_, SB_VERT, TRUE);
    }

    void setLabel(LabelId label, const std::string& text) {
        texts_[label] = widen(text);
        // The picture under the old text is drawn again with the new one.
        if (window_) InvalidateRect(window_, &kLabelRects[label], FALSE);
    }

    void paint() {
        PAINTSTRUCT ps;
        HDC target = BeginPaint(window_, &ps);
        // Drawn off screen, then copied: the text never flickers over the
        // picture.
        HDC canvas = CreateCompatibleDC(target);
        HBITMAP surface = CreateCompatibleBitmap(target, kClientWidth, kClientHeight);
        HGDIOBJ oldSurface = SelectObject(canvas, surface);

        if (background_) {
            HDC picture = CreateCompatibleDC(target);
            HGDIOBJ oldPicture = SelectObject(picture, background_);
            BitBlt(canvas, 0, 0, kClientWidth, kClientHeight, picture, 0, 0, SRCCOPY);
            SelectObject(picture, oldPicture);
            DeleteDC(picture);
        } else {
            HBRUSH ground = CreateSolidBrush(kGround);
            RECT all{0, 0, kClientWidth, kClientHeight};
            FillRect(canvas, &all, ground);
            DeleteObject(ground);
        }

        SetBkMode(canvas, TRANSPARENT);
        SetTextColor(canvas, kWhite);
        HGDIOBJ oldFont = SelectObject(canvas, textFont_);
        for (int i = 0; i < kLabelCount; ++i) {
            if (texts_[i].empty()) continue;
            SelectObject(canvas, layout::kLabels[i].size == layout::FontSize::Small ? smallFont_ : textFont_);
            RECT box = kLabelRects[i];
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
            if (layout::kLabels[i].clickArea && PtInRect(&kLabelRects[i], point)) return i;
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

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* self = static_cast<FrmUpdate*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            self->window_ = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        auto* self = reinterpret_cast<FrmUpdate*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (!self) return DefWindowProcW(window, message, wParam, lParam);
        return self->handle(message, wParam, lParam);
    }

    HINSTANCE instance_;
    HWND window_ = nullptr;
    HWND news_ = nullptr;
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
