// SHA-256 from the platform's crypto library, fed incrementally.
//
// Backends: digest_openssl.cpp (OpenSSL libcrypto), digest_win.cpp (CNG).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace velloran {

class Sha256 {
public:
    virtual ~Sha256() = default;
    virtual void update(const char* data, std::size_t size) = 0;
    // The digest of everything fed so far, as 64 lower-case hex digits. Call
    // once.
    virtual std::string hexDigest() = 0;
};

// Throws Failure when the crypto library cannot provide SHA-256.
std::unique_ptr<Sha256> makeSha256();

}  // namespace velloran
