// Checks of the publisher's signatures: ECDSA over the NIST P-256 curve with
// SHA-256, keys as PEM "PUBLIC KEY" texts (SubjectPublicKeyInfo), signatures
// in DER as `openssl dgst -sha256 -sign` writes them.
//
// Backends: signature_openssl.cpp (OpenSSL libcrypto), signature_win.cpp (CNG).
#pragma once

#include <string_view>

namespace velloran {

// True when `signature` is a signature over exactly the bytes of `message` by
// the key in `publicKeyPem`. A malformed or truncated signature, one by
// another key or over other bytes reads false. A key text that is not a P-256
// public key throws Failure (Refused): that is a fault of the build, not of
// the site.
bool verifyEcdsaP256(std::string_view publicKeyPem, std::string_view message, std::string_view signature);

}  // namespace velloran
