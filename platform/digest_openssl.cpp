#include <openssl/evp.h>

#include "ascii.h"
#include "failure.h"
#include "digest.h"

namespace velloran {
namespace {

class OpenSslSha256 final : public Sha256 {
public:
    OpenSslSha256() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1)
            throw Failure(FailureKind::Io, "SHA-256 is not available from the crypto library");
    }
    ~OpenSslSha256() override { EVP_MD_CTX_free(context_); }
    OpenSslSha256(const OpenSslSha256&) = delete;
    OpenSslSha256& operator=(const OpenSslSha256&) = delete;

    void update(const char* data, std::size_t size) override {
        if (EVP_DigestUpdate(context_, data, size) != 1) throw Failure(FailureKind::Io, "SHA-256 update failed");
    }
    std::string hexDigest() override {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_, digest, &length) != 1) throw Failure(FailureKind::Io, "SHA-256 final failed");
        return hexText(std::string_view(reinterpret_cast<const char*>(digest), length));
    }

private:
    EVP_MD_CTX* context_;
};

}  // namespace

std::unique_ptr<Sha256> makeSha256() { return std::make_unique<OpenSslSha256>(); }

}  // namespace velloran
