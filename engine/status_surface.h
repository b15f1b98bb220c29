// What the engine may do to the window, and how it reports a fatal failure.
//
// Every operation sets one property and returns at once; the window draws the
// new state the next time it paints, which during an update run happens only
// inside pumpMessages(). All calls come from the user-interface thread.
#pragma once

#include <string>

namespace velloran {

class StatusSurface {
public:
    virtual ~StatusSurface() = default;

    // Creates the window if it does not exist yet and shows it, modeless.
    virtual void showWindow() = 0;
    virtual void setCaption(const std::string& text) = 0;
    virtual void setMainStatus(const std::string& text) = 0;    // L2
    virtual void setDetailStatus(const std::string& text) = 0;  // L3
    virtual void setPercentage(const std::string& text) = 0;    // Label4
    virtual void setNews(const std::string& text) = 0;          // news, replaced whole
    virtual void setLaunchEnabled(bool enabled) = 0;            // lblConnect

    // Processes every window message pending at this moment, then returns.
    // Click handlers run inside it; Exit and close end the process from here.
    virtual void pumpMessages() = 0;
};

// The platform's failure report: shows `text` under the application title and
// ends the process. A fake in tests records the text and returns, so callers
// must not rely on it not returning.
class FailureReport {
public:
    virtual ~FailureReport() = default;
    virtual void reportFailure(const std::string& text) = 0;
};

}  // namespace velloran
