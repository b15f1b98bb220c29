// frmUpdate's window commands: the four click handlers, toolkit-free.
//
// Each toolkit implements CommandHost over its window and calls the handlers
// from the clicks of Label1 (Exit), Label2 (close), Label3 (minimise) and
// lblConnect (launch). The handlers run on the user-interface thread, also
// inside the engine's message pumping; Exit and close end the process there,
// so an update run that is still working never resumes.
#pragma once

#include <string>

#include "../engine/status_surface.h"

namespace velloran {
class ProgramFolder;
}

namespace frmUpdate {

// What the commands need of the window's toolkit.
class CommandHost {
public:
    virtual ~CommandHost() = default;
    // Sets the main window's state to minimised; nothing else changes.
    virtual void minimiseWindow() = 0;
    // Application-modal message box: `text`, title "Velloran", one OK button,
    // no icon. Returns when the user has closed it.
    virtual void showMessageBox(const std::string& text) = 0;
    // Processes every window message pending at this moment, then returns.
    virtual void pumpMessages() = 0;
};

// Starting the served program and ending this process. The default members
// use platform/process.h; tests substitute fakes.
class ProcessControl {
public:
    virtual ~ProcessControl() = default;
    // Throws velloran::Failure when the program cannot be started.
    virtual void start(const std::string& path);
    // Ends this process at once. A fake may throw instead; it never returns.
    [[noreturn]] virtual void endNow();
};

class Commands {
public:
    // All four references must outlive the Commands object.
    Commands(CommandHost& host, velloran::FailureReport& report,
             velloran::ProgramFolder& folder, ProcessControl& process);

    void Label1_Click();  // Exit: ends the process at once
    void Label2_Click();  // close: ends the process at once
    void Label3_Click();  // minimise

    // Launch: starts program folder + separator + `gameFileName` and ends the
    // process, or shows "Please place this in the same folder as " &
    // gameFileName & "!" when that is not a plain, non-hidden file (also when
    // `gameFileName` is empty). A start that fails goes to the failure report.
    void lblConnect_Click(const std::string& gameFileName);

    // The path the launch starts for `gameFileName`.
    std::string gamePath(const std::string& gameFileName) const;

private:
    CommandHost& host_;
    velloran::FailureReport& report_;
    velloran::ProgramFolder& fs_;
    ProcessControl& process_;
};

}  // namespace frmUpdate
