// How long the body of a final response is, judged from its framing headers
// once the backend's HTTP library has read them. Shared by the backends, so
// that both refuse the same ambiguous answers with the same words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velloran {

struct Framing {
    // The announced body length; nullopt when the body runs to its end (or
    // is chunked).
    std::optional<std::uint64_t> length;
    // Empty when the framing is clear; otherwise why the answer is refused,
    // as the transfer's error() text.
    std::string refusal;
};

// `contentLengths` holds every Content-Length value of the head, as the
// library gives it; `transferEncoded` says whether the head has a
// Transfer-Encoding. Refused: a value that is not plain decimal digits
// (blanks around them aside) or does not fit 64 bits, values that differ, and
// a Content-Length together with a Transfer-Encoding, since the body's end
// would depend on which of them the reader believes.
Framing judgeFraming(const std::vector<std::string>& contentLengths, bool transferEncoded);

}  // namespace velloran
