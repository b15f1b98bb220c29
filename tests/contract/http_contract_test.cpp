// The contract of the HTTP transfer service (platform/http.h), run against
// whichever backend the program is built with: libcurl in the Linux platform
// tests, WinHTTP in the Windows tests under Wine. The server is the fault
// server; backend-specific cases (the wake descriptor, window messages,
// certificate trust) stay with their backend's tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fault_site.h"
#include "http.h"
#include "http_fetch.h"

namespace velloran {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::content;
using test::drain;
using test::fetch;
using test::fetchFrom;
using test::Outcome;
using test::runToEnd;

HttpOptions quick(std::chrono::seconds stall = 10s) {
    HttpOptions o;
    o.connectTimeout = 5s;
    o.stallTimeout = stall;
    return o;
}

const std::string kFile = content(3000, 7);
const std::string kBig = content(3 * 1024 * 1024 + 17, 3);
const std::string kRanged = content(5000, 11);

class HttpContract : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            site_ = test::openFaultSite().release();
        } catch (const std::exception& e) {
            missing_ = e.what();
            return;
        }
        site_->addFile("updates/a.txt", kFile);
        site_->addFile("updates/empty.txt", "");
        site_->addFile("updates/big.bin", kBig);
        for (const char* name : {"short.txt", "reset.txt", "nolength.txt", "longer.txt", "slow.txt", "stall.txt"})
            site_->addFile(std::string("updates/") + name, kFile);
        site_->addFile("updates/trickle.txt", "abcd");
        site_->addFile("updates/range.bin", kRanged);
        site_->addFile("updates/norange.bin", kRanged);
        site_->addFault("/updates/norange.bin", R"({"mode": "norange"})");
        site_->addFault("/updates/gone", R"({"mode": "status", "status": 404, "body": "<html>gone</html>"})");
        site_->addFault("/updates/r1", R"({"mode": "redirect", "location": "/updates/r2", "status": 301})");
        site_->addFault("/updates/r2", R"({"mode": "redirect", "location": "/updates/a.txt", "status": 307})");
        // /updates/hopN redirects N times before reaching a.txt.
        for (int i = 1; i <= 11; ++i) {
            const std::string next = i == 1 ? "/updates/a.txt" : "/updates/hop" + std::to_string(i - 1);
            site_->addFault("/updates/hop" + std::to_string(i), R"({"mode": "redirect", "location": ")" + next + "\"}");
        }
        site_->addFault("/updates/short.txt", R"({"mode": "short", "send": 100})");
        site_->addFault("/updates/reset.txt", R"({"mode": "reset", "send": 1000})");
        site_->addFault("/updates/nolength.txt", R"({"mode": "nolength"})");
        site_->addFault("/updates/longer.txt", R"({"mode": "longer", "extra": 50})");
        site_->addFault("/updates/slow.txt", R"({"mode": "slow", "chunk": 700, "interval": 0.05})");
        site_->addFault("/updates/stall.txt", R"({"mode": "stall", "seconds": 5})");
        site_->addFault("/updates/trickle.txt", R"({"mode": "slow", "chunk": 1, "interval": 1.5})");
        site_->addFault("/updates/echo", R"({"mode": "echo"})");
        site_->addFault("/updates/peer", R"({"mode": "peer"})");
    }
    static void TearDownTestSuite() {
        delete site_;
        site_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(site_, nullptr) << "no fault server: " << missing_; }
    static std::string url(const std::string& path) { return site_->url(path); }
    // How many times the server has seen exactly this request line.
    static long served(const std::string& requestLine) {
        const auto lines = site_->requests();
        return static_cast<long>(std::count(lines.begin(), lines.end(), requestLine));
    }

    static test::FaultSite* site_;
    static std::string missing_;
};
test::FaultSite* HttpContract::site_ = nullptr;
std::string HttpContract::missing_;

struct FetchCase {
    const char* name;
    const char* path;
    std::chrono::seconds stallTimeout;
    int status;          // expected status; -1: any
    std::string body;    // expected body (ignored when the transfer fails)
    const char* error;   // nullptr: must succeed; otherwise a part of the error text
};

TEST_F(HttpContract, OutcomeOfEachKindOfAnswer) {
    const FetchCase cases[] = {
        {"plain file", "/updates/a.txt", 10s, 200, kFile, nullptr},
        {"empty file", "/updates/empty.txt", 10s, 200, "", nullptr},
        {"large file through the bounded buffer", "/updates/big.bin", 10s, 200, kBig, nullptr},
        {"error status is not a transport error", "/updates/gone", 10s, 404, "<html>gone</html>", nullptr},
        {"missing file", "/updates/none.txt", 10s, 404, "<html><body><h1>404 Not Found</h1></body></html>\n", nullptr},
        {"redirect chain followed", "/updates/r1", 10s, 200, kFile, nullptr},
        {"ten redirects still followed", "/updates/hop10", 10s, 200, kFile, nullptr},
        {"eleven redirects refused", "/updates/hop11", 10s, -1, "", "redirect"},
        {"body shorter than announced", "/updates/short.txt", 10s, -1, "", "closed"},
        {"connection reset mid-body", "/updates/reset.txt", 10s, -1, "", ""},
        {"no length, body ends with the connection", "/updates/nolength.txt", 10s, 200, kFile, nullptr},
        {"bytes beyond the announced length dropped", "/updates/longer.txt", 10s, 200, kFile, nullptr},
        {"slow body read whole", "/updates/slow.txt", 2s, 200, kFile, nullptr},
        {"stall beyond the stall time-out", "/updates/stall.txt", 2s, -1, "", "No data received for 2 seconds"},
        // One byte every 1.5 s is slow, but never silent for the 3 s allowed.
        {"trickle with no silence as long as the stall time-out", "/updates/trickle.txt", 3s, 200, "abcd", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto http = makeHttpTransfer(quick(c.stallTimeout));
        const Outcome out = fetch(*http, url(c.path));
        ASSERT_TRUE(out.finished) << "transfer did not end";
        EXPECT_FALSE(out.bodyBeforeHead);
        if (c.error) {
            EXPECT_NE(out.error, "");
            EXPECT_NE(out.error.find(c.error), std::string::npos) << out.error;
        } else {
            EXPECT_EQ(out.error, "");
            EXPECT_TRUE(out.body == c.body) << "body of " << out.body.size() << " bytes, expected " << c.body.size();
        }
        if (c.status >= 0) {
            EXPECT_EQ(out.status, c.status);
        }
    }
}

TEST_F(HttpContract, StallEndsAfterTheStallTimeNotAtTheEnd) {
    auto http = makeHttpTransfer(quick(2s));
    const Outcome out = fetch(*http, url("/updates/stall.txt"));
    EXPECT_NE(out.error, "");
    EXPECT_GE(out.took, 1500ms);
    EXPECT_LT(out.took, 4500ms);  // the server would send the body after 5 s
}

TEST_F(HttpContract, LengthIsTheFinalResponses) {
    auto http = makeHttpTransfer(quick());
    const Outcome out = fetch(*http, url("/updates/r1"));  // the redirects announce other lengths
    ASSERT_EQ(out.error, "");
    EXPECT_EQ(out.status, 200);
    EXPECT_EQ(out.contentLength, 3000u);

    const Outcome none = fetch(*http, url("/updates/nolength.txt"));
    ASSERT_EQ(none.error, "");
    EXPECT_EQ(none.contentLength, std::nullopt);
}

TEST_F(HttpContract, LengthsOfTwoGibibytesAndMoreAreReadWhole) {
    // The server announces the length and closes: only the head is real.
    for (const std::uint64_t length : {std::uint64_t{3000000000}, std::uint64_t{5000000000}}) {
        SCOPED_TRACE(length);
        const std::string path = "/updates/huge" + std::to_string(length);
        site_->addFault(path, R"({"mode": "length", "value": ")" + std::to_string(length) + "\"}");
        auto http = makeHttpTransfer(quick());
        const Outcome out = fetch(*http, url(path));
        EXPECT_EQ(out.status, 200);
        EXPECT_EQ(out.contentLength, length);
        EXPECT_NE(out.error, "");  // the body never came
    }
}

TEST_F(HttpContract, HeadIsKnownBeforeTheBodyArrives) {
    auto http = makeHttpTransfer(quick());
    const auto start = Clock::now();
    http->begin(url("/updates/stall.txt"));
    EXPECT_FALSE(http->headReady());
    EXPECT_EQ(http->status(), 0);
    while (!http->headReady() && Clock::now() - start < 4s) http->poll(100ms);
    ASSERT_TRUE(http->headReady());
    EXPECT_LT(Clock::now() - start, 3s);  // the body follows after 5 s
    EXPECT_EQ(http->status(), 200);
    EXPECT_EQ(http->contentLength(), 3000u);
    EXPECT_FALSE(http->finished());
    char c;
    EXPECT_EQ(http->read(&c, 1), 0u);
}

TEST_F(HttpContract, PollWaitsItsTimeWhenNothingHappens) {
    auto http = makeHttpTransfer(quick());
    http->begin(url("/updates/stall.txt"));
    for (auto until = Clock::now() + 4s; !http->headReady() && Clock::now() < until;) http->poll(100ms);
    ASSERT_TRUE(http->headReady());
    const auto t0 = Clock::now();
    http->poll(300ms);
    EXPECT_GE(Clock::now() - t0, 250ms);
    EXPECT_FALSE(http->finished());
}

TEST_F(HttpContract, SendsTheAddressAsGivenWithNoCacheAndNoCompression) {
    auto http = makeHttpTransfer(quick());
    const Outcome out = fetch(*http, url("/updates//echo"));
    ASSERT_EQ(out.error, "");
    EXPECT_NE(out.body.find("GET /updates//echo HTTP/1.1"), std::string::npos) << out.body;
    EXPECT_NE(out.body.find("Cache-Control: no-cache"), std::string::npos) << out.body;
    EXPECT_NE(out.body.find("Pragma: no-cache"), std::string::npos) << out.body;
    EXPECT_EQ(out.body.find("Accept-Encoding"), std::string::npos) << out.body;

    // Already encoded: sent as it stands, not encoded again.
    fetch(*http, url("/updates/a%20b%25.txt"));
    EXPECT_EQ(site_->requests().back(), "GET /updates/a%20b%25.txt");
}

TEST_F(HttpContract, RefusedConnectionIsAnErrorWithText) {
    auto http = makeHttpTransfer(quick());
    const Outcome out = fetch(*http, "http://127.0.0.1:" + std::to_string(site_->refusedPort()) + "/updates/a.txt");
    ASSERT_TRUE(out.finished);
    EXPECT_EQ(out.status, 0);
    // A sentence, not a bare code (Wine's winhttp.dll has no message table).
    EXPECT_NE(out.error, "");
    EXPECT_EQ(out.error.find("error "), std::string::npos) << out.error;
}

TEST_F(HttpContract, BeginAbandonsTheRunningRequest) {
    auto http = makeHttpTransfer(quick());
    http->begin(url("/updates/slow.txt"));
    for (auto until = Clock::now() + 4s; !http->headReady() && Clock::now() < until;) http->poll(100ms);
    ASSERT_TRUE(http->headReady());
    const Outcome out = fetch(*http, url("/updates/a.txt"));
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.status, 200);
    EXPECT_TRUE(out.body == kFile);
}

TEST_F(HttpContract, ReusesOneConnectionForSuccessiveRequests) {
    auto http = makeHttpTransfer(quick());
    const Outcome first = fetch(*http, url("/updates/peer"));
    ASSERT_EQ(first.error, "");
    for (const char* path : {"/updates/a.txt", "/updates/missing", "/updates/gone"})
        ASSERT_EQ(fetch(*http, url(path)).error, "") << path;
    const Outcome again = fetch(*http, url("/updates/peer"));
    ASSERT_EQ(again.error, "");
    EXPECT_EQ(again.body, first.body);  // the same client port: the same connection

    const auto requests = site_->requests();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[requests.size() - 3], "GET /updates/missing");

    // After an answer that ends with its connection, the next one comes on
    // a new connection: the check above can fail.
    ASSERT_EQ(fetch(*http, url("/updates/nolength.txt")).error, "");
    const Outcome renewed = fetch(*http, url("/updates/peer"));
    ASSERT_EQ(renewed.error, "");
    EXPECT_NE(renewed.body, first.body);
}

TEST_F(HttpContract, UndrainedBodyPausesTheConnectionAndThePauseIsNoStall) {
    auto http = makeHttpTransfer(quick(1s));
    http->begin(url("/updates/big.bin"));

    // Read nothing for well beyond the stall time-out while driving the
    // transfer: the buffer fills, the transfer pauses, and the pause must not
    // count as a stall.
    const auto start = Clock::now();
    while (Clock::now() - start < 2500ms) {
        http->poll(0ms);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_FALSE(http->finished()) << http->error();

    // Without polling, only what is buffered (plus at most one chunk held
    // back at the pause) can be read.
    Outcome out;
    drain(*http, out, 8 * 1024 * 1024);
    EXPECT_GE(out.body.size(), 32u * 1024);
    EXPECT_LE(out.body.size(), 256u * 1024 + 16 * 1024);

    while (!http->finished() && Clock::now() - start < 30s) {
        http->poll(100ms);
        drain(*http, out, 4096);
    }
    drain(*http, out, 4096);
    EXPECT_EQ(http->error(), "");
    EXPECT_EQ(http->contentLength(), kBig.size());
    ASSERT_EQ(out.body.size(), kBig.size());
    EXPECT_TRUE(out.body == kBig);
}

TEST_F(HttpContract, AbandoningAPausedTransferLeavesNoTrace) {
    auto http = makeHttpTransfer(quick());
    http->begin(url("/updates/big.bin"));
    const auto start = Clock::now();
    while (Clock::now() - start < 500ms) {
        http->poll(0ms);
        std::this_thread::sleep_for(10ms);
    }
    const Outcome out = fetch(*http, url("/updates/a.txt"));
    EXPECT_EQ(out.error, "");
    EXPECT_TRUE(out.body == kFile);
}

// A hostile answer and what must come of it.
struct HostileCase {
    const char* name;
    std::string fault;  // the fault server's answer (its JSON)
    const char* error;  // nullptr: must succeed; "": must fail; else the whole error text
    std::string body;   // the body when it succeeds
};

// Fetches each case's answer (its fault at a path of its own) and checks
// the outcome. A failure delivers no body byte at all: what a backend has
// already refused must never reach the caller's file.
void expectOutcomes(test::FaultSite& site, const std::vector<HostileCase>& cases, const HttpOptions& options) {
    static int served = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/updates/hostile" + std::to_string(++served);
        site.addFile(path.substr(1), "0123456789abcdef");
        site.addFault(path, c.fault);
        auto http = makeHttpTransfer(options);
        const Outcome out = fetch(*http, site.url(path));
        ASSERT_TRUE(out.finished) << "transfer did not end";
        if (!c.error) {
            EXPECT_EQ(out.error, "");
            EXPECT_EQ(out.status, 200);
            EXPECT_EQ(out.body, c.body);
        } else {
            EXPECT_NE(out.error, "");
            if (*c.error) {
                EXPECT_EQ(out.error, c.error);
            }
            EXPECT_EQ(out.body, "");
        }
    }
}

TEST_F(HttpContract, AmbiguousFramingFailsAndDeliversNothing) {
    auto lines = [](const std::string& list, bool chunked = false) {
        return R"({"mode": "lines", "lines": [)" + list + "], \"chunked\": " + (chunked ? "true" : "false") + "}";
    };
    const char* conflicting = "The server announced conflicting Content-Length values";
    const char* both = "The server announced both a Content-Length and a Transfer-Encoding";
    const char* invalid = "The server announced an invalid Content-Length";
    const std::vector<HostileCase> cases{
        {"two differing lengths", lines(R"("Content-Length: 3", "Content-Length: 16")"), conflicting, ""},
        {"length with chunked", lines(R"("Content-Length: 16", "Transfer-Encoding: chunked")", true), both, ""},
        {"chunked with length", lines(R"("Transfer-Encoding: chunked", "Content-Length: 3")", true), both, ""},
        {"length not plain digits", lines(R"("Content-Length: 16e-1")"), invalid, ""},
        {"length with a sign", lines(R"("Content-Length: +16")"), invalid, ""},
        {"length beyond 64 bits", lines(R"("Content-Length: 18446744073709551616")"), invalid, ""},
        {"negative length", lines(R"("Content-Length: -1")"), "", ""},
        {"the same length twice", lines(R"("Content-Length: 16", "Content-Length: 16")"), nullptr, "0123456789abcdef"},
        {"chunked alone", lines(R"("Transfer-Encoding: chunked")", true), nullptr, "0123456789abcdef"},
        {"length shorter than what follows", lines(R"("Content-Length: 3")"), nullptr, "012"},
    };
    expectOutcomes(*site_, cases, quick());
}

TEST_F(HttpContract, WholeHeadMustArriveWithinTheHeadTimeout) {
    HttpOptions options = quick(10s);
    options.headTimeout = 2s;
    const std::vector<HostileCase> cases{
        {"a head line every half second", R"({"mode": "slowhead", "interval": 0.5, "seconds": 6})",
         "The server sent no complete response head within 2 seconds", ""},
        // WinHTTP under Wine refuses any interim answer but 100 at once.
        {"a 102 answer every half second", R"({"mode": "slowhead", "interval": 0.5, "seconds": 6, "interim": true})",
         "", ""},
        {"a slow head complete in time", R"({"mode": "slowhead", "interval": 0.3, "seconds": 1})", nullptr,
         "0123456789abcdef"},
        // Each hop in time, the whole chain not: the time counts from the first request.
        {"redirects each with a slow head",
         R"({"mode": "slowhead", "interval": 0.3, "seconds": 1.5, "location": "/updates/hop1.bin"})",
         "The server sent no complete response head within 2 seconds", ""},
    };
    site_->addFault("/updates/hop1.bin",
                    R"({"mode": "slowhead", "interval": 0.3, "seconds": 1.5, "location": "/updates/hop2.bin"})");
    site_->addFault("/updates/hop2.bin", R"({"mode": "slowhead", "interval": 0.3, "seconds": 1.5})");
    site_->addFile("updates/hop2.bin", "0123456789abcdef");
    const auto start = Clock::now();
    expectOutcomes(*site_, cases, options);
    // The failures end by the head time-out, not when the server gives up.
    EXPECT_LT(Clock::now() - start, 8s);
}

TEST_F(HttpContract, OversizedHeaderIsNamed) {
    const std::vector<HostileCase> cases{
        {"a header line of 1 MiB", R"({"mode": "bighead", "size": 1048576})",
         "The server sent a response header that is too large", ""},
        {"a header line of 1 KiB", R"({"mode": "bighead", "size": 1024})", nullptr, "0123456789abcdef"},
    };
    expectOutcomes(*site_, cases, quick());
}

TEST_F(HttpContract, ARequestOnAConnectionTheServerClosedIsSentAgain) {
    site_->addFault("/updates/idle.txt", R"({"mode": "idleclose", "after": 0.1})");
    site_->addFault("/updates/dropped.txt", R"({"mode": "dropreused"})");
    site_->addFault("/updates/reset.bin", R"({"mode": "dropreused", "reset": true})");
    site_->addFault("/updates/silent.txt", R"({"mode": "drop"})");
    for (const char* name : {"updates/idle.txt", "updates/dropped.txt", "updates/reset.bin"}) site_->addFile(name, kFile);
    auto http = makeHttpTransfer(quick());

    // Closed while idle, with no word to the client.
    ASSERT_EQ(fetch(*http, url("/updates/idle.txt")).error, "");
    std::this_thread::sleep_for(500ms);
    const Outcome afterIdle = fetch(*http, url("/updates/a.txt"));
    EXPECT_EQ(afterIdle.error, "");
    EXPECT_TRUE(afterIdle.body == kFile);

    // Closed, or reset, as the request arrives on the reused connection.
    for (const char* path : {"/updates/dropped.txt", "/updates/reset.bin"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(fetch(*http, url("/updates/a.txt")).error, "");
        const Outcome out = fetch(*http, url(path));
        EXPECT_EQ(out.error, "");
        EXPECT_TRUE(out.body == kFile);
        EXPECT_EQ(served("GET " + std::string(path)), 2);
    }

    // Sent once more, not again and again.
    ASSERT_EQ(fetch(*http, url("/updates/a.txt")).error, "");
    const Outcome silent = fetch(*http, url("/updates/silent.txt"));
    EXPECT_NE(silent.error, "");
    EXPECT_EQ(served("GET /updates/silent.txt"), 2);
}

// A request for the rest of a file, and what comes back.
enum class Validator { None, ETag, LastModified, Stale };
struct RangeCase {
    const char* name;
    const char* path;
    std::uint64_t offset;
    Validator validator;
    int status;
    std::size_t from;          // the body is the file from this byte on; npos: no body
    const char* contentRange;  // the answer's Content-Range; "" for none
};

TEST_F(HttpContract, RangeFromAnOffsetIsHonouredOnlyForTheSameFile) {
    const auto none = std::string::npos;
    // In this order on one transfer: nothing of a request may stick to the next.
    const RangeCase cases[] = {
        {"validator of another version", "/updates/range.bin", 1200, Validator::Stale, 200, 0, ""},
        {"no validator", "/updates/range.bin", 1200, Validator::None, 206, 1200, "bytes 1200-4999/5000"},
        {"the ETag", "/updates/range.bin", 4999, Validator::ETag, 206, 4999, "bytes 4999-4999/5000"},
        {"the Last-Modified date", "/updates/range.bin", 1, Validator::LastModified, 206, 1, "bytes 1-4999/5000"},
        {"a server that ignores ranges", "/updates/norange.bin", 1200, Validator::ETag, 200, 0, ""},
        {"at the end", "/updates/range.bin", 5000, Validator::ETag, 416, none, "bytes */5000"},
        {"beyond 32 bits", "/updates/range.bin", 5000000000, Validator::None, 416, none, "bytes */5000"},
        {"offset 0 is a plain request", "/updates/range.bin", 0, Validator::Stale, 200, 0, ""},
    };
    auto http = makeHttpTransfer(quick());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A plain request first: the whole file, and its validators.
        const Outcome plain = fetch(*http, url(c.path));
        ASSERT_EQ(plain.error, "");
        ASSERT_EQ(plain.status, 200);
        EXPECT_TRUE(plain.body == kRanged);
        EXPECT_EQ(site_->requests().back(), std::string("GET ") + c.path);
        EXPECT_EQ(http->header("Content-Range"), "");
        std::string validator;
        if (c.validator == Validator::ETag) validator = http->header("ETag");
        if (c.validator == Validator::LastModified) validator = http->header("Last-Modified");
        if (c.validator == Validator::Stale) validator = "\"0-0\"";
        if (c.validator != Validator::None && c.validator != Validator::Stale) {
            ASSERT_NE(validator, "");
        }

        const Outcome out = fetchFrom(*http, url(c.path), c.offset, validator);
        ASSERT_TRUE(out.finished);
        EXPECT_EQ(out.error, "");
        EXPECT_EQ(out.status, c.status);
        const std::string body = c.from == none ? std::string() : kRanged.substr(c.from);
        EXPECT_TRUE(out.body == body) << "body of " << out.body.size() << " bytes, expected " << body.size();
        EXPECT_EQ(out.contentLength, body.size());
        EXPECT_EQ(http->header("Content-Range"), c.contentRange);
        const std::string line = std::string("GET ") + c.path;
        EXPECT_EQ(site_->requests().back(), c.offset ? line + " bytes=" + std::to_string(c.offset) + "-" : line);
    }
}

TEST_F(HttpContract, HeaderGivesTheFinalResponsesValue) {
    site_->addFault("/updates/busy", R"({"mode": "status", "status": 503, "body": "busy",
        "headers": {"Retry-After": "120", "X-Padded": "  two words  "}})");
    site_->addFault("/updates/twice",
                    R"({"mode": "lines", "lines": ["X-Many: one", "Content-Length: 16", "X-Many: two"]})");
    site_->addFile("updates/twice", "0123456789abcdef");
    struct Case {
        const char* path;
        const char* name;
        const char* value;  // the value; for "*", any quoted one; for "GMT", a date
    } const cases[] = {
        {"/updates/busy", "Retry-After", "120"},
        {"/updates/busy", "retry-after", "120"},
        {"/updates/busy", "RETRY-AFTER", "120"},
        {"/updates/busy", "X-Padded", "two words"},
        {"/updates/busy", "X-Absent", ""},
        {"/updates/twice", "x-many", "two"},
        {"/updates/a.txt", "ETag", "*"},
        {"/updates/a.txt", "last-modified", "GMT"},
        {"/updates/a.txt", "Retry-After", ""},
        // Only the final answer of a redirect chain counts.
        {"/updates/r1", "Location", ""},
        {"/updates/r1", "etag", "*"},
    };
    auto http = makeHttpTransfer(quick());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.name);
        ASSERT_EQ(fetch(*http, url(c.path)).error, "");
        const std::string value = http->header(c.name);
        if (std::string(c.value) == "*") {
            ASSERT_GE(value.size(), 2u);
            EXPECT_TRUE(value.front() == '"' && value.back() == '"') << value;
        } else if (std::string(c.value) == "GMT") {
            EXPECT_GT(value.size(), 20u);
            EXPECT_EQ(value.substr(value.size() - 4), " GMT") << value;
        } else {
            EXPECT_EQ(value, c.value);
        }
    }

    // Nothing of the previous answer before the next one's head, which
    // takes a second to come (a backend may take a head the moment it
    // arrives, between begin() and the first look).
    site_->addFault("/updates/late.txt", R"({"mode": "slowhead", "interval": 0.2, "seconds": 1})");
    site_->addFile("updates/late.txt", "late");
    ASSERT_EQ(fetch(*http, url("/updates/busy")).error, "");
    http->begin(url("/updates/late.txt"));
    EXPECT_FALSE(http->headReady());
    EXPECT_EQ(http->header("Retry-After"), "");
    for (auto until = Clock::now() + 4s; !http->headReady() && Clock::now() < until;) http->poll(100ms);
    ASSERT_TRUE(http->headReady());
    EXPECT_EQ(http->header("Content-Length"), "4");
    EXPECT_EQ(http->header("Retry-After"), "");
}

// A family of `size` transfers, each made by another() of an earlier one.
std::vector<std::unique_ptr<HttpTransfer>> family(std::size_t size, const HttpOptions& options) {
    std::vector<std::unique_ptr<HttpTransfer>> members;
    members.push_back(makeHttpTransfer(options));
    while (members.size() < size) {
        auto more = members[members.size() / 2]->another();
        if (!more) break;
        members.push_back(std::move(more));
    }
    return members;
}

TEST_F(HttpContract, TransfersOfAFamilyRunSideBySide) {
    const std::string drip = content(2000, 5);
    site_->addFile("updates/drip.bin", drip);
    // About 0.7 s each: one after the other would take 4 s.
    site_->addFault("/updates/drip.bin", R"({"mode": "slow", "chunk": 250, "interval": 0.1})");
    const std::size_t n = 6;
    auto members = family(n, quick());
    ASSERT_EQ(members.size(), n);
    const long before = served("GET /updates/drip.bin");
    for (auto& t : members) t->begin(url("/updates/drip.bin"));

    std::vector<Outcome> outs(n);
    long servedAtFirstEnd = -1;
    const auto start = Clock::now();
    for (std::size_t round = 0; Clock::now() - start < 20s; ++round) {
        members[round % n]->poll(100ms);  // any of them drives them all
        bool all = true;
        for (std::size_t i = 0; i < n; ++i) {
            drain(*members[i], outs[i]);
            if (members[i]->finished() && servedAtFirstEnd < 0)
                servedAtFirstEnd = served("GET /updates/drip.bin") - before;
            all = all && members[i]->finished();
        }
        if (all) break;
    }
    EXPECT_EQ(servedAtFirstEnd, static_cast<long>(n));
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        drain(*members[i], outs[i]);
        EXPECT_TRUE(members[i]->finished());
        EXPECT_EQ(members[i]->error(), "");
        EXPECT_EQ(members[i]->status(), 200);
        EXPECT_TRUE(outs[i].body == drip) << "body of " << outs[i].body.size() << " bytes";
    }
}

TEST_F(HttpContract, PollOnAQuietTransferWakesForItsSiblingsNews) {
    auto quiet = makeHttpTransfer(quick());
    auto busy = quiet->another();
    ASSERT_NE(busy, nullptr);
    quiet->begin(url("/updates/stall.txt"));  // the head, then 5 s of silence
    for (auto until = Clock::now() + 4s; !quiet->headReady() && Clock::now() < until;) quiet->poll(100ms);
    ASSERT_TRUE(quiet->headReady());

    busy->begin(url("/updates/slow.txt"));  // five pieces 50 ms apart
    Outcome out;
    const auto start = Clock::now();
    while (!busy->finished() && Clock::now() - start < 8s) {
        quiet->poll(3000ms);
        drain(*busy, out);
    }
    drain(*busy, out);
    // Waiting for the quiet one's news alone would take 3 s a turn.
    EXPECT_LT(Clock::now() - start, 2000ms);
    EXPECT_EQ(busy->error(), "");
    EXPECT_TRUE(out.body == kFile);
    EXPECT_FALSE(quiet->finished());
}

TEST_F(HttpContract, AFullBufferPausesOnlyItsOwnTransfer) {
    auto unread = makeHttpTransfer(quick(1s));
    auto sibling = unread->another();
    ASSERT_NE(sibling, nullptr);
    unread->begin(url("/updates/big.bin"));
    sibling->begin(url("/updates/big.bin"));
    Outcome out;
    const auto start = Clock::now();
    while (!sibling->finished() && Clock::now() - start < 30s) {
        sibling->poll(100ms);
        drain(*sibling, out, 4096);
    }
    drain(*sibling, out, 4096);
    EXPECT_EQ(sibling->error(), "");
    EXPECT_TRUE(out.body == kBig) << "body of " << out.body.size() << " bytes";

    // Paused all along, which is no stall, and whole once read.
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(unread->finished()) << unread->error();
    const Outcome rest = runToEnd(*unread, Clock::now());
    EXPECT_EQ(rest.error, "");
    EXPECT_TRUE(rest.body == kBig) << "body of " << rest.body.size() << " bytes";
}

TEST_F(HttpContract, TransfersOfAFamilyMayBeDestroyedInAnyOrder) {
    struct Case {
        const char* name;
        std::vector<std::size_t> order;  // the last one is run to its end
    } const cases[] = {
        {"the first one first", {0, 1, 2}},
        {"the first one last", {2, 1, 0}},
        {"a middle one first", {1, 0, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto members = family(3, quick());
        ASSERT_EQ(members.size(), 3u);
        for (auto& t : members) t->begin(url("/updates/big.bin"));
        for (auto until = Clock::now() + 300ms; Clock::now() < until;) members[0]->poll(20ms);
        for (std::size_t k = 0; k + 1 < c.order.size(); ++k) {
            members[c.order[k]].reset();  // running, with a full buffer
            members[c.order.back()]->poll(20ms);
        }
        HttpTransfer& last = *members[c.order.back()];
        const Outcome out = runToEnd(last, Clock::now());
        EXPECT_EQ(out.error, "");
        EXPECT_TRUE(out.body == kBig) << "body of " << out.body.size() << " bytes";

        // The survivor still makes siblings that work.
        auto more = last.another();
        ASSERT_NE(more, nullptr);
        const Outcome again = fetch(*more, url("/updates/a.txt"));
        EXPECT_EQ(again.error, "");
        EXPECT_TRUE(again.body == kFile);
    }
}

}  // namespace
}  // namespace velloran
