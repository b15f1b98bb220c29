#include "scroll_bar.h"

#include <algorithm>

namespace frmUpdate {

int ScrollBar::lastTop(const ScrollRange& range) { return std::max(0, range.lines - std::max(1, range.visible)); }

int ScrollBar::clampTop(const ScrollRange& range, int top) { return std::clamp(top, 0, lastTop(range)); }

ScrollBar::ScrollBar(int length, int breadth, ScrollRange range)
    : length_(std::max(0, length)), breadth_(std::max(0, breadth)), range_(range) {
    range_.visible = std::max(1, range_.visible);
    range_.top = clampTop(range_, range_.top);
    arrow_ = std::min(breadth_, length_ / 2);
    // A box scrolled down whose text then shrank still scrolls back up.
    enabled_ = lastTop(range_) > 0 || range.top > 0;
    const int track = length_ - 2 * arrow_;
    if (!enabled_ || track <= 0) return;
    const int lines = std::max(range_.lines, range_.visible);
    const int shortest = std::min(track, std::max(1, breadth_ / 2));
    thumbLength_ = std::max(shortest, static_cast<int>(static_cast<long long>(track) * range_.visible / lines));
    const int last = lastTop(range_);
    const int room = track - thumbLength_;
    thumbStart_ = arrow_ + (last == 0 ? 0 : static_cast<int>((2LL * room * range_.top + last) / (2LL * last)));
}

ScrollBar::Part ScrollBar::partAt(int offset) const {
    if (offset < 0 || offset >= length_) return Part::Outside;
    if (offset < arrow_) return Part::UpArrow;
    if (offset >= length_ - arrow_) return Part::DownArrow;
    if (!enabled_ || thumbLength_ == 0) return Part::Outside;
    if (offset < thumbStart_) return Part::PageUp;
    if (offset < thumbStart_ + thumbLength_) return Part::Thumb;
    return Part::PageDown;
}

int ScrollBar::topAfter(Part part) const {
    switch (part) {
    case Part::UpArrow: return clampTop(range_, range_.top - 1);
    case Part::DownArrow: return clampTop(range_, range_.top + 1);
    case Part::PageUp: return clampTop(range_, range_.top - range_.visible);
    case Part::PageDown: return clampTop(range_, range_.top + range_.visible);
    default: return range_.top;
    }
}

int ScrollBar::topForThumb(int thumbStart) const {
    const int room = length_ - 2 * arrow_ - thumbLength_;
    const int last = lastTop(range_);
    if (!enabled_ || room <= 0) return range_.top;
    const int moved = std::clamp(thumbStart - arrow_, 0, room);
    return clampTop(range_, static_cast<int>((2LL * moved * last + room) / (2LL * room)));
}

}  // namespace frmUpdate
