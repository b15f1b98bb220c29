// The process start shared by both toolkits: binds the engine to the window
// and the platform services, with this program's compiled-in update-site
// address, and runs the update. Returns when the run has finished (or the
// failure report returned, which the real report never does); the caller
// then runs its toolkit's message loop. The services must outlive the
// process's use of the engine.
#pragma once

#include <string>
#include <vector>

#include "../engine/status_surface.h"

namespace velloran {
class FileSystem;
class HttpTransfer;
}

namespace frmUpdate {

void runUpdate(velloran::StatusSurface& surface, velloran::FailureReport& report, velloran::HttpTransfer& http,
               velloran::FileSystem& fs);

// The publisher's public keys (PEM texts) the program was built with; none
// for a build whose site is not signed. Defined by the generated source of
// velloran_key_source (window/CMakeLists.txt).
std::vector<std::string> compiledPublicKeys();

}  // namespace frmUpdate
