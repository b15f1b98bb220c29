#include "failure.h"
#include "signing.h"

namespace velloran {

// Keys are made and used on the studio's signing machine, which the guide
// (docs/PUBLISHING.md) has run Linux or the openssl command; the Windows
// build of the tool publishes unsigned sites and checks signed ones.
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
