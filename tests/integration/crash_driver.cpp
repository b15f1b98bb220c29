// A headless update run for the crash-safety test.
//
//   crash_driver PROGRAM_FOLDER ADDRESS [STOP_AFTER]
//
// Runs the real engine over the real backends with PROGRAM_FOLDER as the
// program folder. With STOP_AFTER = n the process ends abruptly (_exit 42)
// right after its n-th file operation (make a folder, create, write, commit,
// remove), as a kill would. Portable: the Windows suite runs it under Wine. Without it, prints "OPS <count>"
// at the end. A failure report prints the text and exits 3.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "digest.h"
#include "folder_fs.h"
#include "http.h"
#include "engine_services.h"
#include "mod_update.h"

namespace {

long stopAfter = -1;
long operations = 0;

void counted() {
    if (++operations == stopAfter) std::_Exit(42);
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

class CountingFs : public velloran::test::FolderFs {
public:
    using FolderFs::FolderFs;

private:
    void changed() override { counted(); }
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
    modUpdate::Services services = velloran::test::engineServices(window, fs, http.get(), argv[2]);
    services.makeSha256 = velloran::makeSha256;
    modUpdate::resetEngineValues();
    modUpdate::startUpdate(services);
    std::printf("OPS %ld\n", operations);
    return 0;
}
