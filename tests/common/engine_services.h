// The engine's services for a test or benchmark run.
#pragma once

#include <chrono>
#include <string>

#include "mod_update.h"

namespace velloran::test {

// `window` is both the status surface and the failure report; `http` may be
// null for a run that fetches nothing. SHA-256 is the caller's to add.
template <class Window>
modUpdate::Services engineServices(Window& window, FileSystem& fs, HttpTransfer* http = nullptr,
                                   std::string siteAddress = {}) {
    modUpdate::Services services;
    services.surface = &window;
    services.report = &window;
    services.http = http;
    services.fs = &fs;
    services.siteAddress = std::move(siteAddress);
    // Retries as the program makes them, without its pauses of seconds.
    services.retryPauses = {std::chrono::milliseconds(10), std::chrono::milliseconds(20),
                            std::chrono::milliseconds(40)};
    return services;
}

}  // namespace velloran::test
