// HTTP transfer service: one GET at a time per transfer, driven from the
// caller's loop; transfers made by another() run side by side and share
// one wait.
//
// The engine starts a request with begin(), then alternates poll() (which
// waits, never spins) with pumping the window and draining body bytes with
// read(). Body bytes are buffered by the backend only up to a small bound: a
// backend pauses the connection while its buffer is full, so memory does not
// grow with the size of the body.
//
// Backends: http_curl.cpp (libcurl), http_win.cpp (WinHTTP). One contract
// suite (tests/contract) runs against each. Where they depart from what this
// header promises:
//
// libcurl
//   - The proxy comes from the environment (http_proxy, https_proxy,
//     no_proxy), as libcurl reads it.
//   - A response header line over libcurl's limit (100 KiB in 7.88) is "too
//     large".
//   - Sending a request again after its reused connection was lost is
//     libcurl's own doing; the backend adds nothing.
//   - beginFrom() with a validator holding a line break or another control
//     byte asks for the whole file (no Range), since the validator cannot be
//     sent as it stands.
//
// WinHTTP
//   - extraCaFile is ignored: only the system store is trusted (the Windows
//     tests add their authority to the Wine prefix's store instead).
//   - wakeFd is ignored: poll() wakes for any message of the calling
//     thread's queue.
//   - The proxy comes from the user's settings (Internet Options, as
//     WinHttpGetIEProxyConfigForCurrentUser reads them): automatic detection
//     and a configuration script as WinHttpGetProxyForUrl resolves them, once
//     per scheme, host and port in a process (the first request there goes
//     out when the answer is in; poll() keeps waking for window messages
//     meanwhile); when they give no answer, which is remembered for the rest
//     of the process, or are not asked for, the named proxy and its bypass list;
//     without one, WinHTTP's own default (netsh winhttp). A redirect to
//     another server keeps the proxy of the first.
//   - beginFrom() with a validator holding a line break or another control
//     byte asks for the whole file (no Range), as with libcurl.
//   - The stall time-out is WinHTTP's receive time-out, which counts per
//     receive operation.
//   - WinHTTP does not send a request again after its reused connection was
//     lost; the backend does (a connection is taken as reused when WinHTTP
//     reported no new one for the request).
//   - Under Wine's WinHTTP (as of Wine 8):
//       - the user's settings are the DefaultConnectionSettings value only
//         (ProxyEnable and ProxyServer are not read), and a prefix without it
//         asks for automatic detection (which, with no detection server,
//         fails within a fraction of a second);
//       - WINHTTP_OPTION_PROXY is accepted and ignored, on a request as on a
//         session; the backend opens a session per proxy instead, so the
//         settings do apply;
//       - requests go to a proxy in the short form ("GET /path") when the
//         proxy's name is the same text as the server's (both "127.0.0.1"),
//         which a proxy refuses; naming it otherwise ("localhost") works;
//       - connections are pooled for the whole process, so a second transfer
//         may take over the idle connection of another;
//       - only 301, 302 and 307 redirects are followed; a 300, 303 or 308
//         answer is the final one;
//       - an interim answer other than 100 fails the transfer ("The server
//         sent an interim answer (status N) that WinHTTP does not pass
//         over"): Wine hands it on as the final answer and cannot receive
//         the one after it;
//       - a head line of 1459 bytes or more is "too large", since Wine cuts
//         such lines short without a word (Windows' own limit is on the whole
//         head, 64 KiB by default);
//       - Wine reads a body's length as a 32-bit number of its own, so a body
//         of 2 GiB or more ends early there; the backend reports that as a
//         failure ("The connection closed after X of Y bytes"), never as a
//         short body. contentLength() itself is read in 64 bits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "failure.h"

namespace velloran {

struct HttpOptions {
    // POSIX: a descriptor whose readability ends poll() early, so window
    // events are handled at once (the X connection). -1 for none. Ignored on
    // Windows, where poll() always wakes for window messages.
    int wakeFd = -1;
    // No connection within this time is a failure.
    std::chrono::seconds connectTimeout{15};
    // No byte received for this long is a failure.
    std::chrono::seconds stallTimeout{30};
    // The whole head of each response, interim 1xx answers included, must
    // arrive within this time of its request being sent, however steadily
    // its bytes come; otherwise the transfer fails.
    std::chrono::seconds headTimeout{30};
    // Extra certificate authority file (PEM) trusted besides the system
    // store; empty for the system store alone. Tests use it.
    std::string extraCaFile;
};

class HttpTransfer {
public:
    virtual ~HttpTransfer() = default;

    // Starts a GET of `url` (already encoded). Abandons any request still
    // running. Connections are reused between requests; redirects are followed
    // (at most 10, never from https to http); nothing is cached or compressed.
    // A request whose reused connection turns out closed by the server
    // (it fails before any byte of the answer arrived) is sent once more, on
    // a new connection.
    virtual void begin(const std::string& url) = 0;

    // Waits until there is news (the response head arrived, body bytes are
    // buffered, the transfer ended) or a window event is pending, but at most
    // `timeout`. Never busy-waits.
    virtual void poll(std::chrono::milliseconds timeout) = 0;

    // True once the final response's status line and headers are known
    // (after redirects), or the transfer ended.
    virtual bool headReady() const = 0;
    // Final status code; 0 before headReady() or when no response came.
    virtual int status() const = 0;
    // The body length the final response announces (its Content-Length, as
    // the HTTP library read it); nullopt when it announces none (the body
    // runs to its end). Valid once headReady().
    virtual std::optional<std::uint64_t> contentLength() const = 0;

    // Starts a GET of `url` for its bytes from `offset` on (a "Range:
    // bytes=offset-" request) sent with "If-Range: `validator`" (an ETag or
    // a Last-Modified date the server gave before), so a server whose file
    // changed since answers with the whole file (200) instead of the rest
    // (206). Otherwise as begin(); offset 0 is begin(url). The caller reads
    // the answer's status and Content-Range: a server may ignore the range.
    // The default ignores it, as such a server does.
    virtual void beginFrom(const std::string& url, std::uint64_t offset, const std::string& validator) {
        (void)offset;
        (void)validator;
        begin(url);
    }

    // The value of the final response's header `name` (compared without
    // regard to case), its surrounding blanks removed; of several, the last.
    // Empty when the response has none, and before headReady(). For ETag,
    // Last-Modified, Content-Range and Retry-After.
    virtual std::string header(const std::string& name) const {
        (void)name;
        return {};
    }

    // A new transfer that runs side by side with this one, over the same
    // pool of connections, sharing one wait: poll() on any transfer of the
    // family returns on news of any of them, so one loop can drive them all.
    // Each keeps its own body buffer (a full one pauses only its own
    // connection). Transfers of a family may be destroyed in any order.
    // nullptr when the backend runs one transfer at a time (the default).
    virtual std::unique_ptr<HttpTransfer> another() { return nullptr; }

    // Moves up to `max` buffered body bytes into `out` and returns how many.
    // 0 means nothing is buffered right now (see finished()).
    virtual std::size_t read(char* out, std::size_t max) = 0;

    // True when the transfer is over: every body byte has been received or
    // the transfer failed. Buffered bytes may still wait to be read().
    virtual bool finished() const = 0;
    // Empty on success; otherwise the failure's text: a transport failure
    // (name lookup, refused or reset connection, TLS error, time-out) or an
    // answer the backend refuses. Meaningful once finished().
    //
    // A final response whose framing is ambiguous is refused before any of
    // its body is delivered, with one of these texts:
    //   "The server announced conflicting Content-Length values"
    //   "The server announced both a Content-Length and a Transfer-Encoding"
    //   "The server announced an invalid Content-Length" (not plain digits,
    //       or beyond 64 bits)
    // Several Content-Length headers with one value are no ambiguity.
    //
    // A response head line beyond the backend's limit fails with
    //   "The server sent a response header that is too large"
    // and a head that is not complete within HttpOptions::headTimeout with
    //   "The server sent no complete response head within N seconds"
    // where a silence of HttpOptions::stallTimeout gives
    //   "No data received for N seconds".
    virtual std::string error() const = 0;
    // What kind of failure error() is: Protocol for an answer the backend
    // refuses (the framing refusals, the too large header, an answer the
    // library cannot read), Network for the time-outs and every transport
    // failure. Meaningful when error() is not empty.
    virtual FailureKind errorKind() const = 0;
};

std::unique_ptr<HttpTransfer> makeHttpTransfer(const HttpOptions& options);

}  // namespace velloran
