// Making publisher keys and signing with them, for velloran-publish: ECDSA
// over P-256 with SHA-256, keys in PEM (the private key as PKCS#8 "PRIVATE
// KEY", the public one as "PUBLIC KEY"), signatures in DER; the same files
// and signatures as `openssl genpkey` / `openssl dgst -sha256 -sign` make,
// and what signature.h checks.
//
// Backends: signing_openssl.cpp (OpenSSL libcrypto), signing_win.cpp.
#pragma once

#include <string>
#include <string_view>

namespace velloran {

struct P256KeyPair {
    std::string privatePem;
    std::string publicPem;
};

// A fresh key pair. Throws Failure (Io) when the crypto library cannot make
// one, Refused where this build cannot make keys at all.
P256KeyPair makeP256KeyPair();

// The DER signature over `message` by the private key in `privateKeyPem`.
// Throws Failure (Refused) when the text is not a P-256 private key.
std::string signEcdsaP256(std::string_view privateKeyPem, std::string_view message);

}  // namespace velloran
