#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <chrono>
#include <limits>

#include "failure.h"
#include "internal.h"
#include "number.h"
#include "paths.h"
#include "text.h"

namespace modUpdate {
namespace {

using Clock = std::chrono::steady_clock;
using velloran::Failure;

constexpr std::size_t kChunk = 1024;
// Bytes beyond the announced length that are read (and dropped) to keep the
// connection; more than this and the connection is given up instead.
constexpr std::size_t kDrainLimit = 64 * 1024;

// Pulls body bytes from the transfer, keeping the window alive: it waits for
// the network (never spins) when nothing is buffered, and pumps the window at
// least once per pump interval even while data streams in without pause.
class BodyReader {
public:
    explicit BodyReader(std::string url) : url_(std::move(url)) {}

    // Waits for the final response head; a transport failure or a status
    // other than 2xx is a Failure.
    void awaitHead() {
        auto& http = detail::http();
        while (!http.headReady()) pause();
        if (!http.error().empty()) fail(http.error());
        int status = http.status();
        if (status < 200 || status > 299)
            fail("the server answered with status " + std::to_string(status));
    }

    // Reads up to `want` bytes; fewer only when the body has ended.
    std::size_t read(char* out, std::size_t want) {
        auto& http = detail::http();
        std::size_t got = 0;
        while (got < want) {
            std::size_t n = http.read(out + got, want - got);
            got += n;
            if (n == 0) {
                if (http.finished()) break;
                pause();
            } else if (Clock::now() - lastPump_ >= modUpdate::services().pumpInterval) {
                detail::surface().pumpMessages();
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
        auto& http = detail::http();
        char scratch[kChunk];
        std::size_t dropped = 0;
        while (!http.finished() && dropped < kDrainLimit) {
            const std::size_t n = http.read(scratch, sizeof scratch);
            dropped += n;
            if (n == 0) pause();
        }
    }

    void failIfBroken() const {
        const std::string error = detail::http().error();
        if (!error.empty()) fail(error);
    }

    [[noreturn]] void fail(const std::string& why) const {
        throw Failure("Could not download " + url_ + ": " + why);
    }

private:
    void pause() {
        detail::awaitNetwork();
        lastPump_ = Clock::now();
    }

    std::string url_;
    Clock::time_point lastPump_ = Clock::now();
};

std::optional<std::uint64_t> parseSize(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The target under the program folder, its folders made level by level where
// missing. An existing folder whose name differs only in letter case is used
// as it is, so a manifest written for a case-blind file system finds its
// folders here. The file name itself is taken as written, as the engine reads
// its own files (info.ini, temp.ini) by their exact names.
std::string resolveTarget(const std::vector<std::string>& parts) {
    auto& fs = detail::fs();
    std::string path = fs.programFolder();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string actual = fs.findEntry(path, parts[i]);
        if (actual.empty()) {
            actual = parts[i];
            fs.makeFolder(path + fs.separator() + actual);
        }
        path += fs.separator() + actual;
    }
    return path + fs.separator() + parts.back();
}

void download(const std::string& remoteName, const std::string& localName, std::size_t cap,
              velloran::Durability durability) {
    if (velloran::trimSpaces(localName).empty()) return;

    if (!currentFolder.empty()) currentFolder = velloran::normaliseFolder(currentFolder);
    const std::string refused = velloran::refusedTarget(currentFolder, localName);
    if (!refused.empty()) throw Failure("Refused to store \"" + localName + "\": " + refused);
    std::vector<std::string> parts = velloran::splitPath(currentFolder);
    for (std::string& part : velloran::splitPath(localName)) parts.push_back(std::move(part));
    const std::string target = resolveTarget(parts);

    const std::string url = velloran::encodeRequestAddress(baseUrl + remoteName);
    detail::http().begin(url);
    BodyReader body(url);
    body.awaitHead();

    // Without a Content-Length the body is read to its end.
    const std::string lengthText = detail::http().header("Content-Length");
    const std::int64_t announced = lengthText.empty() ? -1 : velloran::leadingNumber(lengthText);
    if (announced > 0 && static_cast<std::uint64_t>(announced) > cap)
        body.fail("it is larger than " + std::to_string(cap) + " bytes");

    // A manifest entry may promise the size and SHA-256 of its file; the
    // bytes are checked before they replace anything.
    const detail::Expectation& promise = detail::expected;
    std::optional<std::uint64_t> promisedSize;
    if (!promise.size.empty()) {
        promisedSize = parseSize(promise.size);
        if (!promisedSize) body.fail("the manifest's FileSize \"" + promise.size + "\" is not a byte count");
        if (announced >= 0 && static_cast<std::uint64_t>(announced) != *promisedSize)
            body.fail("the server announced " + std::to_string(announced) + " bytes, the manifest " +
                      std::to_string(*promisedSize));
    }
    std::unique_ptr<velloran::Sha256> digest;
    if (!promise.sha256.empty()) {
        if (!services().makeSha256) body.fail("this build cannot check a FileHash");
        digest = services().makeSha256();
    }

    auto& window = detail::surface();
    auto file = detail::fs().create(target, durability);
    auto store = [&](const char* data, std::size_t size) {
        file->write(data, size);
        if (digest) digest->update(data, size);
    };
    char chunk[kChunk];
    std::int64_t requested = 0;
    if (announced >= 0) {
        while (requested < announced) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kChunk, announced - requested));
            const std::size_t got = body.read(chunk, want);
            if (got < want) {
                body.failIfBroken();
                body.fail("the connection closed after " + std::to_string(requested + got) + " of " +
                          std::to_string(announced) + " bytes");
            }
            store(chunk, got);
            requested += static_cast<std::int64_t>(got);
            window.setPercentage(velloran::percentageText(requested, announced));
        }
        body.drain();
    } else {
        for (;;) {
            const std::size_t got = body.read(chunk, kChunk);
            if (got == 0) break;
            requested += static_cast<std::int64_t>(got);
            if (static_cast<std::uint64_t>(requested) > cap)
                body.fail("it is larger than " + std::to_string(cap) + " bytes");
            if (promisedSize && static_cast<std::uint64_t>(requested) > *promisedSize)
                body.fail("it is larger than the manifest's FileSize of " + std::to_string(*promisedSize) +
                          " bytes");
            store(chunk, got);
        }
        window.setPercentage("100%");
    }
    body.failIfBroken();
    if (promisedSize && static_cast<std::uint64_t>(requested) != *promisedSize)
        body.fail("received " + std::to_string(requested) + " bytes, the manifest's FileSize is " +
                  std::to_string(*promisedSize));
    if (digest && digest->hexDigest() != lowered(promise.sha256))
        body.fail("the received bytes do not match the manifest's FileHash");
    file->commit();
    detail::forgetSettings(target);

    window.pumpMessages();
    window.setDetailStatus("Downloaded " + remoteName + "!");
}

}  // namespace

// Files of the pass reach stable storage together, in one sync before the
// new info.ini is installed (see startUpdate): until then the old manifest
// makes the next run fetch them again.
void downloadFile(const std::string& remoteName, const std::string& localName) {
    download(remoteName, localName, std::numeric_limits<std::size_t>::max(), velloran::Durability::Later);
}

namespace detail {
void downloadManifest(const std::string& localName, velloran::Durability durability) {
    download("info.ini", localName, services().manifestCap, durability);
}
}  // namespace detail

std::string fetchText(const std::string& url, std::size_t cap, int* status) {
    const std::string address = velloran::encodeRequestAddress(url);
    detail::http().begin(address);
    BodyReader body(address);
    while (!detail::http().headReady()) detail::awaitNetwork();
    body.failIfBroken();
    if (status) *status = detail::http().status();
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

}  // namespace modUpdate
