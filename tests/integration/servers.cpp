#include "servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velloran::test {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeWhole(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) fail("cannot write " + path);
}

// Starts argv[0] with stdout and stderr going to `outputFile` (stdout to
// `stdoutFd` instead when given) and none of our other descriptors.
pid_t spawn(const std::vector<std::string>& args, const std::string& outputFile, int stdoutFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) fail("cannot start " + args[0] + ": " + std::strerror(rc));
    return pid;
}

int runToEnd(const std::vector<std::string>& args, const std::string& outputFile) {
    const pid_t pid = spawn(args, outputFile);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace

void runOpenssl(const std::vector<std::string>& args, const std::string& logFile) {
    std::vector<std::string> command{VELLORAN_OPENSSL};
    command.insert(command.end(), args.begin(), args.end());
    if (runToEnd(command, logFile) != 0) fail("openssl " + args.at(0) + " failed:\n" + readWhole(logFile));
}

// ---------------------------------------------------------------- TempFolder

TempFolder::TempFolder(const std::string& label) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + label + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) fail("cannot make a temporary folder: " + std::string(std::strerror(errno)));
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempFolder::at(const std::string& relative) const {
    return relative.empty() ? path_ : path_ + "/" + relative;
}

void TempFolder::write(const std::string& relative, const std::string& content) const {
    const fs::path full = at(relative);
    fs::create_directories(full.parent_path());
    writeWhole(full, content);
}

std::optional<std::string> TempFolder::read(const std::string& relative) const {
    std::ifstream in(at(relative), std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool TempFolder::exists(const std::string& relative) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(at(relative), ec));
}

std::vector<std::string> TempFolder::list(const std::string& relative) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(at(relative), ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// ------------------------------------------------------------------ TestSite

TestSite::TestSite() : TestSite(Options{}) {}

TestSite::TestSite(Options options) : options_(options), site_("velloran-site"), work_("velloran-server") {
    if (options_.https && options_.server != Server::Nginx) fail("https is served by nginx only");
}

TestSite::~TestSite() { stop(); }

void TestSite::addFile(const std::string& sitePath, const std::string& content) { site_.write(sitePath, content); }

void TestSite::addFault(const std::string& requestPath, const std::string& faultJson) {
    if (options_.server != Server::Fault) fail("faults need the fault server");
    faults_.emplace_back(requestPath, faultJson);
    writeFaults();
}

void TestSite::addRedirect(const std::string& requestPath, const std::string& location, int status) {
    if (options_.server == Server::Fault) {
        addFault(requestPath,
                 "{\"mode\": \"redirect\", \"status\": " + std::to_string(status) + ", \"location\": \"" + location + "\"}");
        return;
    }
    if (pid_ > 0) fail("nginx redirects must be set before start()");
    redirects_.push_back("location = " + requestPath + " { return " + std::to_string(status) + " " + location + "; }");
}

void TestSite::addServerRules(const std::string& rules) {
    if (options_.server != Server::Nginx) fail("server rules are for nginx only");
    if (pid_ > 0) fail("nginx rules must be set before start()");
    serverRules_ += rules;
}

void TestSite::writeFaults() const {
    std::string json = "{\n";
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        json += "  \"" + faults_[i].first + "\": " + faults_[i].second;
        json += i + 1 < faults_.size() ? ",\n" : "\n";
    }
    json += "}\n";
    // Replace in one step: the server rereads the file on every request.
    writeWhole(work_.at("faults.json.new"), json);
    fs::rename(work_.at("faults.json.new"), work_.at("faults.json"));
}

void TestSite::start() {
    if (pid_ > 0) return;
    if (options_.server == Server::Nginx)
        startNginx();
    else
        startFaultServer();
}

void TestSite::startNginx() {
    port_ = freePort();
    const std::string w = work_.path();
    std::string tls;
    if (options_.https) {
        const int rc = runToEnd({VELLORAN_OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                 "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                                 "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", w + "/key.pem", "-out",
                                 w + "/cert.pem"},
                                w + "/openssl.out");
        if (rc != 0) fail("openssl could not make a certificate:\n" + readWhole(w + "/openssl.out"));
        tls = std::string(options_.http2 ? " ssl http2" : " ssl") + ";\n    ssl_certificate " + w +
              "/cert.pem;\n    ssl_certificate_key " + w + "/key.pem";
    }
    std::string redirects;
    for (const auto& r : redirects_) redirects += "    " + r + "\n";
    // Temporary paths point into our folder: the compiled-in ones belong to
    // the system's nginx and may not be writable.
    const std::string conf =
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid " + w + "/nginx.pid;\n"
        "error_log " + w + "/error.log info;\n"
        "events { worker_connections 128; }\n"
        "http {\n"
        "  log_format requests '$request_method $request_uri';\n"
        "  log_format connections '$connection';\n"
        "  access_log " + w + "/requests.log requests;\n"
        "  access_log " + w + "/connections.log connections;\n"
        "  client_body_temp_path " + w + "/body;\n"
        "  proxy_temp_path " + w + "/proxy;\n"
        "  fastcgi_temp_path " + w + "/fastcgi;\n"
        "  uwsgi_temp_path " + w + "/uwsgi;\n"
        "  scgi_temp_path " + w + "/scgi;\n"
        "  default_type application/octet-stream;\n"
        "  sendfile on;\n"
        "  keepalive_timeout 60;\n"
        "  keepalive_requests 10000;\n"
        "  server {\n"
        "    listen 127.0.0.1:" + std::to_string(port_) + tls + ";\n"
        "    server_name localhost;\n"
        "    root " + site_.path() + ";\n" +
        redirects + serverRules_ + "\n"
        "  }\n"
        "}\n";
    writeWhole(w + "/nginx.conf", conf);
    pid_ = spawn({VELLORAN_NGINX, "-p", w + "/", "-c", w + "/nginx.conf", "-e", w + "/error.log"}, w + "/server.out");
    waitUntilAccepting(std::chrono::seconds(10));
}

void TestSite::startFaultServer() {
    writeFaults();
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) fail("cannot make a pipe");
    const std::string w = work_.path();
    try {
        pid_ = spawn({VELLORAN_PYTHON, "-u", VELLORAN_FAULT_SERVER, "--root", site_.path(), "--faults",
                      w + "/faults.json", "--log", w + "/requests.log", "--port", "0"},
                     w + "/server.out", pipeFds[1]);
    } catch (...) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw;
    }
    ::close(pipeFds[1]);
    // Read "PORT <n>" from the server's first line of output.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c[64];
        const ssize_t n = ::read(pipeFds[0], c, sizeof c);
        if (n <= 0) break;
        line.append(c, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    if (line.rfind("PORT ", 0) != 0) {
        stop();
        fail("the fault server did not start:\n" + line + serverOutput());
    }
    port_ = std::atoi(line.c_str() + 5);
    waitUntilAccepting(std::chrono::seconds(10));
}

void TestSite::waitUntilAccepting(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!accepts(port_)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            fail("the test server ended at start:\n" + serverOutput());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            fail("the test server does not accept connections on port " + std::to_string(port_) + ":\n" +
                 serverOutput());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void TestSite::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

std::string TestSite::serverOutput() const {
    return readWhole(work_.at("server.out")) + readWhole(work_.at("error.log"));
}

std::string TestSite::baseAddress() const { return "127.0.0.1:" + std::to_string(port_) + "/updates"; }

std::string TestSite::url(const std::string& path) const {
    return std::string(options_.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::string TestSite::caFile() const { return work_.at("cert.pem"); }

std::vector<std::string> TestSite::logLines(const std::string& file) const {
    std::vector<std::string> lines = splitLines(readWhole(work_.at(file)));
    if (options_.server == Server::Nginx) {
        // nginx writes the line just after the answer's last byte; give it
        // a moment to catch up with a client that was quicker.
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::vector<std::string> again = splitLines(readWhole(work_.at(file)));
            if (again == lines) break;
            lines = std::move(again);
        }
    }
    return lines;
}

std::vector<std::string> TestSite::requests() const { return logLines("requests.log"); }

std::vector<std::string> TestSite::connections() const {
    if (options_.server != Server::Nginx) fail("connections are logged by nginx only");
    return logLines("connections.log");
}

// ------------------------------------------------------------------- ports

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("cannot make a socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        fail("cannot bind a socket on 127.0.0.1");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

int refusedPort() {
    const int port = freePort();
    if (accepts(port)) fail("port " + std::to_string(port) + " unexpectedly accepts");
    return port;
}

}  // namespace velloran::test
