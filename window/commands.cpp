#include "commands.h"

#include "failure.h"
#include "../engine/paths.h"
#include "../platform/fs.h"
#include "../platform/process.h"
#include "trace.h"

namespace frmUpdate {

void ProcessControl::start(const std::string& path) { velloran::startProgram(path); }

void ProcessControl::endNow() { velloran::endProcessNow(0); }

Commands::Commands(CommandHost& host, velloran::FailureReport& report,
                   velloran::ProgramFolder& folder, ProcessControl& process)
    : host_(host), report_(report), fs_(folder), process_(process) {}

void Commands::Label1_Click() {
    trace("exit");
    process_.endNow();
}

void Commands::Label2_Click() {
    trace("exit");
    process_.endNow();
}

void Commands::Label3_Click() {
    trace("minimise");
    host_.minimiseWindow();
}

std::string Commands::gamePath(const std::string& gameFileName) const {
    // A name with a subfolder (bin\game.exe) is written for Windows; use the
    // platform's separator so it names the same file here.
    std::string name = gameFileName;
    for (char& c : name)
        if (c == '\\' || c == '/') c = fs_.separator();
    return fs_.programFolder() + fs_.separator() + name;
}

void Commands::lblConnect_Click(const std::string& gameFileName) {
    // An empty name would make the path the program folder itself; it can
    // never be started, so it is answered like a missing program.
    if (gameFileName.empty() || !fs_.isPlainFile(gamePath(gameFileName))) {
        const std::string text = "Please place this in the same folder as " + gameFileName + "!";
        trace("msgbox", text);
        host_.showMessageBox(text);
        return;
    }
    // The name comes from the update site: it passes the checks of manifest
    // file names, so it can only start a program inside the program folder.
    const std::string refused = velloran::refusedTarget("", gameFileName);
    if (!refused.empty()) {
        report_.reportFailure("Refused to start \"" + gameFileName + "\": " + refused);
        return;
    }
    host_.pumpMessages();
    // Built again after the pump, as the pump may have run other handlers.
    const std::string path = gamePath(gameFileName);
    trace("launch", path);
    try {
        process_.start(path);
    } catch (const velloran::Failure& failure) {
        // The real report ends the process; a test fake returns here.
        report_.reportFailure(failure.what());
        return;
    }
    host_.pumpMessages();
    process_.endNow();
}

}  // namespace frmUpdate
