// The libcurl transfer: what only it does, and against nginx. The contract
// suite (tests/contract) runs against it through openFaultSite() below.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fault_site.h"
#include "http.h"
#include "http_fetch.h"
#include "servers.h"

namespace velloran {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TestSite;

using test::content;
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

// The fault server for the contract suite (tests/contract), started here.
class PosixFaultSite final : public test::FaultSite {
public:
    PosixFaultSite() { site_.start(); }
    void addFile(const std::string& sitePath, const std::string& bytes) override { site_.addFile(sitePath, bytes); }
    void addFault(const std::string& requestPath, const std::string& faultJson) override {
        site_.addFault(requestPath, faultJson);
    }
    std::string url(const std::string& path) const override { return site_.url(path); }
    std::vector<std::string> requests() const override { return site_.requests(); }
    int refusedPort() const override { return test::refusedPort(); }

private:
    TestSite site_{TestSite::Options{TestSite::Server::Fault, false}};
};

// The contract suite covers the rest; these cases are libcurl's own.
class CurlHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        site_ = new TestSite(TestSite::Options{TestSite::Server::Fault, false});
        site_->addFault("/updates/stall.txt", R"({"mode": "stall", "seconds": 4})");
        site_->addFile("updates/stall.txt", kFile);
        site_->addFault("/updates/interim.txt", R"({"mode": "slowhead", "interval": 0.2, "seconds": 0.1, "interim": true})");
        site_->addFile("updates/interim.txt", kFile);
        site_->start();
    }
    static void TearDownTestSuite() {
        delete site_;
        site_ = nullptr;
    }
    static TestSite* site_;
};
TestSite* CurlHttp::site_ = nullptr;

TEST_F(CurlHttp, WakeDescriptorEndsPollEarly) {
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

TEST_F(CurlHttp, RefusedConnectionNamesTheSystemsReason) {
    auto http = makeHttpTransfer(quick());
    const int port = test::refusedPort();
    const Outcome out = fetch(*http, "http://127.0.0.1:" + std::to_string(port) + "/updates/a.txt");
    ASSERT_TRUE(out.finished);
    EXPECT_EQ(out.error, "Failed to connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused");
}

// libcurl passes over interim answers (WinHTTP under Wine cannot).
TEST_F(CurlHttp, AnInterimAnswerBeforeTheHeadIsPassedOver) {
    HttpOptions options = quick();
    options.headTimeout = 2s;
    auto http = makeHttpTransfer(options);
    const Outcome out = fetch(*http, site_->url("/updates/interim.txt"));
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.status, 200);
    EXPECT_TRUE(out.body == kFile);
}

// A validator that would break its header line is not sent, and without it
// the range is not asked for either.
TEST_F(CurlHttp, AValidatorWithALineBreakAsksForTheWholeFile) {
    site_->addFault("/updates/echo", R"({"mode": "echo"})");
    auto http = makeHttpTransfer(quick());
    const Outcome out = test::fetchFrom(*http, site_->url("/updates/echo"), 100, "\"a\"\r\nX-Injected: 1");
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.status, 200);
    EXPECT_NE(out.body.find("GET /updates/echo HTTP/1.1"), std::string::npos) << out.body;
    EXPECT_EQ(out.body.find("X-Injected"), std::string::npos) << out.body;
    EXPECT_EQ(out.body.find("Range"), std::string::npos) << out.body;
}

// ------------------------------------------------------------------ nginx
// The real server's answers.

class NginxHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        site_ = new TestSite();
        site_->addFile("updates/info.ini", "[VERSION]\nVersion=1.2\n");
        site_->addFile("updates/news.txt", "Hello\r\n");
        site_->addFile("updates/maps/a.dat", content(5000, 3));
        site_->start();
    }
    static void TearDownTestSuite() {
        delete site_;
        site_ = nullptr;
    }
    static TestSite* site_;
};
TestSite* NginxHttp::site_ = nullptr;

TEST_F(NginxHttp, ServesFilesWithTheirLength) {
    auto http = makeHttpTransfer(quick());
    struct Case {
        const char* path;
        int status;
        std::uint64_t contentLength;
        std::string body;
    } const cases[] = {
        {"/updates/info.ini", 200, 22, "[VERSION]\nVersion=1.2\n"},
        {"/updates//news.txt", 200, 7, "Hello\r\n"},
        {"/updates/maps/a.dat", 200, 5000, content(5000, 3)},
        {"/updates/missing.ini", 404, 0, ""},
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

// Over HTTP/2 the requests of a family are streams of one connection, and a
// stream left unread pauses only itself.
TEST(HttpsTransfer, AFamilyTakesStreamsOfOneHttp2Connection) {
    TestSite secure(TestSite::Options{TestSite::Server::Nginx, true, true});
    const std::string big = content(3 * 1024 * 1024 + 5, 9);
    secure.addFile("updates/big.bin", big);
    secure.addFile("updates/a.txt", kFile);
    secure.start();
    HttpOptions options = quick();
    options.extraCaFile = secure.caFile();

    auto unread = makeHttpTransfer(options);
    std::vector<std::unique_ptr<HttpTransfer>> readers;
    for (int i = 0; i < 3; ++i) readers.push_back(unread->another());
    unread->begin(secure.url("/updates/big.bin"));
    for (std::size_t i = 0; i < readers.size(); ++i)
        readers[i]->begin(secure.url(i == 0 ? "/updates/big.bin" : "/updates/a.txt"));
    std::vector<Outcome> outs(readers.size());
    const auto start = Clock::now();
    for (bool all = false; !all && Clock::now() - start < 30s;) {
        unread->poll(100ms);
        all = true;
        for (std::size_t i = 0; i < readers.size(); ++i) {
            test::drain(*readers[i], outs[i], 64 * 1024);
            all = all && readers[i]->finished();
        }
    }
    for (std::size_t i = 0; i < readers.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(readers[i]->error(), "");
        EXPECT_TRUE(outs[i].body == (i == 0 ? big : kFile)) << "body of " << outs[i].body.size() << " bytes";
    }
    EXPECT_FALSE(unread->finished()) << unread->error();
    const Outcome rest = test::runToEnd(*unread, Clock::now());
    EXPECT_EQ(rest.error, "");
    EXPECT_TRUE(rest.body == big) << "body of " << rest.body.size() << " bytes";

    const auto connections = secure.connections();
    ASSERT_EQ(connections.size(), 4u);
    EXPECT_EQ(std::count(connections.begin(), connections.end(), connections[0]), 4);
}

}  // namespace

std::unique_ptr<test::FaultSite> test::openFaultSite() { return std::make_unique<PosixFaultSite>(); }

}  // namespace velloran
