// frmUpdate's layout: the client size, every control's rectangle, the
// colours and the fonts, read by every toolkit's window. Plain numbers only,
// no toolkit types. Rectangles are in client pixels at 96 dots per inch, the
// grid the background picture (art/background.*) is drawn on, so a change
// here must match the picture.
#pragma once

namespace frmUpdate::layout {

struct Rect {
    int x, y, w, h;
};

struct Rgb {
    unsigned char r, g, b;
};

inline constexpr int kClientWidth = 386;
inline constexpr int kClientHeight = 354;

// The news box, its vertical scroll bar included; the bar is kNewsBarWidth
// wide at the box's right edge.
inline constexpr Rect kNews{7, 49, 369, 206};
inline constexpr int kNewsBarWidth = 17;

// The news text's margin inside the box on the left and on the right of
// each line; lines start at the box's top edge.
inline constexpr int kNewsMargin = 2;

// The two text sizes: 9.75 pt for the status lines, the percentage and the
// news, 9 pt for the click areas. Sizes are in hundredths of a point.
enum class FontSize { Text, Small };
inline constexpr int kTextPointsX100 = 975;
inline constexpr int kSmallPointsX100 = 900;
inline constexpr char kFontFace[] = "Tahoma";

// The em height in pixels of a font size at 96 dots per inch times
// `scale`, rounded.
constexpr int fontPixels(FontSize size, int scale = 1) {
    const int hundredths = size == FontSize::Text ? kTextPointsX100 : kSmallPointsX100;
    return (hundredths * 96 * scale + 3600) / 7200;
}

// Display scaling. The window grows by whole factors only, so the picture
// is scaled by repeating pixels and stays sharp: the factor is the screen's
// dots per inch over 96, rounded down, at least 1 (144 dpi gives 1, 192
// gives 2). Every rectangle, margin and font size is multiplied by it.
constexpr int scaleForDpi(int dpi) { return dpi < 192 ? 1 : dpi / 96; }
constexpr Rect scaled(const Rect& r, int scale) { return {r.x * scale, r.y * scale, r.w * scale, r.h * scale}; }

// The labels in the order the window lays them out. They are transparent
// texts over the picture; a click area fires on a left click. Where two
// rectangles meet, the later one is on top and takes the click.
enum LabelId { Label4, Label3, Label2, L3, L2, Label1, lblConnect, kLabelCount };

struct LabelPlace {
    Rect rect;
    FontSize size;
    bool clickArea;
};

inline constexpr LabelPlace kLabels[kLabelCount] = {
    {{328, 256, 49, 17}, FontSize::Text, false},    // Label4: percentage
    {{352, 0, 17, 19}, FontSize::Small, true},      // Label3: minimise button
    {{368, 0, 17, 19}, FontSize::Small, true},      // Label2: close button
    {{8, 295, 369, 17}, FontSize::Text, false},     // L3: detail status
    {{8, 263, 369, 17}, FontSize::Text, false},     // L2: main status
    {{312, 320, 65, 27}, FontSize::Small, true},    // Label1: Exit
    {{200, 320, 105, 27}, FontSize::Small, true},   // lblConnect: Continue
};

// Text on the window and in the news box is white; the news box's ground
// is the panel colour the picture shows around it.
inline constexpr Rgb kTextColour{255, 255, 255};
inline constexpr Rgb kGround{0, 90, 125};
inline constexpr Rgb kNewsGround{0, 103, 144};

// The news box's scroll bar, in the skin's colours: a sunken track, the
// arrows and the thumb raised (a face with a light top-left edge and a
// shaded bottom-right one), the arrow marks light, or dim while there is
// nothing to scroll.
inline constexpr Rgb kBarTrack{0, 62, 92};
inline constexpr Rgb kBarFace{24, 122, 165};
inline constexpr Rgb kBarLight{120, 192, 222};
inline constexpr Rgb kBarShade{0, 38, 58};
inline constexpr Rgb kBarMark{232, 243, 248};
inline constexpr Rgb kBarMarkOff{70, 132, 160};

}  // namespace frmUpdate::layout
