#include "text_layout.h"

#include <algorithm>
#include <cstdint>

namespace frmUpdate {
namespace {

// Length of the valid UTF-8 sequence at `at`, or 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF are not).
std::size_t utf8Sequence(const std::string& s, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) { length = 2; value = lead & 0x1F; }
    else if (lead >= 0xE0 && lead <= 0xEF) { length = 3; value = lead & 0x0F; }
    else if (lead >= 0xF0 && lead <= 0xF4) { length = 4; value = lead & 0x07; }
    else return 0;
    if (at + length > s.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000)) return 0;
    if (value >= 0xD800 && value <= 0xDFFF) return 0;
    if (value > 0x10FFFF) return 0;
    return length;
}

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | code >> 6);
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xE0 | code >> 12);
        out += char(0x80 | (code >> 6 & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// Windows-1252 at 0x80..0x9F; the five unassigned bytes map to the C1
// control of the same value, as the Windows conversion does.
constexpr std::uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The end of the longest run of whole characters from `start`, at least one
// and ending by `end`, that is at most `width` pixels wide.
std::size_t longestFit(const std::string& p, std::size_t start, std::size_t end, int width,
                       const std::function<int(const std::string&)>& measure) {
    std::vector<std::size_t> ends;  // where each character after `start` ends
    for (std::size_t i = start + 1; i <= end; ++i)
        if (i == end || (static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) ends.push_back(i);
    // Widths grow with the characters taken: halving finds the most that fit
    // in a dozen measurements even for a word of thousands of characters.
    std::size_t low = 0, high = ends.size() - 1;
    while (low < high) {
        const std::size_t mid = (low + high + 1) / 2;
        if (measure(p.substr(start, ends[mid] - start)) <= width)
            low = mid;
        else
            high = mid - 1;
    }
    return ends[low];
}

}  // namespace

LineMetrics windowsLineMetrics(int unitsPerEm, int winAscent, int winDescent, int emPixels) {
    const auto scale = [&](int units) {
        const long long scaled = 2LL * units * emPixels + unitsPerEm;  // twice, plus a half
        return static_cast<int>(scaled / (2LL * unitsPerEm));
    };
    return {scale(winAscent), scale(winDescent)};
}

std::string toUtf8(const std::string& text) {
    bool valid = true;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8Sequence(text, i);
        if (n == 0) { valid = false; break; }
        i += n;
    }
    if (valid) return text;
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            out += c;
        else if (byte < 0xA0)
            appendUtf8(out, kCp1252High[byte - 0x80]);
        else
            appendUtf8(out, byte);
    }
    return out;
}

std::vector<std::string> wrapLines(const std::string& text, int width,
                                   const std::function<int(const std::string&)>& measure,
                                   Wrap wrap) {
    std::vector<std::string> lines;
    if (text.empty()) return lines;

    std::vector<std::string> paragraphs(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            paragraphs.emplace_back();
        } else {
            paragraphs.back() += text[i];
        }
    }

    for (const std::string& p : paragraphs) {
        std::size_t start = 0;
        do {
            // Take words while the line still fits; the first word always.
            std::size_t fitEnd = std::string::npos;
            std::size_t scan = start;
            while (true) {
                std::size_t wordStart = p.find_first_not_of(' ', scan);
                if (wordStart == std::string::npos) wordStart = p.size();
                std::size_t wordEnd = p.find(' ', wordStart);
                if (wordEnd == std::string::npos) wordEnd = p.size();
                // The edit control measures a word with the blank after it.
                const std::size_t measured = wordEnd - start + (wrap == Wrap::TextBox && wordEnd < p.size());
                const bool fits = measure(p.substr(start, measured)) <= width;
                if (fitEnd != std::string::npos && !fits) break;
                if (!fits && wrap == Wrap::TextBox) {
                    fitEnd = longestFit(p, start, wordEnd, width, measure);
                    break;
                }
                fitEnd = wordEnd;
                if (wordEnd == p.size() || !fits) break;
                scan = wordEnd;
            }
            lines.push_back(p.substr(start, fitEnd - start));
            start = p.find_first_not_of(' ', fitEnd);
        } while (start != std::string::npos);
    }
    return lines;
}

std::string shortenMiddle(const std::string& text, int width,
                          const std::function<int(const std::string&)>& measure) {
    if (measure(text) <= width) return text;
    // Where each character starts: a continuation byte never does.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    const std::size_t count = starts.size();
    starts.push_back(text.size());
    const auto keeping = [&](std::size_t kept) {
        const std::size_t head = (kept + 1) / 2;
        const std::size_t tail = kept / 2;
        return text.substr(0, starts[head]) + "..." + text.substr(starts[count - tail]);
    };
    // The width grows with the characters kept, so the most that fit is
    // found by halving; a word of thousands of characters takes a dozen
    // measurements, not thousands.
    std::size_t low = 0, high = count == 0 ? 0 : count - 1;
    while (low < high) {
        const std::size_t mid = (low + high + 1) / 2;
        if (measure(keeping(mid)) <= width)
            low = mid;
        else
            high = mid - 1;
    }
    return keeping(low);
}

std::vector<std::string> fitMessage(const std::string& text, int wrapWidth, int maxWidth, int maxLines,
                                    const std::function<int(const std::string&)>& measure) {
    // Words too wide for the box first: wrapping breaks only at blanks, so
    // such a word would otherwise set the box's width by itself.
    std::string shortened;
    shortened.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find_first_of(" \r\n", at), text.size());
        if (end == at) {
            shortened += text[at++];
            continue;
        }
        shortened += shortenMiddle(text.substr(at, end - at), maxWidth, measure);
        at = end;
    }

    std::vector<std::string> lines = wrapLines(shortened, std::min(wrapWidth, maxWidth), measure);
    // Blanks that open a paragraph stay with its first word and can still
    // make a line too wide.
    for (std::string& line : lines) line = shortenMiddle(line, maxWidth, measure);

    const std::size_t room = static_cast<std::size_t>(std::max(maxLines, 1));
    if (lines.size() > room) {
        const std::size_t kept = room - 1;
        const std::size_t head = (kept + 1) / 2;
        const std::size_t tail = kept / 2;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(head),
                    lines.end() - static_cast<std::ptrdiff_t>(tail));
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(head), "...");
    }
    return lines;
}

}  // namespace frmUpdate
