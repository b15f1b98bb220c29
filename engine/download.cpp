#include <algorithm>
#include <chrono>
#include <optional>

#include "ascii.h"
#include "failure.h"
#include "fetcher.h"
#include "file_names.h"
#include "fs.h"
#include "http.h"
#include "paths.h"
#include "text.h"
#include "transfer.h"

namespace modUpdate {
namespace {

using Clock = std::chrono::steady_clock;
using velloran::Failure;
using velloran::FailureKind;

constexpr std::size_t kChunk = 1024;

// Pulls body bytes from the transfer, keeping the window alive: it waits for
// the network (never spins) when nothing is buffered, and pumps the window at
// least once per pump interval even while data streams in without pause.
class BodyReader {
public:
    BodyReader(Context& run, std::string url) : run_(run), http_(run.http()), url_(std::move(url)) {}

    // Waits for the final response head; a transport failure or a status
    // other than 2xx is a Failure.
    void awaitHead() {
        while (!http_.headReady()) pause();
        failIfBroken();
        int status = http_.status();
        if (status < 200 || status > 299)
            fail(FailureKind::Protocol, "the server answered with status " + std::to_string(status));
    }

    // Reads up to `want` bytes; fewer only when the body has ended.
    std::size_t read(char* out, std::size_t want) {
        std::size_t got = 0;
        while (got < want) {
            std::size_t n = http_.read(out + got, want - got);
            got += n;
            if (n == 0) {
                if (http_.finished()) break;
                pause();
            } else if (Clock::now() - lastPump_ >= run_.services.pumpInterval) {
                run_.window().pumpMessages();
                lastPump_ = Clock::now();
            }
        }
        return got;
    }

    void failIfBroken() const {
        const std::string error = http_.error();
        if (!error.empty()) fail(http_.errorKind(), error);
    }

    [[noreturn]] void fail(FailureKind kind, const std::string& why) const {
        throw Failure(kind, "Could not download " + url_ + ": " + why);
    }

    // Waits for the network at most one pump interval, then pumps the
    // window, so its clicks work while nothing arrives.
    void pause() {
        http_.poll(run_.services.pumpInterval);
        run_.window().pumpMessages();
        lastPump_ = Clock::now();
    }

private:
    Context& run_;
    velloran::HttpTransfer& http_;
    std::string url_;
    Clock::time_point lastPump_ = Clock::now();
};

}  // namespace

void downloadChecked(Context& run, const std::string& remoteName, const std::string& localName, const Checks& checks,
                     velloran::Durability durability) {
    if (velloran::trimSpaces(localName).empty()) return;

    if (!currentFolder.empty()) currentFolder = velloran::normaliseFolder(currentFolder);
    const std::string refused = velloran::refusedTarget(currentFolder, localName);
    if (!refused.empty()) throw Failure(FailureKind::Refused, "Refused to store \"" + localName + "\": " + refused);
    Fetcher fetcher(run, false);
    fetcher.add(FetchOrder{remoteName, currentFolder, localName, checks, durability});
    fetcher.takeNext();
}

// Files of the pass reach stable storage together, in one sync before the
// new info.ini is installed (see startUpdate): until then the old manifest
// makes the next run fetch them again.
void downloadFile(Context& run, const std::string& remoteName, const std::string& localName) {
    downloadChecked(run, remoteName, localName, Checks{}, velloran::Durability::Later);
}

void downloadManifest(Context& run, const std::string& localName, velloran::Durability durability,
                      std::function<void(std::string_view)> vet) {
    Checks checks;
    checks.cap = run.services.manifestCap;
    checks.vet = std::move(vet);
    downloadChecked(run, std::string(velloran::kManifestName), localName, checks, durability);
}

std::string fetchText(Context& run, const std::string& url, std::size_t cap) {
    const std::string address = velloran::encodeRequestAddress(url);
    run.http().begin(address);
    BodyReader body(run, address);
    while (!run.http().headReady()) body.pause();
    body.failIfBroken();
    run.siteAnswered = true;
    std::string text;
    char chunk[kChunk];
    while (text.size() < cap) {
        const std::size_t got = body.read(chunk, std::min(kChunk, cap - text.size()));
        if (got == 0) break;
        text.append(chunk, got);
    }
    // Past the cap the rest is not wanted; the next request abandons it.
    if (text.size() < cap) body.failIfBroken();
    return text;
}

std::string fetchWhole(Context& run, const std::string& url, std::size_t cap) {
    const std::string address = velloran::encodeRequestAddress(url);
    run.http().begin(address);
    BodyReader body(run, address);
    body.awaitHead();
    if (!carriesWholeFile(run.http().status()))
        body.fail(FailureKind::Protocol, "the server answered with status " + std::to_string(run.http().status()));
    const std::optional<std::uint64_t> announced = run.http().contentLength();
    if (announced && *announced > cap)
        body.fail(FailureKind::Protocol, "it is larger than " + std::to_string(cap) + " bytes");
    // One byte past the cap tells an oversized body from one that fits.
    std::string text(cap + 1, '\0');
    const std::size_t got = body.read(text.data(), text.size());
    if (got > cap) body.fail(FailureKind::Protocol, "it is larger than " + std::to_string(cap) + " bytes");
    body.failIfBroken();
    if (announced && got != *announced)
        body.fail(FailureKind::Network, "the connection closed after " + std::to_string(got) + " of " +
                                            std::to_string(*announced) + " bytes");
    text.resize(got);
    return text;
}

}  // namespace modUpdate
