#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <string>

#include "failure.h"
#include "signature.h"

namespace velloran {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::unique_ptr<EVP_PKEY, KeyFree> readKey(std::string_view pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) throw Failure(FailureKind::Io, "The crypto library cannot read a public key");
    std::unique_ptr<EVP_PKEY, KeyFree> key(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    // Only P-256: a key of another curve or kind would make every signature
    // check a question of which algorithm the key happens to be for.
    char curve[64] = {};
    std::size_t length = 0;
    if (!key || !EVP_PKEY_is_a(key.get(), "EC") ||
        EVP_PKEY_get_utf8_string_param(key.get(), "group", curve, sizeof curve, &length) != 1 ||
        std::string(curve, length) != "prime256v1")
        throw Failure(FailureKind::Refused, "A compiled-in publisher key is not a P-256 public key in PEM");
    return key;
}

}  // namespace

bool verifyEcdsaP256(std::string_view publicKeyPem, std::string_view message, std::string_view signature) {
    const auto key = readKey(publicKeyPem);
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        throw Failure(FailureKind::Io, "The crypto library cannot check a signature");
    // 1 is a good signature; 0 a wrong one and a negative value one that
    // does not even parse, both simply not the publisher's.
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

}  // namespace velloran
