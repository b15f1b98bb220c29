// A headless update run for the crash-safety test.
//
//   crash_driver PROGRAM_FOLDER ADDRESS [STOP_AFTER]
//
// Runs the real engine over the real backends with PROGRAM_FOLDER as the
// program folder. With STOP_AFTER = n the process ends abruptly (_exit 42)
// right after its n-th file operation (make a folder, create, write, commit,
// remove), as a power cut or a kill would. Without it, prints "OPS <count>"
// at the end. A failure report prints the text and exits 3.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "digest.h"
#include "fs.h"
#include "http.h"
#include "mod_update.h"

namespace {

long stopAfter = -1;
long operations = 0;

void counted() {
    if (++operations == stopAfter) _exit(42);
}

struct Headless : velloran::StatusSurface, velloran::FailureReport {
    void showWindow() override {}
    void setCaption(const std::string&) override {}
    void setMainStatus(const std::string&) override {}
    void setDetailStatus(const std::string&) override {}
    void setPercentage(const std::string&) override {}
    void setNews(const std::string&) override {}
    void setLaunchEnabled(bool) override {}
    void pumpMessages() override {}
    void reportFailure(const std::string& text) override {
        std::fprintf(stderr, "failure: %s\n", text.c_str());
        std::exit(3);
    }
};

class CountingFile : public velloran::OutputFile {
public:
    explicit CountingFile(std::unique_ptr<velloran::OutputFile> real) : real_(std::move(real)) {}
    void write(const char* d, std::size_t n) override {
        real_->write(d, n);
        counted();
    }
    void commit() override {
        real_->commit();
        counted();
    }

private:
    std::unique_ptr<velloran::OutputFile> real_;
};

class CountingFs : public velloran::FileSystem {
public:
    explicit CountingFs(std::string folder) : folder_(std::move(folder)) {}
    std::string programFolder() const override { return folder_; }
    char separator() const override { return real_->separator(); }
    bool isPlainFile(const std::string& p) override { return real_->isPlainFile(p); }
    std::string findEntry(const std::string& f, const std::string& n) override { return real_->findEntry(f, n); }
    bool isFolder(const std::string& p) override { return real_->isFolder(p); }
    void makeFolder(const std::string& p) override {
        real_->makeFolder(p);
        counted();
    }
    std::unique_ptr<velloran::OutputFile> create(const std::string& t) override {
        auto file = std::make_unique<CountingFile>(real_->create(t));
        counted();
        return file;
    }
    void remove(const std::string& p) override {
        real_->remove(p);
        counted();
    }
    std::optional<velloran::FileStamp> stamp(const std::string& p) override { return real_->stamp(p); }
    std::optional<std::string> readFile(const std::string& p, std::size_t cap) override {
        return real_->readFile(p, cap);
    }
    std::vector<std::string> list(const std::string& f) override { return real_->list(f); }

private:
    std::string folder_;
    std::unique_ptr<velloran::FileSystem> real_ = velloran::makeFileSystem();
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: crash_driver PROGRAM_FOLDER ADDRESS [STOP_AFTER]\n");
        return 2;
    }
    if (argc > 3) stopAfter = std::atol(argv[3]);
    CountingFs fs(argv[1]);
    auto http = velloran::makeHttpTransfer({});
    Headless window;
    modUpdate::Services services;
    services.surface = &window;
    services.report = &window;
    services.http = http.get();
    services.fs = &fs;
    services.siteAddress = argv[2];
    services.makeSha256 = velloran::makeSha256;
    modUpdate::bindServices(services);
    modUpdate::startUpdate();
    std::printf("OPS %ld\n", operations);
    return 0;
}
