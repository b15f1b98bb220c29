#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <chrono>
#include <limits>

#include "ascii.h"
#include "digest.h"
#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "http.h"
#include "number.h"
#include "paths.h"
#include "target.h"
#include "text.h"
#include "transfer.h"

namespace modUpdate {
namespace {

using Clock = std::chrono::steady_clock;
using velloran::Failure;
using velloran::FailureKind;

constexpr std::size_t kChunk = 1024;
// Bytes beyond the announced length that are read (and dropped) to keep the
// connection; more than this and the connection is given up instead.
constexpr std::size_t kDrainLimit = 64 * 1024;

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

    // After the announced length: lets the transfer end so the connection can
    // be reused, dropping what a server sends beyond what it announced. A
    // server that keeps sending (a chunked body that ignores its length) is
    // left behind after a bound: the next request abandons it.
    void drain() {
        char scratch[kChunk];
        std::size_t dropped = 0;
        while (!http_.finished() && dropped < kDrainLimit) {
            const std::size_t n = http_.read(scratch, sizeof scratch);
            dropped += n;
            if (n == 0) pause();
        }
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

// The answers that carry the whole file: the client never asks for a range,
// and 204 or 205 carry no file at all.
bool carriesWholeFile(int status) { return status == 200 || status == 203; }

}  // namespace

void downloadChecked(Context& run, const std::string& remoteName, const std::string& localName, const Checks& checks,
                     velloran::Durability durability) {
    if (velloran::trimSpaces(localName).empty()) return;

    if (!currentFolder.empty()) currentFolder = velloran::normaliseFolder(currentFolder);
    const std::string refused = velloran::refusedTarget(currentFolder, localName);
    if (!refused.empty()) throw Failure(FailureKind::Refused, "Refused to store \"" + localName + "\": " + refused);
    // The way to the target is looked at before the request, so a refused
    // target costs no request, and again once the answer is known to be
    // good: the head may take the server long, and a link put on the way
    // meanwhile must not be written through.
    auto locate = [&] {
        Target target = locateTarget(run.fs(), currentFolder, localName);
        if (!target.leadsOutside.empty())
            throw Failure(FailureKind::Refused, "Refused to store \"" + localName + "\": " + target.leadsOutside +
                                                    " is a link that leads outside the program folder");
        return target;
    };
    locate();

    const std::string url = velloran::encodeRequestAddress(baseUrl + remoteName);
    run.http().begin(url);
    BodyReader body(run, url);
    body.awaitHead();
    if (!carriesWholeFile(run.http().status()))
        body.fail(FailureKind::Protocol, "the server answered with status " + std::to_string(run.http().status()));

    // Without a Content-Length the body is read to its end.
    const std::optional<std::uint64_t> announced = run.http().contentLength();
    if (announced && *announced > checks.cap)
        body.fail(FailureKind::Protocol, "it is larger than " + std::to_string(checks.cap) + " bytes");

    // A manifest entry may promise the size and SHA-256 of its file; the
    // bytes are checked before they replace anything.
    const Promise& promise = checks.promise;
    std::optional<std::uint64_t> promisedSize;
    if (!promise.size.empty()) {
        promisedSize = velloran::parseByteCount(promise.size);
        if (!promisedSize)
            body.fail(FailureKind::Refused, "the manifest's FileSize \"" + promise.size + "\" is not a byte count");
        if (announced && *announced != *promisedSize)
            body.fail(FailureKind::Protocol, "the server announced " + std::to_string(*announced) +
                                                 " bytes, the manifest " + std::to_string(*promisedSize));
    }
    std::unique_ptr<velloran::Sha256> digest;
    if (!promise.sha256.empty()) {
        if (!run.services.makeSha256) body.fail(FailureKind::Refused, "this build cannot check a FileHash");
        digest = run.services.makeSha256();
    }

    // Folders are made only for an answer that will be stored.
    const Target checked = locate();
    makeFolders(run.fs(), checked);
    auto& window = run.window();
    auto file = run.fs().create(checked.path, durability);
    std::string kept;  // the whole body, for a check that needs it
    auto store = [&](const char* data, std::size_t size) {
        file->write(data, size);
        if (digest) digest->update(data, size);
        if (checks.vet) kept.append(data, size);
    };
    char chunk[kChunk];
    std::uint64_t requested = 0;
    if (announced) {
        while (requested < *announced) {
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, *announced - requested));
            const std::size_t got = body.read(chunk, want);
            if (got < want) {
                body.failIfBroken();
                body.fail(FailureKind::Network, "the connection closed after " + std::to_string(requested + got) +
                                                    " of " + std::to_string(*announced) + " bytes");
            }
            store(chunk, got);
            requested += got;
            window.setPercentage(velloran::percentageText(requested, *announced));
        }
        body.drain();
    } else {
        for (;;) {
            const std::size_t got = body.read(chunk, kChunk);
            if (got == 0) break;
            requested += got;
            if (requested > checks.cap)
                body.fail(FailureKind::Protocol, "it is larger than " + std::to_string(checks.cap) + " bytes");
            if (promisedSize && requested > *promisedSize)
                body.fail(FailureKind::Protocol, "it is larger than the manifest's FileSize of " +
                                                     std::to_string(*promisedSize) + " bytes");
            store(chunk, got);
        }
        window.setPercentage("100%");
    }
    body.failIfBroken();
    if (promisedSize && requested != *promisedSize)
        body.fail(FailureKind::Protocol, "received " + std::to_string(requested) + " bytes, the manifest's FileSize is " +
                                             std::to_string(*promisedSize));
    if (digest && digest->hexDigest() != velloran::lowerAscii(promise.sha256))
        body.fail(FailureKind::Protocol, "the received bytes do not match the manifest's FileHash");
    if (checks.vet) checks.vet(kept);
    file->commit();
    run.manifests.forget(checked.path);

    window.pumpMessages();
    window.setDetailStatus("Downloaded " + remoteName + "!");
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
