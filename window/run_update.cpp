#include "run_update.h"

#include "../engine/mod_update.h"
#include <chrono>

#include "../platform/digest.h"
#include "../platform/signature.h"

#ifndef VELLORAN_UPDATE_ADDRESS
#error "VELLORAN_UPDATE_ADDRESS must be defined by the build"
#endif

namespace frmUpdate {

void runUpdate(velloran::StatusSurface& surface, velloran::FailureReport& report, velloran::HttpTransfer& http,
               velloran::FileSystem& fs) {
    modUpdate::Services services;
    services.surface = &surface;
    services.report = &report;
    services.http = &http;
    services.fs = &fs;
    services.makeSha256 = &velloran::makeSha256;
    services.siteAddress = VELLORAN_UPDATE_ADDRESS;
#ifdef VELLORAN_FILES_AHEAD
    // Only the benchmark sets this, to measure the client that fetches one
    // file after the other (0) beside the product's setting.
    services.filesAhead = VELLORAN_FILES_AHEAD;
#endif
    services.publicKeys = compiledPublicKeys();
    services.verifySignature = &velloran::verifyEcdsaP256;
    services.secondsNow = [] {
        return static_cast<std::int64_t>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
    };
    modUpdate::startUpdate(services);
}

}  // namespace frmUpdate
