// HTTP on WinHTTP, the system's own stack: system proxy settings, TLS against
// the system certificate store.
//
// WinHTTP runs in asynchronous mode. Its callbacks come on WinHTTP's own
// threads and only move bytes into a small buffer and set an event; poll()
// waits on that event and on window messages together, so the user-interface
// thread never spins and windows stay live during a transfer. A read of the
// body is issued only while the buffer has room for it, which pauses the
// connection when the caller does not drain.
//
// Transfers made by another() form a family: they share the sessions (and so
// WinHTTP's pool of connections) and one event, which the callbacks of every
// member set, so a wait on any member ends on news of any.
//
// The proxy follows the user's settings as WinHttpGetIEProxyConfigForCurrentUser
// reports them: automatic detection and a configuration script go through
// WinHttpGetProxyForUrl (on a thread of its own: it blocks), a named proxy is
// used as named, and without either the WinHTTP default (netsh winhttp)
// applies. Each proxy route gets its own
// session opened for it, rather than WINHTTP_OPTION_PROXY on the request:
// Wine's WinHTTP accepts that option and ignores it.
#include "http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "http_framing.h"
#include "text_win.h"

namespace velloran {
namespace {

constexpr DWORD kReadSize = 16 * 1024;
constexpr std::size_t kBufferCap = 64 * 1024;

constexpr const char* kHeaderTooLarge = "The server sent a response header that is too large";
// Wine's WinHTTP keeps at most this many bytes of a head line and drops the
// rest without a word; a line this long may have been cut, so it counts as
// too large. (Windows' own limit, on the whole head, gives
// ERROR_WINHTTP_HEADER_SIZE_OVERFLOW.)
constexpr std::size_t kCutLineLength = 1459;

// How requests for one origin reach it: WinHttpOpen's access type with its
// proxy and bypass list.
struct ProxyRoute {
    DWORD access = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::wstring proxy;
    std::wstring bypass;

    std::wstring key() const { return std::to_wstring(access) + L'|' + proxy + L'|' + bypass; }
};

// One request, shared between the transfer (the user-interface thread) and
// WinHTTP's callback threads. It keeps itself alive (self) until WinHTTP
// reports that its handle is closing, since callbacks may still arrive after
// the transfer has abandoned it.
struct Request {
    std::mutex mutex;
    HINTERNET handle = nullptr;
    HANDLE event = nullptr;   // the transfer's; used only while !detached
    bool detached = false;    // abandoned: callbacks do nothing more
    bool headReady = false;
    bool finished = false;
    bool readPending = false;
    bool closed = false;      // its handle is closed, or will be when the calls in flight end
    int calls = 0;            // WinHTTP calls on the handle in flight outside the mutex
    bool closeDue = false;    // closed, but the closing waits for `calls` to end
    bool mayResend = true;    // false for a request that is itself sent again
    bool newConnection = false;  // WinHTTP opened a connection for it (none was reused)
    DWORD answerBytes = 0;    // bytes of the answer received so far
    bool resend = false;      // failed in a way that asks for sending it again
    // When the request now waiting for its head went out (again after each
    // redirect); unset before. A time-out after it is the server's silence.
    std::optional<std::chrono::steady_clock::time_point> sentAt;
    int status = 0;
    std::optional<std::uint64_t> length;  // Content-Length of the final response
    bool routing = false;     // not sent yet: waits for the proxy's route
    std::optional<ProxyRoute> route;  // set by the thread that found it
    std::deque<char> buffer;  // body bytes not yet read()
    std::uint64_t received = 0;  // body bytes received so far
    DWORD error = 0;
    std::string errorText;    // for failures that have no WinHTTP code
    char staging[kReadSize];  // target of the one outstanding WinHttpReadData
    std::shared_ptr<Request> self;

    // Callers hold the mutex.
    void signal() {
        if (!detached) SetEvent(event);
    }
    // A request on a reused connection that the server had closed fails
    // before any byte of the answer: the server never saw it, so it goes out
    // once more on a new connection instead of failing.
    bool lostOnReusedConnection(const WINHTTP_ASYNC_RESULT& result) const {
        if (!mayResend || newConnection || answerBytes > 0 || headReady) return false;
        if (result.dwResult != API_SEND_REQUEST && result.dwResult != API_RECEIVE_RESPONSE) return false;
        switch (result.dwError) {
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:  // Wine: the connection closed
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAESHUTDOWN:
            return true;
        default:
            return false;
        }
    }
    void fail(DWORD code) {
        if (finished) return;
        error = code;
        finished = true;
        signal();
    }

    // The handle for a WinHTTP call made without the mutex (WinHTTP may call
    // back on the same thread), or nullptr when the request is abandoned or
    // its handle closed. The handle stays open until leave(): WinHTTP reuses
    // the values of closed handles at once, and a call that reached a newer
    // request's handle would act on that request. Callers hold the mutex.
    HINTERNET enterLocked() {
        if (detached || closed || !handle) return nullptr;
        ++calls;
        return handle;
    }
    HINTERNET enter() {
        std::lock_guard lock(mutex);
        return enterLocked();
    }
    void leave() {
        HINTERNET due = nullptr;
        {
            std::lock_guard lock(mutex);
            if (--calls == 0 && closeDue) {
                closeDue = false;
                due = handle;
            }
        }
        if (due) WinHttpCloseHandle(due);
    }
    // Closes the handle now, or as the last call in flight ends. Its closing
    // callback releases the request.
    void close() {
        HINTERNET now = nullptr;
        {
            std::lock_guard lock(mutex);
            if (closed || !handle) return;
            closed = true;
            if (calls > 0)
                closeDue = true;
            else
                now = handle;
        }
        if (now) WinHttpCloseHandle(now);
    }
};

// One WinHTTP call on a request's handle from a callback thread: see enter().
struct HandleCall {
    explicit HandleCall(Request& request) : request(request), handle(request.enter()) {}
    ~HandleCall() {
        if (handle) request.leave();
    }
    HandleCall(const HandleCall&) = delete;
    HandleCall& operator=(const HandleCall&) = delete;
    Request& request;
    HINTERNET handle;
};

// Issues the next body read when the buffer has room and none is pending.
// Called without the mutex held: WinHTTP may run the completion callback on
// this very thread before WinHttpReadData returns.
void issueRead(Request& request) {
    HINTERNET handle;
    {
        std::lock_guard lock(request.mutex);
        if (request.finished || request.readPending || request.buffer.size() + kReadSize > kBufferCap) return;
        handle = request.enterLocked();
        if (!handle) return;
        request.readPending = true;
    }
    if (!WinHttpReadData(handle, request.staging, kReadSize, nullptr)) {
        DWORD code = GetLastError();
        std::lock_guard lock(request.mutex);
        request.readPending = false;
        request.fail(code);
    }
    request.leave();
}

// Instance `index` of the response header `query` (with `name` for
// WINHTTP_QUERY_CUSTOM) as text; nullopt when the head has no such instance.
std::optional<std::wstring> queryText(HINTERNET handle, DWORD query, DWORD index,
                                      const wchar_t* name = WINHTTP_HEADER_NAME_BY_INDEX) {
    DWORD size = 0;
    DWORD at = index;
    WinHttpQueryHeaders(handle, query, name, nullptr, &size, &at);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    at = index;
    if (!WinHttpQueryHeaders(handle, query, name, text.data(), &size, &at)) return std::nullopt;
    text.resize(size / sizeof(wchar_t));
    return text;
}

// True when a line of the final response's head reaches kCutLineLength.
bool headLineCut(HINTERNET handle) {
    const std::optional<std::wstring> raw = queryText(handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, 0);
    if (!raw) return false;
    for (std::size_t start = 0; start < raw->size();) {
        std::size_t end = raw->find(L"\r\n", start);
        if (end == std::wstring::npos) end = raw->size();
        if (end - start >= kCutLineLength) return true;
        start = end + 2;
    }
    return false;
}

// Judges the final response's framing from every Content-Length WinHTTP
// kept (each as text: its number query stops at 2^31-1, and Wine has no
// WINHTTP_QUERY_FLAG_NUMBER64) and its Transfer-Encoding.
Framing queryFraming(HINTERNET handle) {
    std::vector<std::string> lengths;
    for (DWORD index = 0;; ++index) {
        const std::optional<std::wstring> text = queryText(handle, WINHTTP_QUERY_CONTENT_LENGTH, index);
        if (!text) break;
        lengths.push_back(win::narrow(*text));
    }
    return judgeFraming(lengths, queryText(handle, WINHTTP_QUERY_TRANSFER_ENCODING, 0).has_value());
}

void CALLBACK onStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info, DWORD infoLength) {
    auto* request = reinterpret_cast<Request*>(context);
    if (!request) return;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER: {
        std::lock_guard lock(request->mutex);
        request->newConnection = true;
        break;
    }
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED: {
        std::lock_guard lock(request->mutex);
        // Wine reports a receive that failed as -1 bytes.
        const int received = info && infoLength >= sizeof(DWORD) ? static_cast<int>(*static_cast<DWORD*>(info)) : 0;
        if (received > 0) request->answerBytes += static_cast<DWORD>(received);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT: {
        std::lock_guard lock(request->mutex);
        // Redirects send again; the head time-out counts from the first.
        if (!request->sentAt) request->sentAt = std::chrono::steady_clock::now();
        break;
    }
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE: {
        // Comes even for a request already abandoned, whose handle value may
        // by now be a newer request's.
        HandleCall call(*request);
        if (call.handle && !WinHttpReceiveResponse(call.handle, nullptr)) {
            DWORD code = GetLastError();
            std::lock_guard lock(request->mutex);
            request->fail(code);
        }
        break;
    }
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
        HandleCall call(*request);
        if (!call.handle) break;
        DWORD code = 0;
        DWORD size = sizeof code;
        WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
        if (code >= 100 && code < 200) {
            // Windows passes over interim answers itself. Wine's WinHTTP does
            // so for 100 only: it hands any other on as the final answer and
            // refuses to receive the one after it, whose bytes would pass for
            // the body.
            std::lock_guard lock(request->mutex);
            request->errorText = "The server sent an interim answer (status " + std::to_string(code) +
                                 ") that WinHTTP does not pass over";
            request->fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
            break;
        }
        if (headLineCut(handle)) {
            std::lock_guard lock(request->mutex);
            request->errorText = kHeaderTooLarge;
            request->fail(ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
            break;
        }
        Framing framing = queryFraming(handle);
        if (!framing.refusal.empty()) {
            // No body read is issued: not a byte of it reaches the caller.
            std::lock_guard lock(request->mutex);
            request->errorText = std::move(framing.refusal);
            request->fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
            break;
        }
        {
            std::lock_guard lock(request->mutex);
            request->length = framing.length;
            request->status = static_cast<int>(code);
            request->headReady = true;
            request->signal();
        }
        issueRead(*request);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: {
        bool more;
        {
            std::lock_guard lock(request->mutex);
            request->readPending = false;
            if (infoLength == 0) {
                // WinHTTP reports a body cut short by the server as a normal
                // end; the announced length tells the two apart.
                if (request->length && request->received < *request->length) {
                    request->errorText = "The connection closed after " + std::to_string(request->received) +
                                         " of " + std::to_string(*request->length) + " bytes";
                    request->fail(ERROR_WINHTTP_CONNECTION_ERROR);
                }
                request->finished = true;
            } else {
                // Bytes past the announced length are not part of the body
                // (Wine's WinHTTP hands them on when the server sends them).
                DWORD keep = infoLength;
                if (request->length && request->received + keep > *request->length)
                    keep = static_cast<DWORD>(*request->length - request->received);
                request->received += keep;
                request->buffer.insert(request->buffer.end(), request->staging, request->staging + keep);
                if (request->length && request->received == *request->length) request->finished = true;
            }
            more = !request->finished;
            request->signal();
        }
        if (more) issueRead(*request);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
        std::lock_guard lock(request->mutex);
        request->readPending = false;
        if (result && !request->finished && request->lostOnReusedConnection(*result)) {
            request->resend = true;  // done by poll(), on the caller's thread
            request->signal();
            break;
        }
        request->fail(result ? static_cast<DWORD>(result->dwError) : ERROR_WINHTTP_INTERNAL_ERROR);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
        std::shared_ptr<Request> last;
        {
            std::lock_guard lock(request->mutex);
            last = std::move(request->self);
        }
        break;  // `last` may free the request here, after its mutex is released
    }
    default:
        break;
    }
}

// The system's text for a WinHTTP error; where the system has none (Wine's
// winhttp.dll carries no message table), the wording Windows uses.
std::string errorText(DWORD code) {
    std::string text = win::systemMessage(code, L"winhttp.dll");
    if (text != "error " + std::to_string(code)) return text;
    switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return "The operation timed out";
    case ERROR_WINHTTP_INVALID_URL: return "The URL is invalid";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "The URL does not use a recognized protocol";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "The server name or address could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "A connection with the server could not be established";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "The connection with the server was terminated abnormally";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "The server returned an invalid or unrecognized response";
    case ERROR_WINHTTP_REDIRECT_FAILED:
        return "The redirection failed because either the scheme changed or all attempts made to redirect failed";
    case ERROR_WINHTTP_SECURE_FAILURE: return "A security error occurred";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return "The certificate authority is invalid or incorrect";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "The certificate's CN name does not match the passed value";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "The certificate date is invalid";
    case ERROR_WINHTTP_SECURE_CERT_REVOKED: return "The certificate has been revoked";
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return "The certificate is invalid";
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE: return "The certificate is not valid for the requested usage";
    // Wine reports a certificate it cannot trust this way.
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "An error occurred in the secure channel support";
    default: return "WinHTTP " + text;
    }
}

// The user's proxy settings, read once per process, and what automatic
// detection or the configuration script said for each origin. Shared by all
// transfers: the script is fetched and run once, not per request.
class SystemProxy {
public:
    // Never destroyed: a discovery thread may still run as the process ends.
    static SystemProxy& instance() {
        static SystemProxy* proxy = new SystemProxy;
        return *proxy;
    }

    // The route for `origin` (scheme, host and port) when it is known without
    // asking WinHTTP; nullopt when detection or the script must be asked.
    std::optional<ProxyRoute> knownRoute(const std::wstring& origin) {
        std::lock_guard lock(mutex_);
        if (!automatic_ || automaticFailed_) return manual_;
        auto known = byOrigin_.find(origin);
        if (known != byOrigin_.end()) return known->second;
        return std::nullopt;
    }

    // The route for `url` of `origin`. Blocks while WinHTTP detects or runs
    // the configuration script, so it runs on a thread of its own. A failure
    // there is remembered for the rest of the run: a missing script costs one
    // time-out, not one per request.
    ProxyRoute routeFor(const std::wstring& url, const std::wstring& origin) {
        std::lock_guard discovering(discoveryMutex_);  // one discovery at a time
        if (std::optional<ProxyRoute> known = knownRoute(origin)) return *known;
        std::optional<ProxyRoute> found = discover(url);
        std::lock_guard lock(mutex_);
        if (!found) {
            automaticFailed_ = true;
            return manual_;
        }
        return byOrigin_[origin] = *found;
    }

private:
    SystemProxy() {
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
        if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return;
        automatic_ = config.fAutoDetect || config.lpszAutoConfigUrl;
        autoDetect_ = config.fAutoDetect;
        if (config.lpszAutoConfigUrl) configUrl_ = config.lpszAutoConfigUrl;
        if (config.lpszProxy && *config.lpszProxy) {
            manual_.access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            manual_.proxy = config.lpszProxy;
            if (config.lpszProxyBypass) manual_.bypass = config.lpszProxyBypass;
        }
        for (LPWSTR text : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass})
            if (text) GlobalFree(text);
    }

    // Asks WinHTTP what automatic detection and the script say for `url`.
    // Callers hold discoveryMutex_.
    std::optional<ProxyRoute> discover(const std::wstring& url) {
        // A synchronous session of its own: WinHttpGetProxyForUrl blocks,
        // and WinHTTP keeps the detected script with this session.
        if (!resolver_)
            resolver_ = WinHttpOpen(L"Velloran Update", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
        if (!resolver_) return std::nullopt;
        WINHTTP_AUTOPROXY_OPTIONS options{};
        if (autoDetect_) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        if (!configUrl_.empty()) {
            options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = configUrl_.c_str();
        }
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO info{};
        if (!WinHttpGetProxyForUrl(resolver_, url.c_str(), &options, &info)) return std::nullopt;
        ProxyRoute route;
        route.access = info.lpszProxy && *info.lpszProxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY;
        if (route.access == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
            route.proxy = info.lpszProxy;
            if (info.lpszProxyBypass) route.bypass = info.lpszProxyBypass;
        }
        if (info.lpszProxy) GlobalFree(info.lpszProxy);
        if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
        return route;
    }

    std::mutex discoveryMutex_;  // guards resolver_
    std::mutex mutex_;           // guards the rest
    bool automatic_ = false;  // detection or a script is asked for
    bool autoDetect_ = false;
    std::wstring configUrl_;
    ProxyRoute manual_;       // the named proxy, else the WinHTTP default
    bool automaticFailed_ = false;
    HINTERNET resolver_ = nullptr;  // lives as long as the process
    std::map<std::wstring, ProxyRoute> byOrigin_;
};

class WinHttpTransfer;

// What the transfers of one family share. Used on the caller's thread only,
// except the event, which WinHTTP's threads set through the requests.
struct Family {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::map<std::wstring, HINTERNET> sessions;  // by ProxyRoute::key()
    std::vector<WinHttpTransfer*> members;

    Family() = default;
    Family(const Family&) = delete;
    Family& operator=(const Family&) = delete;

    // Every member has closed its requests by now: their late callbacks no
    // longer touch the event.
    ~Family() {
        for (auto& [key, session] : sessions) WinHttpCloseHandle(session);
        CloseHandle(event);
    }

    // The session for `route`, opened on first use; nullptr with the error
    // in GetLastError() when WinHTTP refuses.
    HINTERNET session(const ProxyRoute& route) {
        const std::wstring key = route.key();
        auto known = sessions.find(key);
        if (known != sessions.end()) return known->second;
        HINTERNET session =
            WinHttpOpen(L"Velloran Update", route.access,
                        route.access == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? route.proxy.c_str() : WINHTTP_NO_PROXY_NAME,
                        route.access == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !route.bypass.empty()
                            ? route.bypass.c_str()
                            : WINHTTP_NO_PROXY_BYPASS,
                        WINHTTP_FLAG_ASYNC);
        if (!session) return nullptr;
        WinHttpSetStatusCallback(session, onStatus,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                                     WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER |
                                     WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE,
                                 0);
        sessions.emplace(key, session);
        return session;
    }
};

class WinHttpTransfer final : public HttpTransfer {
public:
    WinHttpTransfer(const HttpOptions& options, std::shared_ptr<Family> family)
        : options_(options), family_(std::move(family)) {
        family_->members.push_back(this);
    }

    ~WinHttpTransfer() override {
        abandon();
        if (connect_) WinHttpCloseHandle(connect_);
        std::erase(family_->members, this);
        // The last member to go takes the sessions and the event with it.
    }

    void begin(const std::string& url) override {
        url_ = win::widen(url);
        headers_.clear();
        launch(true);
    }

    void beginFrom(const std::string& url, std::uint64_t offset, const std::string& validator) override {
        // A validator with a control byte would end its header line and
        // start another: without it the range cannot be asked for safely.
        const bool sendable =
            std::none_of(validator.begin(), validator.end(), [](char c) { return c == 0x7f || (c >= 0 && c < 0x20); });
        if (offset == 0 || !sendable) return begin(url);
        url_ = win::widen(url);
        headers_ = L"Range: bytes=" + std::to_wstring(offset) + L"-";
        if (!validator.empty()) headers_ += L"\r\nIf-Range: " + win::widen(validator);
        launch(true);
    }

    std::unique_ptr<HttpTransfer> another() override {
        return std::make_unique<WinHttpTransfer>(options_, family_);
    }

    void poll(std::chrono::milliseconds timeout) override {
        // Resends and late heads are handled for the whole family: the caller
        // may be polling another member while this one waits.
        std::optional<std::chrono::milliseconds> headLeft = tendFamily();
        if (current_) {
            std::lock_guard lock(current_->mutex);
            if (current_->finished || !current_->buffer.empty()) return;
        }
        // WinHTTP's own time-outs count per receive, so a head that trickles
        // in is timed here; the wait ends in time to do so.
        if (headLeft && headLeft->count() <= 0) return;
        auto ms = std::clamp<std::chrono::milliseconds::rep>(std::min(timeout, headLeft.value_or(timeout)).count(),
                                                            0, INFINITE - 1);
        MsgWaitForMultipleObjectsEx(1, &family_->event, static_cast<DWORD>(ms), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        tendFamily();
    }

    bool headReady() const override {
        if (!current_) return false;
        std::lock_guard lock(current_->mutex);
        return current_->headReady || current_->finished;
    }

    int status() const override {
        if (!current_) return 0;
        std::lock_guard lock(current_->mutex);
        return current_->headReady ? current_->status : 0;
    }

    std::optional<std::uint64_t> contentLength() const override {
        if (!current_) return std::nullopt;
        std::lock_guard lock(current_->mutex);
        return current_->headReady ? current_->length : std::nullopt;
    }

    std::string header(const std::string& name) const override {
        if (!current_ || name.empty()) return {};
        HINTERNET handle;
        {
            std::lock_guard lock(current_->mutex);
            // Only the caller's thread closes the handle, so it stays valid
            // for the queries below.
            if (!current_->headReady || current_->closed) return {};
            handle = current_->handle;
        }
        const std::wstring wideName = win::widen(name);
        std::optional<std::wstring> last;
        for (DWORD index = 0;; ++index) {
            std::optional<std::wstring> value = queryText(handle, WINHTTP_QUERY_CUSTOM, index, wideName.c_str());
            if (!value) break;
            last = std::move(value);
        }
        if (!last) return {};
        const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
        std::size_t first = 0;
        std::size_t end = last->size();
        while (first < end && blank((*last)[first])) ++first;
        while (end > first && blank((*last)[end - 1])) --end;
        return win::narrow(last->substr(first, end - first));
    }

    std::size_t read(char* out, std::size_t max) override {
        if (!current_) return 0;
        std::size_t n;
        {
            std::lock_guard lock(current_->mutex);
            n = std::min(max, current_->buffer.size());
            std::copy_n(current_->buffer.begin(), n, out);
            current_->buffer.erase(current_->buffer.begin(), current_->buffer.begin() + static_cast<std::ptrdiff_t>(n));
        }
        if (n > 0) issueRead(*current_);
        return n;
    }

    bool finished() const override {
        if (!current_) return true;
        std::lock_guard lock(current_->mutex);
        return current_->finished;
    }

    FailureKind errorKind() const override {
        if (!current_) return FailureKind::Network;
        std::lock_guard lock(current_->mutex);
        const DWORD code = current_->finished ? current_->error : 0;
        return code == ERROR_WINHTTP_INVALID_SERVER_RESPONSE || code == ERROR_WINHTTP_HEADER_SIZE_OVERFLOW
                   ? FailureKind::Protocol
                   : FailureKind::Network;
    }

    std::string error() const override {
        if (!current_) return {};
        DWORD code;
        std::string text;
        bool sent;
        bool headReady;
        {
            std::lock_guard lock(current_->mutex);
            code = current_->finished ? current_->error : 0;
            text = current_->errorText;
            sent = current_->sentAt.has_value();
            headReady = current_->headReady;
        }
        if (!code) return {};
        if (!text.empty()) return text;
        if (code == ERROR_WINHTTP_HEADER_SIZE_OVERFLOW) return kHeaderTooLarge;
        // A time-out after the request went out is the server's silence:
        // before the head the receive-response time-out (the head time-out),
        // after it the receive time-out (the stall time-out). Wine reports
        // them as the socket's WSAETIMEDOUT, Windows as its own code.
        if (sent && (code == ERROR_WINHTTP_TIMEOUT || code == WSAETIMEDOUT))
            return headReady ? "No data received for " + std::to_string(options_.stallTimeout.count()) + " seconds"
                             : lateHeadText();
        return errorText(code);
    }

private:
    // Abandons any running request and sends a new one for url_.
    void launch(bool mayResend) {
        abandon();
        // A signal left by the abandoned request must not cut the next wait
        // short; in a family it may be another member's news, which a
        // spurious wake costs less than losing.
        if (family_->members.size() == 1) ResetEvent(family_->event);
        auto request = std::make_shared<Request>();
        request->event = family_->event;
        request->mayResend = mayResend;
        current_ = request;
        DWORD code = crack(url_, target_);
        if (!code) {
            if (std::optional<ProxyRoute> route = SystemProxy::instance().knownRoute(target_.origin)) {
                code = start(*request, *route);
            } else {
                // Detection and the script may take seconds: they run on a
                // thread of their own while poll() keeps the window live, and
                // the request goes out from poll() once the route is in.
                request->routing = true;
                try {
                    std::thread([request, url = url_, origin = target_.origin] {
                        ProxyRoute route = SystemProxy::instance().routeFor(url, origin);
                        std::lock_guard lock(request->mutex);
                        request->route = std::move(route);
                        request->signal();
                    }).detach();
                } catch (const std::system_error&) {
                    request->routing = false;
                    code = start(*request, SystemProxy::instance().routeFor(url_, target_.origin));
                }
            }
        }
        if (code) {
            std::lock_guard lock(request->mutex);
            request->fail(code);
        }
    }

    // Sends the running request once its route is in.
    void startRouted() {
        if (!current_) return;
        std::optional<ProxyRoute> route;
        {
            std::lock_guard lock(current_->mutex);
            if (!current_->routing || !current_->route) return;
            current_->routing = false;
            route = current_->route;
        }
        if (DWORD code = start(*current_, *route)) {
            std::lock_guard lock(current_->mutex);
            current_->fail(code);
        }
    }

    // Sends again what asked for it and fails the late heads, for every
    // member; returns the least time any member's head has left (nullopt
    // when none awaits its head).
    std::optional<std::chrono::milliseconds> tendFamily() {
        std::optional<std::chrono::milliseconds> least;
        // A copy: nothing here adds or removes members, but stay safe.
        const std::vector<WinHttpTransfer*> members = family_->members;
        for (WinHttpTransfer* member : members) {
            member->startRouted();
            member->resendIfAsked();
            std::optional<std::chrono::milliseconds> left = member->headTimeLeft();
            if (left && left->count() <= 0) {
                member->failLateHead();
                left = std::chrono::milliseconds(0);
            }
            if (left && (!least || *left < *least)) least = left;
        }
        return least;
    }

    // Sends the running request once more when its callbacks asked for it.
    // Its failed connection is closed with its handle, so the new one does
    // not take it up again.
    void resendIfAsked() {
        if (!current_) return;
        {
            std::lock_guard lock(current_->mutex);
            if (!current_->resend) return;
        }
        launch(false);
    }

    std::string lateHeadText() const {
        return "The server sent no complete response head within " + std::to_string(options_.headTimeout.count()) +
               " seconds";
    }

    // Time left for the running request's head; nullopt when no head is
    // awaited (not sent yet, already in, or the transfer is over).
    std::optional<std::chrono::milliseconds> headTimeLeft() const {
        if (!current_) return std::nullopt;
        std::lock_guard lock(current_->mutex);
        if (current_->finished || current_->headReady || !current_->sentAt) return std::nullopt;
        return std::chrono::ceil<std::chrono::milliseconds>(*current_->sentAt + options_.headTimeout -
                                                            std::chrono::steady_clock::now());
    }

    // Ends the running request whose head is late: it fails, and closing its
    // handle makes WinHTTP stop reading what the server still sends.
    void failLateHead() {
        {
            std::lock_guard lock(current_->mutex);
            if (current_->finished || current_->headReady) return;
            current_->errorText = lateHeadText();
            current_->fail(ERROR_WINHTTP_TIMEOUT);
        }
        current_->close();
    }

    // Where a request goes, from its address.
    struct Target {
        std::wstring host;
        INTERNET_PORT port = 0;
        std::wstring path;
        bool secure = false;
        std::wstring origin;  // scheme, host and port: what the proxy route is kept by
    };

    static DWORD crack(const std::wstring& url, Target& target) {
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof parts;
        parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
            static_cast<DWORD>(-1);
        if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return GetLastError();
        target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
        target.port = parts.nPort;
        target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
        target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        if (target.path.empty()) target.path = L"/";
        target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
        target.origin = std::wstring(parts.lpszScheme, parts.dwSchemeLength) + L"://" + target.host + L':' +
                        std::to_wstring(parts.nPort);
        return 0;
    }

    // Opens and sends the request to target_ by `route`; 0 when it is under
    // way, else the error.
    DWORD start(Request& request, const ProxyRoute& route) {
        HINTERNET session = family_->session(route);
        if (!session) return GetLastError();

        // The session pools connections; one connect handle per server
        // is kept so that consecutive requests to the site share it.
        if (!connect_ || session != connectSession_ || target_.host != connectHost_ || target_.port != connectPort_) {
            if (connect_) WinHttpCloseHandle(connect_);
            connect_ = WinHttpConnect(session, target_.host.c_str(), target_.port, 0);
            if (!connect_) return GetLastError();
            connectSession_ = session;
            connectHost_ = target_.host;
            connectPort_ = target_.port;
        }

        // The address arrives encoded: WinHTTP must not escape it again.
        DWORD flags = WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
        if (target_.secure) flags |= WINHTTP_FLAG_SECURE;
        HINTERNET handle = WinHttpOpenRequest(connect_, L"GET", target_.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
        if (!handle) return GetLastError();
        {
            std::lock_guard lock(request.mutex);
            request.handle = handle;
            request.self = current_;
        }
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&request);
        WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);

        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
        WinHttpSetOption(handle, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
        DWORD redirects = 10;
        WinHttpSetOption(handle, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);
        int connectMs = static_cast<int>(std::chrono::milliseconds(options_.connectTimeout).count());
        int stallMs = static_cast<int>(std::chrono::milliseconds(options_.stallTimeout).count());
        WinHttpSetTimeouts(handle, connectMs, connectMs, stallMs, stallMs);
        auto headTimeout = static_cast<DWORD>(std::chrono::milliseconds(options_.headTimeout).count());
        WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headTimeout, sizeof headTimeout);

        const wchar_t* headers = headers_.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers_.c_str();
        if (!WinHttpSendRequest(handle, headers, static_cast<DWORD>(headers_.size()), WINHTTP_NO_REQUEST_DATA, 0, 0,
                                context))
            return GetLastError();
        return 0;
    }

    // Lets the running request go: its late callbacks change nothing here.
    void abandon() {
        if (!current_) return;
        bool opened;
        {
            std::lock_guard lock(current_->mutex);
            current_->detached = true;
            opened = current_->handle != nullptr;
            // Without a handle no callback will release the request.
            if (!opened) current_->self.reset();
        }
        if (opened) current_->close();
        current_.reset();
    }

    HttpOptions options_;
    std::shared_ptr<Family> family_;
    HINTERNET connect_ = nullptr;
    HINTERNET connectSession_ = nullptr;  // the session connect_ belongs to
    std::wstring connectHost_;
    INTERNET_PORT connectPort_ = 0;
    std::wstring url_;      // of the running request
    Target target_;         // where it goes
    std::wstring headers_;  // sent with it besides WinHTTP's own
    std::shared_ptr<Request> current_;
};

}  // namespace

std::unique_ptr<HttpTransfer> makeHttpTransfer(const HttpOptions& options) {
    return std::make_unique<WinHttpTransfer>(options, std::make_shared<Family>());
}

}  // namespace velloran
