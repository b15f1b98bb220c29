// Fakes of the window, the transfer and the file system for engine tests.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ascii.h"
#include "engine_services.h"
#include "failure.h"
#include "file_names.h"
#include "fs.h"
#include "http.h"
#include "mod_update.h"
#include "status_surface.h"

namespace fakes {

// Records every window operation as "name\targument", the trace's format.
struct Surface : velloran::StatusSurface, velloran::FailureReport {
    std::vector<std::string> log;
    int pumps = 0;
    std::function<void()> onPump;  // runs inside a pump, as a click would

    void showWindow() override { log.push_back("show\t"); }
    void setCaption(const std::string& t) override { log.push_back("caption\t" + t); }
    void setMainStatus(const std::string& t) override { log.push_back("L2\t" + t); }
    void setDetailStatus(const std::string& t) override { log.push_back("L3\t" + t); }
    void setPercentage(const std::string& t) override { log.push_back("Label4\t" + t); }
    void setNews(const std::string& t) override { log.push_back("news\t" + t); }
    void setLaunchEnabled(bool e) override { log.push_back(std::string("lblConnect\t") + (e ? "1" : "0")); }
    void pumpMessages() override {
        ++pumps;
        if (onPump) onPump();
    }
    void reportFailure(const std::string& t) override { log.push_back("failure\t" + t); }

    // The log without Label4 lines, which most tests do not look at.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : log)
            if (!line.starts_with("Label4\t")) out.push_back(line);
        return out;
    }
    std::vector<std::string> only(const std::string& name) const {
        std::vector<std::string> out;
        for (const auto& line : log)
            if (line.starts_with(name + "\t")) out.push_back(line.substr(name.size() + 1));
        return out;
    }
};

struct Response {
    Response(int s = 200, std::string b = {}) : status(s), body(std::move(b)) {}
    int status = 200;
    std::string body;
    bool sendLength = true;       // announce a length
    std::optional<std::uint64_t> length;  // the length announced, when not the body's
    std::size_t deliverOnly = std::string::npos;  // body bytes delivered before `error`
    std::string error;            // failure after deliverOnly bytes
    velloran::FailureKind errorKind = velloran::FailureKind::Network;
    std::size_t perPoll = 4096;   // bytes that arrive per poll
};

// A scripted transfer: each URL answers from `site`; unknown URLs get 404.
// With `sideBySide`, another() gives transfers that run beside it: they
// answer from its site, log to its requests, and a poll of any of them moves
// every one on, as one wait over several connections does.
struct Http : velloran::HttpTransfer {
    std::map<std::string, Response> site;
    std::vector<std::string> requests;
    int polls = 0;
    bool sideBySide = false;
    // The most requests of the family under way at once.
    std::size_t busiest = 0;

    Http() = default;
    Http(const Http&) = delete;
    ~Http() override {
        if (root_) std::erase(root_->members_, this);
    }

    void begin(const std::string& url) override {
        Http& root = root_ ? *root_ : *this;
        root.requests.push_back(url);
        auto it = root.site.find(url);
        current_ = it != root.site.end() ? it->second : Response{404, "<html>Not Found</html>"};
        delivered_ = 0;
        buffer_.clear();
        head_ = false;
        begun_ = true;
        root.countBusy();
    }
    void poll(std::chrono::milliseconds) override {
        Http& root = root_ ? *root_ : *this;
        ++root.polls;
        root.step();
        for (Http* member : root.members_) member->step();
        root.countBusy();
    }
    std::unique_ptr<velloran::HttpTransfer> another() override {
        Http& root = root_ ? *root_ : *this;
        if (!root.sideBySide) return nullptr;
        auto member = std::make_unique<Http>();
        member->root_ = &root;
        root.members_.push_back(member.get());
        return member;
    }
    bool headReady() const override { return head_; }
    int status() const override { return head_ ? current_.status : 0; }
    std::optional<std::uint64_t> contentLength() const override {
        if (!current_.sendLength) return std::nullopt;
        return current_.length ? *current_.length : current_.body.size();
    }
    std::size_t read(char* out, std::size_t max) override {
        std::size_t n = std::min(max, buffer_.size());
        buffer_.copy(out, n);
        buffer_.erase(0, n);
        return n;
    }
    bool finished() const override {
        return head_ && delivered_ == std::min(current_.deliverOnly, current_.body.size());
    }
    std::string error() const override { return finished() ? current_.error : std::string(); }
    velloran::FailureKind errorKind() const override { return current_.errorKind; }

private:
    void step() {
        if (!begun_) return;
        if (!head_) {
            head_ = true;
            return;
        }
        std::size_t limit = std::min(current_.deliverOnly, current_.body.size());
        std::size_t n = std::min(current_.perPoll, limit - delivered_);
        buffer_.append(current_.body, delivered_, n);
        delivered_ += n;
    }
    void countBusy() {
        std::size_t busy = begun_ && !finished();
        for (const Http* member : members_) busy += member->begun_ && !member->finished();
        busiest = std::max(busiest, busy);
    }

    Response current_;
    std::size_t delivered_ = 0;
    std::string buffer_;
    bool head_ = false;
    bool begun_ = false;
    Http* root_ = nullptr;
    std::vector<Http*> members_;
};

// An in-memory file system rooted at /game, with '/' as separator.
struct Fs : velloran::FileSystem {
    std::map<std::string, std::string> files;
    std::set<std::string> folders{"/game"};
    std::set<std::string> hidden;
    std::vector<std::string> ops;  // "mkdir path", "commit path"
    std::set<std::string> unwritable;  // commits to these paths fail
    std::set<std::string> linksOutside;  // folders that are links leading out of the program folder
    int stamps = 0, reads = 0;

    std::string programFolder() const override { return "/game"; }
    char separator() const override { return '/'; }
    bool isPlainFile(const std::string& p) override { return files.count(p) && !hidden.count(p); }
    std::string findEntry(const std::string& folder, const std::string& name) override {
        std::string lower = velloran::lowerAscii(name), found;
        for (const auto& n : names(folder)) {
            if (n == name) return n;
            if (velloran::lowerAscii(n) == lower && found.empty()) found = n;
        }
        return found;
    }
    bool liesOutside(const std::string&, const std::string& p) override {
        for (const auto& link : linksOutside)
            if (p == link || p.starts_with(link + "/")) return true;
        return false;
    }
    void makeFolder(const std::string& p) override {
        if (folders.count(p) || files.count(p)) throw velloran::Failure(velloran::FailureKind::Io, "exists: " + p);
        if (!folders.count(p.substr(0, p.rfind('/'))))
            throw velloran::Failure(velloran::FailureKind::NotFound, "no parent: " + p);
        folders.insert(p);
        ops.push_back("mkdir " + p);
    }
    struct Out : velloran::OutputFile {
        Fs& fs;
        std::string target, data;
        bool durable;
        Out(Fs& f, std::string t, bool d) : fs(f), target(std::move(t)), durable(d) {}
        void write(const char* d, std::size_t n) override { data.append(d, n); }
        void commit() override {
            if (fs.unwritable.count(target)) throw velloran::Failure(velloran::FailureKind::Io, "Cannot write " + target);
            fs.files[target] = data;
            ++fs.version[target];
            fs.ops.push_back((durable ? "commit durably " : "commit ") + target);
        }
    };
    std::unique_ptr<velloran::OutputFile> create(const std::string& target, velloran::Durability d) override {
        if (!folders.count(target.substr(0, target.rfind('/'))))
            throw velloran::Failure(velloran::FailureKind::NotFound, "Cannot create " + target);
        return std::make_unique<Out>(*this, target, d == velloran::Durability::Now);
    }
    // A resumable file is the entry resumePath(target) of `files`, written
    // at once, so a test sees, plants and removes it there. Its commit is
    // recorded as create()'s is; commits to `unwritable` targets fail, and
    // so do writes to a resume path listed there.
    static std::string resumePath(const std::string& target) {
        const std::size_t slash = target.rfind('/');
        return target.substr(0, slash + 1) + velloran::resumeFileName(target.substr(slash + 1));
    }
    struct Resumable : velloran::ResumableFile {
        Fs& fs;
        std::string target, path;
        std::size_t kept;
        bool durable, open = true;
        Resumable(Fs& f, std::string t, bool d)
            : fs(f), target(std::move(t)), path(resumePath(target)), kept(fs.files[path].size()), durable(d) {}
        std::string& bytes() {
            if (!open) throw velloran::Failure(velloran::FailureKind::Io, "Cannot write " + target + ": closed");
            return fs.files[path];
        }
        std::uint64_t size() const override { return fs.files.count(path) ? fs.files.at(path).size() : 0; }
        void restart() override {
            bytes().clear();
            kept = 0;
            ++fs.version[path];
        }
        void write(const char* d, std::size_t n) override {
            if (fs.unwritable.count(path))
                throw velloran::Failure(velloran::FailureKind::Io, "Cannot write " + target);
            bytes().append(d, n);
            ++fs.version[path];
        }
        void readKept(const std::function<void(const char*, std::size_t)>& sink) override {
            const std::string held = bytes().substr(0, kept);
            // In pieces, as the real file systems hand them.
            for (std::size_t at = 0; at < held.size(); at += 7)
                sink(held.data() + at, std::min<std::size_t>(7, held.size() - at));
        }
        void commit() override {
            if (fs.unwritable.count(target))
                throw velloran::Failure(velloran::FailureKind::Io, "Cannot write " + target);
            fs.files[target] = bytes();
            fs.files.erase(path);
            open = false;
            ++fs.version[target];
            fs.ops.push_back((durable ? "commit durably " : "commit ") + target);
        }
    };
    std::unique_ptr<velloran::ResumableFile> openResumable(const std::string& target,
                                                           velloran::Durability d) override {
        if (!folders.count(target.substr(0, target.rfind('/'))))
            throw velloran::Failure(velloran::FailureKind::NotFound, "Cannot create " + target);
        if (folders.count(target))
            throw velloran::Failure(velloran::FailureKind::Io, "Cannot create " + target + ": a folder");
        return std::make_unique<Resumable>(*this, target, d == velloran::Durability::Now);
    }
    void syncAll() override { ops.push_back("sync"); }
    void remove(const std::string& p) override {
        files.erase(p);
        ops.push_back("remove " + p);
    }
    std::optional<velloran::FileStamp> stamp(const std::string& p) override {
        ++stamps;
        auto it = files.find(p);
        if (it == files.end()) return std::nullopt;
        return velloran::FileStamp{version[p], it->second.size(), 0};
    }
    std::optional<std::string> readFile(const std::string& p, std::size_t cap) override {
        ++reads;
        auto it = files.find(p);
        if (it == files.end()) return std::nullopt;
        return it->second.substr(0, cap);
    }
    std::vector<std::string> list(const std::string& folder) override {
        std::vector<std::string> out;
        for (const auto& n : names(folder)) out.push_back(folders.count(folder + "/" + n) ? n + "/" : n);
        return out;
    }

    std::map<std::string, std::uint64_t> version;

private:
    std::vector<std::string> names(const std::string& folder) const {
        std::vector<std::string> out;
        auto child = [&](const std::string& p) {
            if (p.size() > folder.size() + 1 && p.starts_with(folder + "/") &&
                p.find('/', folder.size() + 1) == std::string::npos)
                out.push_back(p.substr(folder.size() + 1));
        };
        for (const auto& f : folders) child(f);
        for (const auto& [p, _] : files) child(p);
        return out;
    }
};

// One engine run over the fakes.
struct Rig {
    Surface window;
    Http http;
    Fs fs;
    std::string address = "site.example/updates";

    void serve(const std::string& name, Response r) { http.site["http://site.example/updates/" + name] = std::move(r); }
    void serve(const std::string& name, const std::string& body) { serve(name, Response{200, body}); }
    modUpdate::Services services() { return velloran::test::engineServices(window, fs, &http, address); }
    void run() { run(services()); }
    // A run as at process start, whatever runs came before in this process.
    static void run(const modUpdate::Services& s) {
        modUpdate::resetEngineValues();
        modUpdate::startUpdate(s);
    }
};

}  // namespace fakes
