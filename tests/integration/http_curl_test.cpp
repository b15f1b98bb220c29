// The libcurl transfer against nginx and the fault server on 127.0.0.1.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "http.h"
#include "http_fetch.h"
#include "servers.h"

namespace velloran {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TestSite;

using test::content;
using test::drain;
using test::fetch;
using test::Outcome;

std::chrono::nanoseconds threadCpuTime() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

HttpOptions quick() {
    HttpOptions o;
    o.connectTimeout = 5s;
    o.stallTimeout = 10s;
    return o;
}

const std::string kFile = content(3000, 7);

class FaultServerHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        site_ = new TestSite(TestSite::Options{TestSite::Server::Fault, false});
        site_->addFile("updates/a.txt", kFile);
        site_->addFile("updates/empty.txt", "");
        site_->addFault("/updates/gone", R"({"mode": "status", "status": 404, "body": "<html>gone</html>"})");
        site_->addFault("/updates/r1", R"({"mode": "redirect", "location": "/updates/r2", "status": 301})");
        site_->addFault("/updates/r2", R"({"mode": "redirect", "location": "/updates/a.txt", "status": 307})");
        // /updates/hopN redirects N times before reaching a.txt.
        for (int i = 1; i <= 11; ++i) {
            const std::string next = i == 1 ? "/updates/a.txt" : "/updates/hop" + std::to_string(i - 1);
            site_->addFault("/updates/hop" + std::to_string(i), R"({"mode": "redirect", "location": ")" + next + "\"}");
        }
        site_->addFault("/updates/short.txt", R"({"mode": "short", "send": 100})");
        site_->addFile("updates/short.txt", kFile);
        site_->addFault("/updates/reset.txt", R"({"mode": "reset", "send": 1000})");
        site_->addFile("updates/reset.txt", kFile);
        site_->addFault("/updates/nolength.txt", R"({"mode": "nolength"})");
        site_->addFile("updates/nolength.txt", kFile);
        site_->addFault("/updates/longer.txt", R"({"mode": "longer", "extra": 50})");
        site_->addFile("updates/longer.txt", kFile);
        site_->addFault("/updates/slow.txt", R"({"mode": "slow", "chunk": 700, "interval": 0.05})");
        site_->addFile("updates/slow.txt", kFile);
        site_->addFault("/updates/stall.txt", R"({"mode": "stall", "seconds": 4})");
        site_->addFault("/updates/trickle.txt", R"({"mode": "slow", "chunk": 1, "interval": 1.5})");
        site_->addFile("updates/trickle.txt", "abcd");
        site_->addFile("updates/stall.txt", kFile);
        site_->addFault("/updates/echo", R"({"mode": "echo"})");
        site_->start();
    }
    static void TearDownTestSuite() {
        delete site_;
        site_ = nullptr;
    }
    static TestSite* site_;
};
TestSite* FaultServerHttp::site_ = nullptr;

struct FetchCase {
    const char* name;
    const char* path;
    std::chrono::seconds stallTimeout;
    int status;           // expected status; -1: any
    std::string body;     // expected body (ignored when the transfer fails)
    const char* error;    // nullptr: must succeed; otherwise a part of the error text
};

TEST_F(FaultServerHttp, OutcomeOfEachKindOfAnswer) {
    const FetchCase cases[] = {
        {"plain file", "/updates/a.txt", 10s, 200, kFile, nullptr},
        {"empty file", "/updates/empty.txt", 10s, 200, "", nullptr},
        {"error status is not a transport error", "/updates/gone", 10s, 404, "<html>gone</html>", nullptr},
        {"missing file", "/updates/none.txt", 10s, 404, "<html><body><h1>404 Not Found</h1></body></html>\n", nullptr},
        {"redirect chain followed", "/updates/r1", 10s, 200, kFile, nullptr},
        {"ten redirects still followed", "/updates/hop10", 10s, 200, kFile, nullptr},
        {"eleven redirects refused", "/updates/hop11", 10s, -1, "", "redirect"},
        {"body shorter than announced", "/updates/short.txt", 10s, -1, "", "transfer closed"},
        {"connection reset mid-body", "/updates/reset.txt", 10s, -1, "", ""},
        {"no length, body ends with the connection", "/updates/nolength.txt", 10s, 200, kFile, nullptr},
        {"bytes beyond the announced length dropped", "/updates/longer.txt", 10s, 200, kFile, nullptr},
        {"slow body read whole", "/updates/slow.txt", 2s, 200, kFile, nullptr},
        {"stall beyond the stall time-out", "/updates/stall.txt", 1s, -1, "", "No data received for 1 seconds"},
        // One byte every 1.5 s is slow, but never silent for the 3 s allowed.
        {"trickle with no silence as long as the stall time-out", "/updates/trickle.txt", 3s, 200, "abcd", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpOptions options = quick();
        options.stallTimeout = c.stallTimeout;
        auto http = makeHttpTransfer(options);
        const Outcome out = fetch(*http, site_->url(c.path));
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

TEST_F(FaultServerHttp, StallErrorComesAfterTheStallTimeNotAtTheEnd) {
    HttpOptions options = quick();
    options.stallTimeout = 1s;
    auto http = makeHttpTransfer(options);
    const Outcome out = fetch(*http, site_->url("/updates/stall.txt"));
    EXPECT_NE(out.error, "");
    EXPECT_GE(out.took, 900ms);
    EXPECT_LT(out.took, 3500ms);  // the server would send the body after 4 s
}

TEST_F(FaultServerHttp, HeadersComeFromTheFinalResponseAnyCase) {
    auto http = makeHttpTransfer(quick());
    const Outcome out = fetch(*http, site_->url("/updates/r1"));
    ASSERT_EQ(out.error, "");
    EXPECT_EQ(out.status, 200);
    EXPECT_EQ(http->header("content-length"), "3000");
    EXPECT_EQ(http->header("CONTENT-LENGTH"), "3000");
    EXPECT_EQ(http->header("Location"), "");  // belonged to the redirects
    EXPECT_EQ(http->header("X-Absent"), "");

    const Outcome none = fetch(*http, site_->url("/updates/nolength.txt"));
    ASSERT_EQ(none.error, "");
    EXPECT_EQ(none.contentLength, "");
}

TEST_F(FaultServerHttp, HeadIsKnownBeforeTheBodyArrives) {
    auto http = makeHttpTransfer(quick());
    const auto start = Clock::now();
    http->begin(site_->url("/updates/stall.txt"));
    while (!http->headReady() && Clock::now() - start < 3s) http->poll(100ms);
    EXPECT_TRUE(http->headReady());
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(http->status(), 200);
    EXPECT_EQ(http->header("Content-Length"), "3000");
    EXPECT_FALSE(http->finished());
    char c;
    EXPECT_EQ(http->read(&c, 1), 0u);
}

TEST_F(FaultServerHttp, StatusIsZeroBeforeTheHead) {
    auto http = makeHttpTransfer(quick());
    http->begin(site_->url("/updates/stall.txt"));
    EXPECT_FALSE(http->headReady());
    EXPECT_EQ(http->status(), 0);
}

TEST_F(FaultServerHttp, SendsNoCacheAndAsksForNoCompression) {
    auto http = makeHttpTransfer(quick());
    const Outcome out = fetch(*http, site_->url("/updates/echo"));
    ASSERT_EQ(out.error, "");
    EXPECT_NE(out.body.find("GET /updates/echo HTTP/1.1"), std::string::npos) << out.body;
    EXPECT_NE(out.body.find("Cache-Control: no-cache"), std::string::npos) << out.body;
    EXPECT_NE(out.body.find("Pragma: no-cache"), std::string::npos) << out.body;
    EXPECT_EQ(out.body.find("Accept-Encoding"), std::string::npos) << out.body;
}

TEST_F(FaultServerHttp, WakeDescriptorEndsPollEarly) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    HttpOptions options = quick();
    options.wakeFd = fds[0];
    auto http = makeHttpTransfer(options);
    http->begin(site_->url("/updates/stall.txt"));
    const auto start = Clock::now();
    while (!http->headReady() && Clock::now() - start < 3s) http->poll(100ms);
    ASSERT_TRUE(http->headReady());

    // Nothing happens for the next seconds: poll must sleep its time out,
    // not spin through it.
    auto t0 = Clock::now();
    const auto cpu0 = threadCpuTime();
    http->poll(300ms);
    EXPECT_GE(Clock::now() - t0, 250ms);
    EXPECT_LT(threadCpuTime() - cpu0, 50ms);

    // A byte on the wake descriptor ends a long poll at once.
    std::thread waker([&] {
        std::this_thread::sleep_for(150ms);
        ASSERT_EQ(::write(fds[1], "x", 1), 1);
    });
    t0 = Clock::now();
    http->poll(3000ms);
    const auto waited = Clock::now() - t0;
    waker.join();
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 1000ms);
    EXPECT_FALSE(http->finished());
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(FaultServerHttp, RefusedConnectionIsAnErrorWithText) {
    auto http = makeHttpTransfer(quick());
    const int port = test::refusedPort();
    const Outcome out = fetch(*http, "http://127.0.0.1:" + std::to_string(port) + "/updates/a.txt");
    ASSERT_TRUE(out.finished);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.error, "Failed to connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused");
}

TEST_F(FaultServerHttp, BeginAbandonsTheRunningRequest) {
    auto http = makeHttpTransfer(quick());
    http->begin(site_->url("/updates/slow.txt"));
    const auto start = Clock::now();
    while (!http->headReady() && Clock::now() - start < 3s) http->poll(100ms);
    ASSERT_TRUE(http->headReady());
    const Outcome out = fetch(*http, site_->url("/updates/a.txt"));
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.status, 200);
    EXPECT_TRUE(out.body == kFile);
}

// ------------------------------------------------------------------ nginx

class NginxHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        site_ = new TestSite();
        site_->addFile("updates/info.ini", "[VERSION]\nVersion=1.2\n");
        site_->addFile("updates/news.txt", "Hello\r\n");
        site_->addFile("updates/big.bin", big());
        site_->addFile("updates/maps/a.dat", content(5000, 3));
        site_->start();
    }
    static void TearDownTestSuite() {
        delete site_;
        site_ = nullptr;
    }
    static const std::string& big() {
        static const std::string b = content(8u << 20, 11);
        return b;
    }
    static TestSite* site_;
};
TestSite* NginxHttp::site_ = nullptr;

TEST_F(NginxHttp, ServesFilesWithTheirLength) {
    auto http = makeHttpTransfer(quick());
    struct Case {
        const char* path;
        int status;
        std::string contentLength;
        std::string body;
    } const cases[] = {
        {"/updates/info.ini", 200, "22", "[VERSION]\nVersion=1.2\n"},
        {"/updates//news.txt", 200, "7", "Hello\r\n"},
        {"/updates/maps/a.dat", 200, "5000", content(5000, 3)},
        {"/updates/missing.ini", 404, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Outcome out = fetch(*http, site_->url(c.path));
        EXPECT_EQ(out.error, "");
        EXPECT_EQ(out.status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(out.contentLength, c.contentLength);
            EXPECT_TRUE(out.body == c.body);
        } else {
            EXPECT_NE(out.body.find("404"), std::string::npos);
        }
    }
}

TEST_F(NginxHttp, ReusesOneConnectionForSuccessiveRequests) {
    auto http = makeHttpTransfer(quick());
    const std::size_t before = site_->connections().size();
    for (const char* path : {"/updates/info.ini", "/updates/news.txt", "/updates/missing", "/updates/info.ini"})
        ASSERT_EQ(fetch(*http, site_->url(path)).error, "");
    auto connections = site_->connections();
    ASSERT_EQ(connections.size(), before + 4);
    for (std::size_t i = before + 1; i < connections.size(); ++i) EXPECT_EQ(connections[i], connections[before]);

    // A second transfer has its own connection: the check above can fail.
    auto other = makeHttpTransfer(quick());
    ASSERT_EQ(fetch(*other, site_->url("/updates/info.ini")).error, "");
    connections = site_->connections();
    EXPECT_NE(connections.back(), connections[before]);

    const auto requests = site_->requests();
    ASSERT_GE(requests.size(), 5u);
    EXPECT_EQ(requests[requests.size() - 4], "GET /updates/news.txt");
}

TEST_F(NginxHttp, LargeBodyPassesThroughABoundedBuffer) {
    HttpOptions options = quick();
    options.stallTimeout = 1s;
    auto http = makeHttpTransfer(options);
    http->begin(site_->url("/updates/big.bin"));

    // Read nothing for well beyond the stall time-out while driving the
    // transfer: the buffer fills, the transfer pauses, and the pause must not
    // count as a stall.
    const auto start = Clock::now();
    while (Clock::now() - start < 2500ms) {
        http->poll(0ms);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_FALSE(http->finished()) << http->error();

    // Without polling, only what is buffered (plus the one chunk held back
    // at the pause) can be read.
    std::string body;
    char chunk[1024];
    while (std::size_t n = http->read(chunk, sizeof chunk)) body.append(chunk, n);
    EXPECT_GE(body.size(), 128u * 1024);
    EXPECT_LE(body.size(), 256u * 1024 + 16 * 1024);

    Outcome rest;
    while (!http->finished() && Clock::now() - start < 30s) {
        http->poll(100ms);
        drain(*http, rest);
    }
    drain(*http, rest);
    EXPECT_EQ(http->error(), "");
    EXPECT_EQ(http->header("Content-Length"), std::to_string(big().size()));
    body += rest.body;
    ASSERT_EQ(body.size(), big().size());
    EXPECT_TRUE(body == big());
}

TEST_F(NginxHttp, AbandoningAPausedTransferLeavesNoTrace) {
    auto http = makeHttpTransfer(quick());
    http->begin(site_->url("/updates/big.bin"));
    const auto start = Clock::now();
    while (Clock::now() - start < 500ms) {
        http->poll(0ms);
        std::this_thread::sleep_for(10ms);
    }
    const Outcome out = fetch(*http, site_->url("/updates/info.ini"));
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.body, "[VERSION]\nVersion=1.2\n");
}

// ------------------------------------------------------------------ https

TEST(HttpsTransfer, TrustsTheExtraAuthorityAndNeverFallsBackToHttp) {
    TestSite plain;
    plain.addFile("updates/a.txt", kFile);
    plain.start();

    TestSite secure(TestSite::Options{TestSite::Server::Nginx, true});
    secure.addFile("updates/a.txt", kFile);
    secure.addRedirect("/updates/to-http", plain.url("/updates/a.txt"));
    secure.addRedirect("/updates/to-https", "/updates/a.txt");
    secure.start();

    TestSite hop(TestSite::Options{TestSite::Server::Fault, false});
    hop.addRedirect("/updates/up", secure.url("/updates/a.txt"));
    hop.start();

    HttpOptions trusting = quick();
    trusting.extraCaFile = secure.caFile();
    struct Case {
        const char* name;
        HttpOptions options;
        std::string url;
        const char* error;  // nullptr: the file arrives
    } const cases[] = {
        {"https with the extra authority", trusting, secure.url("/updates/a.txt"), nullptr},
        {"https redirect within https", trusting, secure.url("/updates/to-https"), nullptr},
        {"http redirected up to https", trusting, hop.url("/updates/up"), nullptr},
        {"https redirected down to http", trusting, secure.url("/updates/to-http"), ""},
        {"unknown authority", quick(), secure.url("/updates/a.txt"), "certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto http = makeHttpTransfer(c.options);
        const Outcome out = fetch(*http, c.url);
        ASSERT_TRUE(out.finished);
        if (c.error) {
            EXPECT_NE(out.error, "");
            EXPECT_NE(out.error.find(c.error), std::string::npos) << out.error;
            EXPECT_NE(out.body, kFile);
        } else {
            EXPECT_EQ(out.error, "");
            EXPECT_EQ(out.status, 200);
            EXPECT_TRUE(out.body == kFile);
        }
    }
    // The refused redirect never reached the http site.
    EXPECT_TRUE(plain.requests().empty());
}

}  // namespace
}  // namespace velloran
