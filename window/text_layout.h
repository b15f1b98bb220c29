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

// Breaks `text` into the lines a label of `width` pixels shows. CR LF, CR and
// LF end a line. Lines break at blanks: a line takes as many words as fit, a
// word wider than the label stands alone on its line (the label clips it),
// and the blanks at a break are dropped. `measure` gives a text's width in
// pixels. An empty text gives no lines.
std::vector<std::string> wrapLines(const std::string& text, int width,
                                   const std::function<int(const std::string&)>& measure);

}  // namespace frmUpdate
