// HTTP transfer over libcurl's multi interface, driven from the caller's loop.
//
// Each transfer owns one easy handle for its whole life. A family of
// transfers (the first one and those another() made from it) shares one multi
// handle: it keeps the connection pool, so a request after a completed one
// reuses the open connection, and over https with HTTP/2 the requests of the
// family are streams of one connection. Whichever member polls drives them
// all and hands each finished easy handle's result to its own transfer.
// Body bytes pass through a bounded buffer per transfer: when it is full the
// write callback pauses that transfer alone, and read() lifts the pause once
// the engine has drained enough, so memory stays flat whatever the body's
// size.
#include "http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "failure.h"
#include "http_framing.h"

namespace velloran {
namespace {

// How much libcurl receives in one go (CURLOPT_BUFFERSIZE). Its default of
// 16 KiB costs a system call and a write callback per 16 KiB; large files
// come in faster with fewer, larger reads.
constexpr long kReceiveSize = 64 * 1024;
// Most body bytes held between the network and the engine. A single write
// callback delivers at most kReceiveSize bytes; room for at least two lets the network
// refill one half while the engine drains the other.
constexpr std::size_t kBodyBufferCap = 192 * 1024;
static_assert(kBodyBufferCap >= 2 * static_cast<std::size_t>(kReceiveSize));

// Where Debian keeps the hashed system certificates; used as CAPATH when an
// extra authority file takes the CAINFO slot.
constexpr const char* kSystemCertDir = "/etc/ssl/certs";

// True for the result libcurl gives when a response header exceeds its
// limit; before 8.6 it is the generic out-of-memory code.
bool headerTooLarge(CURLcode result) {
#if LIBCURL_VERSION_NUM >= 0x080600
    if (result == CURLE_TOO_LARGE) return true;
#endif
    return result == CURLE_OUT_OF_MEMORY;
}

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (rc != CURLE_OK)
            throw Failure(FailureKind::Network, std::string("Cannot start the HTTP library: ") + curl_easy_strerror(rc));
    });
}

// True when `url` is an https address, as libcurl's own URL parser reads it.
bool isHttps(const std::string& url) {
    CURLU* parsed = curl_url();
    if (!parsed) return false;
    char* scheme = nullptr;
    const bool https = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                       curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                       std::strcmp(scheme, "https") == 0;
    curl_free(scheme);
    curl_url_cleanup(parsed);
    return https;
}

// `text` without the blanks (spaces and tabs) at either end.
std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// True when `value` can go into a request header line as it stands: no line
// break or other control byte that would end the line or start another.
bool fitsHeaderLine(const std::string& value) {
    return std::none_of(value.begin(), value.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; });
}

// The request headers every request carries, followed by `more` (each a
// whole "Name: value" line). nullptr when memory ran out.
curl_slist* requestHeaders(const std::vector<std::string>& more) {
    curl_slist* list = nullptr;
    std::vector<std::string> lines{"Cache-Control: no-cache", "Pragma: no-cache"};
    lines.insert(lines.end(), more.begin(), more.end());
    for (const auto& line : lines) {
        curl_slist* longer = curl_slist_append(list, line.c_str());
        if (!longer) {
            curl_slist_free_all(list);
            return nullptr;
        }
        list = longer;
    }
    return list;
}

class CurlTransfer;

// What the transfers of one family share. It lives as long as its last
// member, whichever that is.
struct CurlFamily {
    CurlFamily() {
        initCurlOnce();
        multi = curl_multi_init();
        if (!multi) throw Failure(FailureKind::Network, "Cannot start the HTTP library: out of memory");
    }
    ~CurlFamily() { curl_multi_cleanup(multi); }
    CurlFamily(const CurlFamily&) = delete;
    CurlFamily& operator=(const CurlFamily&) = delete;

    CURLM* multi = nullptr;
    // Every living member; each easy handle in `multi` belongs to one.
    std::vector<CurlTransfer*> members;
    // Counts every piece of news of any member (a head, body bytes, an end),
    // so poll() can tell that something happened while it waited.
    std::uint64_t news = 0;
};

class CurlTransfer final : public HttpTransfer {
public:
    CurlTransfer(const HttpOptions& options, std::shared_ptr<CurlFamily> family)
        : options_(options), family_(std::move(family)) {
        easy_ = curl_easy_init();
        if (!easy_) throw Failure(FailureKind::Network, "Cannot start the HTTP library: out of memory");
        family_->members.push_back(this);
        body_.reserve(kBodyBufferCap);
        try {
            configure();
        } catch (...) {
            release();
            throw;
        }
    }

    ~CurlTransfer() override { release(); }

    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    void begin(const std::string& url) override { start(url, 0, {}); }

    void beginFrom(const std::string& url, std::uint64_t offset, const std::string& validator) override {
        // A validator that would break the header line cannot be sent; the
        // whole file is asked for instead, as from a server that ignores
        // ranges.
        if (!fitsHeaderLine(validator)) offset = 0;
        start(url, offset, validator);
    }

    std::unique_ptr<HttpTransfer> another() override { return std::make_unique<CurlTransfer>(options_, family_); }

    std::string header(const std::string& name) const override {
        if (!headSeen_) return {};
        // The last request of the transfer is the final one after redirects.
        curl_header* h = nullptr;
        if (curl_easy_header(easy_, name.c_str(), 0, CURLH_HEADER, -1, &h) != CURLHE_OK) return {};
        if (h->amount > 1 && curl_easy_header(easy_, name.c_str(), h->amount - 1, CURLH_HEADER, -1, &h) != CURLHE_OK)
            return {};
        return std::string(trimBlanks(h->value ? h->value : ""));
    }

    // Waits for news of any member of the family: this transfer's own state
    // ends the wait at once, a sibling's only when it changes meanwhile (a
    // sibling's full buffer, left unread on purpose, is no news).
    void poll(std::chrono::milliseconds timeout) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
        const std::uint64_t newsBefore = family_->news;
        for (;;) {
            driveFamily();
            if (done_ || buffered() > 0 || family_->news != newsBefore || !familyRunning()) return;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return;

            curl_waitfd wake{};
            wake.fd = options_.wakeFd;
            wake.events = CURL_WAIT_POLLIN;
            const unsigned extra = options_.wakeFd >= 0 ? 1u : 0u;
            const int waitMs = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
            CURLMcode mrc = curl_multi_poll(family_->multi, extra ? &wake : nullptr, extra, waitMs, nullptr);
            if (mrc != CURLM_OK) {
                failFamily(mrc);
                return;
            }
            if (extra && (wake.revents & (CURL_WAIT_POLLIN | CURL_WAIT_POLLPRI))) {
                // A window event is pending; let the caller pump before we
                // look at the network again (driveFamily() runs on the next
                // call).
                return;
            }
        }
    }

    bool headReady() const override { return headReady_; }
    int status() const override { return headReady_ ? status_ : 0; }

    std::optional<std::uint64_t> contentLength() const override {
        return headReady_ ? contentLength_ : std::nullopt;
    }

    std::size_t read(char* out, std::size_t max) override {
        const std::size_t n = std::min(max, buffered());
        if (n > 0) {
            std::memcpy(out, body_.data() + bodyStart_, n);
            bodyStart_ += n;
            if (bodyStart_ == body_.size()) {
                body_.clear();
                bodyStart_ = 0;
            }
        }
        // Resume once half the buffer is free, so the network refills it
        // while the engine is still writing out the other half. The resume
        // may deliver the held-back chunk into the buffer right here.
        if (paused_ && buffered() <= kBodyBufferCap / 2) {
            paused_ = false;
            CURLcode rc = curl_easy_pause(easy_, CURLPAUSE_CONT);
            if (rc != CURLE_OK && !done_) finish(rc);
        }
        return n;
    }

    bool finished() const override { return done_; }
    std::string error() const override { return error_; }
    FailureKind errorKind() const override { return errorKind_; }

private:
    // Starts a GET of `url`, of its bytes from `offset` on when that is not 0.
    void start(const std::string& url, std::uint64_t offset, const std::string& validator) {
        abandon();
        body_.clear();
        bodyStart_ = 0;
        headReady_ = false;
        status_ = 0;
        contentLength_.reset();
        refusal_.clear();
        done_ = false;
        error_.clear();
        errorBuffer_[0] = '\0';
        lastByte_ = std::chrono::steady_clock::now();
        lastReceived_ = 0;
        stalled_ = false;
        requestSent_.reset();
        headLate_ = false;
        headSeen_ = false;

        // Redirects may never leave TLS once the request started on it.
        const bool secure = isHttps(url);
        CURLcode rc = curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        if (rc == CURLE_OK)
            rc = curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
        // Over https a new request waits for the family's connection being
        // set up to tell whether it takes HTTP/2 streams, instead of opening
        // one more. Over http it could only wait for the first answer.
        if (rc == CURLE_OK) rc = curl_easy_setopt(easy_, CURLOPT_PIPEWAIT, secure ? 1L : 0L);
        if (rc == CURLE_OK) rc = setRange(offset, validator);
        if (rc != CURLE_OK) {
            finish(rc);
            return;
        }
        CURLMcode mrc = curl_multi_add_handle(family_->multi, easy_);
        if (mrc != CURLM_OK) {
            done_ = true;
            headReady_ = true;
            error_ = curl_multi_strerror(mrc);
            return;
        }
        attached_ = true;
    }

    // The Range and If-Range of the next request: none for offset 0. The
    // header list in use is replaced, never changed, and freed once the
    // handle holds the new one.
    CURLcode setRange(std::uint64_t offset, const std::string& validator) {
        const std::string range = offset > 0 ? std::to_string(offset) + "-" : std::string();
        CURLcode rc = curl_easy_setopt(easy_, CURLOPT_RANGE, offset > 0 ? range.c_str() : nullptr);
        if (rc != CURLE_OK) return rc;
        std::vector<std::string> more;
        if (offset > 0 && !validator.empty()) more.push_back("If-Range: " + validator);
        curl_slist* headers = requestHeaders(more);
        if (!headers) return CURLE_OUT_OF_MEMORY;
        rc = curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers);
        if (rc != CURLE_OK) {
            curl_slist_free_all(headers);
            return rc;
        }
        curl_slist_free_all(requestHeaders_);
        requestHeaders_ = headers;
        return CURLE_OK;
    }

    void configure() {
        auto set = [this](CURLoption option, auto value) {
            CURLcode rc = curl_easy_setopt(easy_, option, value);
            if (rc != CURLE_OK)
                throw Failure(FailureKind::Network, std::string("Cannot set up the HTTP library: ") + curl_easy_strerror(rc));
        };
        set(CURLOPT_ERRORBUFFER, errorBuffer_);
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_HTTPGET, 1L);
        set(CURLOPT_PROTOCOLS_STR, "http,https");
        set(CURLOPT_FOLLOWLOCATION, 1L);
        set(CURLOPT_MAXREDIRS, 10L);
        set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        set(CURLOPT_USERAGENT, "Velloran Update");
        set(CURLOPT_PRIVATE, this);
        set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::chrono::milliseconds(options_.connectTimeout).count()));
        // "No byte for stallTimeout" is watched in onProgress: libcurl's own
        // speed limit would also end a transfer that trickles slowly.
        set(CURLOPT_NOPROGRESS, 0L);
        set(CURLOPT_XFERINFOFUNCTION, &CurlTransfer::onProgress);
        set(CURLOPT_XFERINFODATA, this);
        set(CURLOPT_PREREQFUNCTION, &CurlTransfer::onRequest);
        set(CURLOPT_PREREQDATA, this);
        set(CURLOPT_SSL_VERIFYPEER, 1L);
        set(CURLOPT_SSL_VERIFYHOST, 2L);
        if (!options_.extraCaFile.empty()) {
            // CAINFO names one file, so the system store comes in through
            // the hashed directory instead of its bundle file.
            set(CURLOPT_CAINFO, options_.extraCaFile.c_str());
            set(CURLOPT_CAPATH, kSystemCertDir);
        }
        set(CURLOPT_BUFFERSIZE, kReceiveSize);
        set(CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody);
        set(CURLOPT_WRITEDATA, this);
        set(CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
        set(CURLOPT_HEADERDATA, this);
    }

    // Leaves the family: the easy handle goes, the family (and its pool)
    // stays for the other members, and goes with the last of them.
    void release() {
        abandon();
        curl_easy_cleanup(easy_);
        easy_ = nullptr;
        curl_slist_free_all(requestHeaders_);
        requestHeaders_ = nullptr;
        auto& members = family_->members;
        members.erase(std::remove(members.begin(), members.end(), this), members.end());
    }

    // Drops a request that is still running. Its connection is closed by
    // libcurl (a half-read response cannot be reused); a paused transfer is
    // resumed into the void first so libcurl frees what it held back.
    void abandon() {
        if (!attached_) return;
        if (paused_) {
            discarding_ = true;
            curl_easy_pause(easy_, CURLPAUSE_CONT);
            discarding_ = false;
            paused_ = false;
        }
        curl_multi_remove_handle(family_->multi, easy_);
        attached_ = false;
    }

    std::size_t buffered() const { return body_.size() - bodyStart_; }

    bool familyRunning() const {
        const auto& members = family_->members;
        return std::any_of(members.begin(), members.end(), [](const CurlTransfer* t) { return t->attached_; });
    }

    // Lets libcurl do whatever the sockets of the whole family allow without
    // waiting, and hands each finished request's result to its transfer.
    void driveFamily() {
        if (!familyRunning()) return;
        CURLM* multi = family_->multi;
        int running = 0;
        CURLMcode mrc = curl_multi_perform(multi, &running);
        if (mrc != CURLM_OK) {
            failFamily(mrc);
            return;
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* easy = msg->easy_handle;
            const CURLcode result = msg->data.result;
            char* owner = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner);
            auto* t = reinterpret_cast<CurlTransfer*>(owner);
            // Detaching a finished handle keeps its connection pooled in
            // the multi handle for the next request. `msg` is gone with it.
            curl_multi_remove_handle(multi, easy);
            t->attached_ = false;
            t->finish(result);
        }
    }

    void finish(CURLcode result) {
        done_ = true;
        ++family_->news;
        const bool headWasIn = headReady_;
        if (!headReady_) {
            long code = 0;
            curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
            status_ = static_cast<int>(code);
            headReady_ = true;
        }
        errorKind_ = FailureKind::Network;
        if (!refusal_.empty()) {
            errorKind_ = FailureKind::Protocol;
            error_ = refusal_;
        } else if (result == CURLE_ABORTED_BY_CALLBACK && headLate_) {
            error_ = "The server sent no complete response head within " +
                     std::to_string(options_.headTimeout.count()) + " seconds";
        } else if (!headWasIn && headerTooLarge(result)) {
            errorKind_ = FailureKind::Protocol;
            error_ = "The server sent a response header that is too large";
        } else if (result == CURLE_ABORTED_BY_CALLBACK && stalled_) {
            error_ = "No data received for " + std::to_string(options_.stallTimeout.count()) + " seconds";
        } else if (result != CURLE_OK) {
            error_ = errorBuffer_[0] ? std::string(errorBuffer_) : std::string(curl_easy_strerror(result));
            if (result == CURLE_COULDNT_CONNECT) {
                // libcurl says "Failed to connect to H port P after N ms:
                // Couldn't connect to server"; the system's reason
                // ("Connection refused") tells the user more.
                long osError = 0;
                curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osError);
                if (osError != 0) {
                    const std::string reason = std::strerror(static_cast<int>(osError));
                    const std::size_t after = error_.find(" after ");
                    if (error_.rfind("Failed to connect to ", 0) == 0 && after != std::string::npos)
                        error_ = error_.substr(0, after) + ": " + reason;
                    else
                        error_ += " (" + reason + ")";
                }
            }
            if (error_.empty()) error_ = "HTTP transfer failed";
        }
    }

    // The multi handle itself failed: every running request of the family
    // ends with its text.
    void failFamily(CURLMcode mrc) {
        for (CurlTransfer* t : family_->members) {
            if (!t->attached_) continue;
            curl_multi_remove_handle(family_->multi, t->easy_);
            t->attached_ = false;
            t->done_ = true;
            t->headReady_ = true;
            t->error_ = curl_multi_strerror(mrc);
            t->errorKind_ = FailureKind::Network;
        }
        ++family_->news;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto* t = static_cast<CurlTransfer*>(self);
        const std::size_t n = size * count;
        if (t->discarding_) return n;
        // Bodies of followed redirects never reach this callback, so the
        // first body byte belongs to the final response.
        if (!t->headReady_) {
            t->headComplete();
            if (!t->refusal_.empty()) return 0;
        }
        if (t->buffered() + n > kBodyBufferCap) {
            t->paused_ = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (t->body_.size() + n > kBodyBufferCap) {
            t->body_.erase(0, t->bodyStart_);
            t->bodyStart_ = 0;
        }
        t->body_.append(data, n);
        ++t->family_->news;
        return n;
    }

    // Called by libcurl just before it sends a request (the first one and
    // each redirected one): the head time-out counts from the first, so a
    // chain of redirects, each with a slow head, cannot stretch it.
    static int onRequest(void* self, char*, char*, int, int) {
        auto* t = static_cast<CurlTransfer*>(self);
        if (!t->requestSent_) t->requestSent_ = std::chrono::steady_clock::now();
        return CURL_PREREQFUNC_OK;
    }

    // Called by libcurl at every turn of the transfer: ends it when the head
    // is late, or when no byte has come for the stall time. A pause of ours
    // (the engine has not read the buffer yet) is not the server's stall.
    static int onProgress(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
        auto* t = static_cast<CurlTransfer*>(self);
        const auto now = std::chrono::steady_clock::now();
        // Header lines and 1xx answers restart the stall clock (onHeader),
        // never the head clock: a head may trickle in, but not for ever.
        if (!t->headReady_ && t->requestSent_ && now - *t->requestSent_ >= t->options_.headTimeout) {
            t->headLate_ = true;
            return 1;
        }
        if (received != t->lastReceived_ || t->paused_) {
            t->lastReceived_ = received;
            t->lastByte_ = now;
        }
        if (now - t->lastByte_ < t->options_.stallTimeout) return 0;
        t->stalled_ = true;
        return 1;
    }

    // Called by libcurl with each line of each response head (redirects and
    // interim 1xx answers included), after libcurl has read the line itself.
    // Only the empty line that ends a head matters here.
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
        auto* t = static_cast<CurlTransfer*>(self);
        t->lastByte_ = std::chrono::steady_clock::now();
        const std::size_t n = size * count;
        const bool endOfHead = (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
        if (!endOfHead || t->headReady_) return n;
        long code = 0;
        curl_easy_getinfo(t->easy_, CURLINFO_RESPONSE_CODE, &code);
        curl_header* location = nullptr;
        const bool interim = code < 200;
        // A redirect with a Location is followed: its successor's head comes next.
        const bool followed = code >= 300 && code < 400 &&
                              curl_easy_header(t->easy_, "Location", 0, CURLH_HEADER, -1, &location) == CURLHE_OK;
        if (interim || followed) return n;
        t->headComplete();
        // Refusing here ends the transfer before a byte of the body is delivered.
        return t->refusal_.empty() ? n : 0;
    }

    // The final response's head is in: its status becomes known, and its
    // length unless its framing is ambiguous (see judgeFraming), which
    // libcurl itself would settle by a guess.
    void headComplete() {
        headReady_ = true;
        headSeen_ = true;
        ++family_->news;
        long code = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
        status_ = static_cast<int>(code);

        std::vector<std::string> lengths;
        curl_header* h = nullptr;
        for (std::size_t i = 0;
             curl_easy_header(easy_, "Content-Length", i, CURLH_HEADER, -1, &h) == CURLHE_OK && i < h->amount; ++i)
            lengths.emplace_back(h->value);
        const bool encoded = curl_easy_header(easy_, "Transfer-Encoding", 0, CURLH_HEADER, -1, &h) == CURLHE_OK;
        refusal_ = judgeFraming(lengths, encoded).refusal;
        if (!refusal_.empty()) return;

        curl_off_t length = -1;
        curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length >= 0) contentLength_ = static_cast<std::uint64_t>(length);
    }

    HttpOptions options_;
    std::shared_ptr<CurlFamily> family_;
    CURL* easy_ = nullptr;
    curl_slist* requestHeaders_ = nullptr;  // the list CURLOPT_HTTPHEADER points at
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    std::chrono::steady_clock::time_point lastByte_;
    curl_off_t lastReceived_ = 0;
    bool stalled_ = false;
    std::optional<std::chrono::steady_clock::time_point> requestSent_;  // the first request since begin()
    bool headLate_ = false;
    bool attached_ = false;

    // Body bytes not yet read: body_[bodyStart_, size()).
    std::string body_;
    std::size_t bodyStart_ = 0;
    bool paused_ = false;
    bool discarding_ = false;

    bool headReady_ = false;
    bool headSeen_ = false;  // the final response's head arrived (not only the end)
    int status_ = 0;
    std::optional<std::uint64_t> contentLength_;
    std::string refusal_;  // why the final response's framing was refused

    bool done_ = false;
    std::string error_;
    FailureKind errorKind_ = FailureKind::Network;
};

}  // namespace

std::unique_ptr<HttpTransfer> makeHttpTransfer(const HttpOptions& options) {
    return std::make_unique<CurlTransfer>(options, std::make_shared<CurlFamily>());
}

}  // namespace velloran
