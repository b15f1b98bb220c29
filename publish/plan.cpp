#include "plan.h"

#include <map>
#include <set>

#include "ascii.h"
#include "digest.h"
#include "failure.h"
#include "file_names.h"
#include "http.h"
#include "mod_update.h"
#include "paths.h"
#include "site.h"
#include "status_surface.h"

namespace velloran::publish {
namespace {

// The address the engine is given; only failure texts show it.
constexpr std::string_view kAddress = "site";
constexpr std::string_view kBase = "http://site/";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char lower = lowerAscii(c);
    if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
    return -1;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The window, recorded.
class Window : public StatusSurface, public FailureReport {
public:
    explicit Window(PlanResult& result) : result_(result) {}
    void showWindow() override {}
    void setCaption(const std::string& t) override { result_.events.push_back("caption\t" + t); }
    void setMainStatus(const std::string& t) override {
        result_.outcome = t;
        if (!t.empty()) result_.events.push_back("status\t" + t);
    }
    void setDetailStatus(const std::string& t) override {
        if (!t.empty()) result_.events.push_back("detail\t" + t);
    }
    void setPercentage(const std::string&) override {}
    void setNews(const std::string&) override {}
    void setLaunchEnabled(bool) override {}
    void pumpMessages() override {}
    void reportFailure(const std::string& t) override {
        result_.failure = t;
        result_.events.push_back("failure\t" + t);
    }

private:
    PlanResult& result_;
};

// A static web server over the site folder, answering at once: a file's
// bytes with 200, anything else 404.
class SiteHttp : public HttpTransfer {
public:
    SiteHttp(FileReader& disk, std::string folder, PlanResult& result)
        : disk_(disk), folder_(std::move(folder)), result_(result) {}

    void begin(const std::string& url) override {
        // As a web server maps a path: %-escapes decoded, empty components
        // (the client's "updates//news.txt") merged.
        const std::string path = percentDecoded(url.substr(std::min(url.size(), kBase.size())));
        std::string name;
        bool inside = url.starts_with(kBase);
        for (const std::string& part : pathComponents(path)) {
            if (part == "." || part == "..") inside = false;
            name += (name.empty() ? "" : "/") + part;
        }
        body_.clear();
        offset_ = 0;
        status_ = 404;
        if (inside && !name.empty()) {
            const std::string file = siteFile(disk_, folder_, name);
            if (const auto stamp = disk_.stamp(file)) {
                if (auto bytes = disk_.readFile(file, static_cast<std::size_t>(stamp->size))) {
                    body_ = std::move(*bytes);
                    status_ = 200;
                }
            }
        }
        if (status_ != 200) body_ = "<html>404 Not Found</html>";
        result_.events.push_back("request\t" + name);
        if (name != kManifestName && name != "news.txt")
            result_.files.push_back({name, status_, static_cast<std::uint64_t>(body_.size())});
    }
    void poll(std::chrono::milliseconds) override {}
    bool headReady() const override { return true; }
    int status() const override { return status_; }
    std::optional<std::uint64_t> contentLength() const override { return body_.size(); }
    std::size_t read(char* out, std::size_t max) override {
        const std::size_t n = std::min(max, body_.size() - offset_);
        body_.copy(out, n, offset_);
        offset_ += n;
        return n;
    }
    bool finished() const override { return true; }
    std::string error() const override { return {}; }
    FailureKind errorKind() const override { return FailureKind::Network; }

private:
    FileReader& disk_;
    std::string folder_;
    PlanResult& result_;
    std::string body_;
    std::size_t offset_ = 0;
    int status_ = 0;
};

// The program folder: what is on disk (an installed folder, or only the
// given info.ini), with the run's writes kept aside. Only the manifests'
// bytes are kept, as the engine reads nothing else back.
class PlayerFs : public FileSystem {
public:
    PlayerFs(FileSystem& disk, const PlayerState& state)
        : disk_(disk), backed_(!state.installedFolder.empty()), root_(backed_ ? state.installedFolder : "player") {
        if (!backed_ && state.localManifest) write(root_ + separator() + std::string(kManifestName), *state.localManifest);
    }

    std::string programFolder() const override { return root_; }
    char separator() const override { return disk_.separator(); }
    bool isPlainFile(const std::string& p) override {
        if (removed_.count(p)) return false;
        if (files_.count(p)) return true;
        return backed_ && disk_.isPlainFile(p);
    }
    std::string findEntry(const std::string& folder, const std::string& name) override {
        std::string found;
        for (const std::string& child : children(folder)) {
            if (child == name) return child;
            if (found.empty() && equalsIgnoringCase(child, name)) found = child;
        }
        return found;
    }
    bool liesOutside(const std::string& root, const std::string& p) override {
        if (folders_.count(p) || files_.count(p) || !backed_) return false;
        return disk_.liesOutside(root, p);
    }
    std::optional<FileStamp> stamp(const std::string& p) override {
        if (removed_.count(p)) return std::nullopt;
        if (auto it = files_.find(p); it != files_.end()) return it->second.stamp;
        return backed_ ? disk_.stamp(p) : std::nullopt;
    }
    std::optional<std::string> readFile(const std::string& p, std::size_t cap) override {
        if (removed_.count(p)) return std::nullopt;
        if (auto it = files_.find(p); it != files_.end()) return it->second.bytes.substr(0, cap);
        return backed_ ? disk_.readFile(p, cap) : std::nullopt;
    }
    std::vector<std::string> list(const std::string& folder) override {
        std::vector<std::string> out;
        for (const std::string& child : children(folder))
            out.push_back(folders_.count(folder + separator() + child) || isDiskFolder(folder, child)
                              ? child + separator()
                              : child);
        return out;
    }
    void makeFolder(const std::string& p) override { folders_.insert(p); }
    std::unique_ptr<OutputFile> create(const std::string& target, Durability) override {
        return std::make_unique<File>(*this, target);
    }
    void syncAll() override {}
    void remove(const std::string& p) override {
        files_.erase(p);
        removed_.insert(p);
    }

private:
    struct Kept {
        FileStamp stamp;
        std::string bytes;
    };
    class File : public OutputFile {
    public:
        File(PlayerFs& fs, std::string target) : fs_(fs), target_(std::move(target)) {
            const std::string name = target_.substr(target_.rfind(fs_.separator()) + 1);
            keep_ = equalsIgnoringCase(name, kManifestName) || equalsIgnoringCase(name, kTempManifestName);
        }
        void write(const char* data, std::size_t size) override {
            if (keep_) bytes_.append(data, size);
            size_ += size;
        }
        void commit() override { fs_.write(target_, std::move(bytes_), size_); }

    private:
        PlayerFs& fs_;
        std::string target_;
        std::string bytes_;
        std::uint64_t size_ = 0;
        bool keep_ = false;
    };

    void write(const std::string& path, std::string bytes, std::optional<std::uint64_t> size = std::nullopt) {
        Kept& kept = files_[path];
        kept.stamp = {++writes_, size ? *size : bytes.size(), 0};
        kept.bytes = std::move(bytes);
        removed_.erase(path);
    }

    bool isDiskFolder(const std::string& folder, const std::string& child) {
        if (!backed_) return false;
        for (const std::string& name : disk_.list(folder))
            if (name == child + separator()) return true;
        return false;
    }

    // The names in `folder`: on disk (when backed) and written by the run.
    std::vector<std::string> children(const std::string& folder) {
        std::set<std::string> names;
        if (backed_)
            for (std::string name : disk_.list(folder)) {
                if (!name.empty() && name.back() == separator()) name.pop_back();
                if (!removed_.count(folder + separator() + name)) names.insert(name);
            }
        const std::string prefix = folder + separator();
        auto add = [&](const std::string& path) {
            if (path.starts_with(prefix) && path.find(separator(), prefix.size()) == std::string::npos)
                names.insert(path.substr(prefix.size()));
        };
        for (const auto& [path, kept] : files_) add(path);
        for (const auto& path : folders_) add(path);
        return {names.begin(), names.end()};
    }

    FileSystem& disk_;
    bool backed_;
    std::string root_;
    std::map<std::string, Kept> files_;
    std::set<std::string> folders_;
    std::set<std::string> removed_;
    std::uint64_t writes_ = 0;
};

}  // namespace

PlanResult planUpdate(FileSystem& disk, const std::string& siteFolder, const PlayerState& state) {
    PlanResult result;
    Window window(result);
    SiteHttp http(disk, siteFolder, result);
    PlayerFs player(disk, state);
    modUpdate::Services services;
    services.surface = &window;
    services.report = &window;
    services.http = &http;
    services.fs = &player;
    services.siteAddress = std::string(kAddress);
    services.pumpInterval = std::chrono::milliseconds(0);
    services.makeSha256 = makeSha256;
    modUpdate::resetEngineValues();
    modUpdate::startUpdate(services);
    return result;
}

}  // namespace velloran::publish
