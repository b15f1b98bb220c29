// Test fixtures: real servers on 127.0.0.1 and temporary folders.
//
// TestSite serves a temporary site folder either with nginx (the real thing)
// or with fault_server.py (a Python server that breaks answers on request).
// Every constructor or start() that cannot do its job throws
// std::runtime_error with the reason (and the server's own error output), so
// a broken environment fails a test loudly instead of passing it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velloran::test {

// A fresh folder under the system's temporary folder, removed with all its
// contents by the destructor.
class TempFolder {
public:
    explicit TempFolder(const std::string& label = "velloran");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Full path, no trailing slash.
    const std::string& path() const { return path_; }
    // Full path of `relative` inside the folder.
    std::string at(const std::string& relative) const;

    // Writes `content` to `relative`, making missing parent folders.
    void write(const std::string& relative, const std::string& content) const;
    // Content of `relative`; nullopt when it cannot be read.
    std::optional<std::string> read(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    // Names in `relative` (the folder itself when empty), sorted.
    std::vector<std::string> list(const std::string& relative = "") const;

private:
    std::string path_;
};

// Runs the openssl command with `args` (without the program name); throws
// with openssl's output when it fails. Its output goes to `logFile`.
void runOpenssl(const std::vector<std::string>& args, const std::string& logFile);

class TestSite {
public:
    enum class Server { Nginx, Fault };
    struct Options {
        Server server = Server::Nginx;
        // nginx only: serve https with a fresh self-signed certificate for
        // 127.0.0.1 (see caFile()).
        bool https = false;
        // nginx https only: offer HTTP/2 (by ALPN) besides HTTP/1.1.
        bool http2 = false;
    };

    TestSite();
    explicit TestSite(Options options);
    ~TestSite();  // stops the server
    TestSite(const TestSite&) = delete;
    TestSite& operator=(const TestSite&) = delete;

    // Site content, by path below the site root: "updates/info.ini" is
    // served as /updates/info.ini. Files may be written before or after
    // start().
    void addFile(const std::string& sitePath, const std::string& content);
    // The site folder, for tests that write files themselves.
    const TempFolder& siteFolder() const { return site_; }

    // Fault server: `requestPath` ("/updates/a.dat") answers with the fault
    // given as a JSON object ({"mode": "short", "send": 10}); takes effect at
    // once, also while the server runs.
    void addFault(const std::string& requestPath, const std::string& faultJson);
    // nginx: `requestPath` answers `status` with Location `location`.
    // Must come before start().
    void addRedirect(const std::string& requestPath, const std::string& location, int status = 302);

    // nginx only: directives added inside the server block, such as the
    // location rules docs/PUBLISHING.md recommends. Must come before start().
    void addServerRules(const std::string& rules);

    // Starts the server and returns once its port accepts connections.
    void start();
    void stop();

    int port() const { return port_; }
    // "127.0.0.1:PORT/updates": the address form the program has compiled in.
    std::string baseAddress() const;
    // "http://127.0.0.1:PORT" + path (https for an https site).
    std::string url(const std::string& path) const;
    // The certificate to trust for an https site (HttpOptions::extraCaFile).
    std::string caFile() const;

    // The requests received so far, in order, each "GET /path" as sent
    // (double slashes and %-escapes kept). Waits briefly for the server's
    // log to settle, since nginx logs a request after answering it.
    std::vector<std::string> requests() const;
    // nginx only: the connection serial number of each logged request, in
    // the same order, to tell reused connections from new ones.
    std::vector<std::string> connections() const;

private:
    std::vector<std::string> logLines(const std::string& file) const;
    void writeFaults() const;
    void startNginx();
    void startFaultServer();
    void waitUntilAccepting(std::chrono::milliseconds limit);
    std::string serverOutput() const;

    Options options_;
    TempFolder site_;
    TempFolder work_;
    std::vector<std::pair<std::string, std::string>> faults_;
    std::vector<std::string> redirects_;
    std::string serverRules_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A free TCP port on 127.0.0.1 (bound once and released).
int freePort();
// A port on 127.0.0.1 where nothing listens (connections are refused).
int refusedPort();

}  // namespace velloran::test
