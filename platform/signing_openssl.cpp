#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#include "failure.h"
#include "signing.h"

namespace velloran {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

[[noreturn]] void notAKey() { throw Failure(FailureKind::Refused, "The key is not a P-256 private key in PEM"); }

}  // namespace

P256KeyPair makeP256KeyPair() {
    Key key(EVP_EC_gen("P-256"));
    Bio privateOut(BIO_new(BIO_s_mem())), publicOut(BIO_new(BIO_s_mem()));
    if (!key || !privateOut || !publicOut ||
        PEM_write_bio_PrivateKey(privateOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_PUBKEY(publicOut.get(), key.get()) != 1)
        throw Failure(FailureKind::Io, "The crypto library could not make a P-256 key");
    return {bioText(privateOut.get()), bioText(publicOut.get())};
}

std::string signEcdsaP256(std::string_view privateKeyPem, std::string_view message) {
    Bio in(BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size())));
    if (!in) throw Failure(FailureKind::Io, "The crypto library cannot read a key");
    Key key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    char curve[64] = {};
    std::size_t length = 0;
    if (!key || !EVP_PKEY_is_a(key.get(), "EC") ||
        EVP_PKEY_get_utf8_string_param(key.get(), "group", curve, sizeof curve, &length) != 1 ||
        std::string(curve, length) != "prime256v1")
        notAKey();
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::size_t size = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1)
        throw Failure(FailureKind::Io, "The crypto library could not sign");
    std::string signature(size, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
        throw Failure(FailureKind::Io, "The crypto library could not sign");
    signature.resize(size);
    return signature;
}

}  // namespace velloran
