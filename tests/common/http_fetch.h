// Drives an HttpTransfer the way the engine does, for the backend tests of
// both platforms.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "http.h"

namespace velloran::test {

// Bytes that exercise binary safety: zeros, high bytes, no repeating line.
inline std::string content(std::size_t size, unsigned seed = 1) {
    std::string s(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xff);
    }
    return s;
}

struct Outcome {
    int status = 0;
    std::string body;
    std::optional<std::uint64_t> contentLength;
    std::string error;
    bool finished = false;
    bool bodyBeforeHead = false;
    std::chrono::steady_clock::duration took{};
};

inline void drain(HttpTransfer& http, Outcome& out, std::size_t chunk = 1024) {
    std::vector<char> buffer(chunk);
    while (std::size_t n = http.read(buffer.data(), buffer.size())) {
        if (!http.headReady()) out.bodyBeforeHead = true;
        out.body.append(buffer.data(), n);
    }
}

// Drives the request `http` began at `start` to its end: poll, then drain,
// until finished or `limit`.
inline Outcome runToEnd(HttpTransfer& http, std::chrono::steady_clock::time_point start,
                        std::chrono::seconds limit = std::chrono::seconds(30)) {
    using Clock = std::chrono::steady_clock;
    Outcome out;
    while (!http.finished() && Clock::now() - start < limit) {
        http.poll(std::chrono::milliseconds(100));
        drain(http, out);
    }
    drain(http, out);
    out.took = Clock::now() - start;
    out.finished = http.finished();
    out.status = http.status();
    out.contentLength = http.contentLength();
    out.error = http.error();
    return out;
}

// Runs one GET to its end.
inline Outcome fetch(HttpTransfer& http, const std::string& url,
                     std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto start = std::chrono::steady_clock::now();
    http.begin(url);
    return runToEnd(http, start, limit);
}

// Runs one GET of the bytes from `offset` on (beginFrom) to its end.
inline Outcome fetchFrom(HttpTransfer& http, const std::string& url, std::uint64_t offset,
                         const std::string& validator, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto start = std::chrono::steady_clock::now();
    http.beginFrom(url, offset, validator);
    return runToEnd(http, start, limit);
}

}  // namespace velloran::test
