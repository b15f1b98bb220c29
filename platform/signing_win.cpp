#include "failure.h"
#include "signing.h"

namespace velloran {

// Keys are made and used on the studio's signing machine, with the Linux
// build of the tool or the openssl command (docs/PUBLISHING.md shows both);
// the Windows build publishes unsigned sites and checks signed ones
// (verify --key goes through signature.h, which has a CNG backend).
P256KeyPair makeP256KeyPair() {
    throw Failure(FailureKind::Refused,
                  "This build of velloran-publish cannot make keys: use the Linux build or "
                  "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256");
}

std::string signEcdsaP256(std::string_view, std::string_view) {
    throw Failure(FailureKind::Refused,
                  "This build of velloran-publish cannot sign: use the Linux build, or "
                  "openssl dgst -sha256 -sign KEY.pem -out info.ini.sig info.ini");
}

}  // namespace velloran
