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

// The two text sizes: 9.75 pt for the status lines, the percentage and the
// news, 9 pt for the click areas. Sizes are in hundredths of a point.
enum class FontSize { Text, Small };
inline constexpr int kTextPointsX100 = 975;
inline constexpr int kSmallPointsX100 = 900;
inline constexpr char kFontFace[] = "Tahoma";

// The em height in pixels of a font size at 96 dots per inch, rounded.
constexpr int fontPixels(FontSize size) {
    const int hundredths = size == FontSize::Text ? kTextPointsX100 : kSmallPointsX100;
    return (hundredths * 96 + 3600) / 7200;
}

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

}  // namespace frmUpdate::layout
