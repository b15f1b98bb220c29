// The news box's vertical scroll bar, toolkit-free: where its parts lie and
// what a click or a drag on them does to the lines shown. Both toolkits draw
// and drive their bar from this, so the bars look and act alike.
//
// The bar is `length` pixels long and `breadth` wide, top to bottom: the up
// arrow, the track with the thumb in it, the down arrow. Each arrow is a
// square of the bar's breadth (half the length each when the bar is
// shorter). The thumb's length is to the track's as the visible lines are to
// all lines, but never below half the breadth; its place in the track is
// that of the top line in the lines that can be on top. With nothing to
// scroll (every line visible, and the first on top) the bar is disabled: no
// thumb, arrows greyed.
#pragma once

namespace frmUpdate {

struct ScrollRange {
    int lines = 0;    // all lines of the text
    int visible = 1;  // lines the box shows at once
    int top = 0;      // the line shown on top, from 0
};

class ScrollBar {
public:
    enum class Part { Outside, UpArrow, PageUp, Thumb, PageDown, DownArrow };

    ScrollBar(int length, int breadth, ScrollRange range);

    // The line on top after scrolling to `top`: clamped to 0 .. lastTop().
    static int clampTop(const ScrollRange& range, int top);
    // The last line that can be on top: the one that shows the last line at
    // the bottom, or 0.
    static int lastTop(const ScrollRange& range);

    bool enabled() const { return enabled_; }
    int arrowLength() const { return arrow_; }
    // The thumb, in pixels from the bar's top edge; both 0 when disabled.
    int thumbStart() const { return thumbStart_; }
    int thumbLength() const { return thumbLength_; }

    // The part at `offset` pixels from the top edge; Outside outside the bar,
    // and for the track and thumb while disabled (the arrows stay).
    Part partAt(int offset) const;

    // The line on top that a click on `part` leads to: one line for an
    // arrow, a page (the visible lines, at least one) for the track.
    // Unchanged for the thumb and Outside.
    int topAfter(Part part) const;

    // The line on top while the thumb is dragged so that it starts at
    // `thumbStart` pixels: the nearest line, clamped.
    int topForThumb(int thumbStart) const;

private:
    int length_, breadth_;
    ScrollRange range_;
    bool enabled_;
    int arrow_, thumbStart_ = 0, thumbLength_ = 0;
};

}  // namespace frmUpdate
