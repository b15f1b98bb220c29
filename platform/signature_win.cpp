#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "failure.h"
#include "signature.h"

namespace velloran {
namespace {

constexpr std::size_t kCoordinate = 32;

// A P-256 SubjectPublicKeyInfo is these 26 bytes (the ecPublicKey and
// prime256v1 identifiers, the bit string's head) and the uncompressed point
// 04 X Y; any other key is refused rather than half-understood.
constexpr std::array<unsigned char, 27> kP256KeyHead{
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
    0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

[[noreturn]] void badKey() {
    throw Failure(FailureKind::Refused, "A compiled-in publisher key is not a P-256 public key in PEM");
}

std::vector<unsigned char> pemBytes(std::string_view pem) {
    // CryptStringToBinaryA with the header flag takes the PEM text whole.
    DWORD size = 0;
    const std::string text(pem);
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr))
        badKey();
    std::vector<unsigned char> bytes(size);
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, bytes.data(),
                              &size, nullptr, nullptr))
        badKey();
    bytes.resize(size);
    return bytes;
}

// One DER INTEGER at `at`, as 32 big-endian bytes; nothing for an encoding
// DER does not allow (long forms, needless leading zeros, negative values)
// or a value wider than the curve.
std::optional<std::array<unsigned char, kCoordinate>> derInteger(std::string_view der, std::size_t& at) {
    if (at + 2 > der.size() || static_cast<unsigned char>(der[at]) != 0x02) return std::nullopt;
    const std::size_t length = static_cast<unsigned char>(der[at + 1]);
    at += 2;
    if (length == 0 || length > 0x7f || at + length > der.size()) return std::nullopt;
    std::string_view value = der.substr(at, length);
    at += length;
    if (static_cast<unsigned char>(value[0]) & 0x80) return std::nullopt;
    if (value.size() > 1 && value[0] == 0 && !(static_cast<unsigned char>(value[1]) & 0x80)) return std::nullopt;
    if (value[0] == 0) value.remove_prefix(1);
    if (value.size() > kCoordinate) return std::nullopt;
    std::array<unsigned char, kCoordinate> out{};
    std::memcpy(out.data() + kCoordinate - value.size(), value.data(), value.size());
    return out;
}

// CNG takes r and s side by side, 32 bytes each; the file holds
// SEQUENCE { INTEGER r, INTEGER s } in DER.
std::optional<std::array<unsigned char, 2 * kCoordinate>> rawSignature(std::string_view der) {
    if (der.size() < 2 || static_cast<unsigned char>(der[0]) != 0x30) return std::nullopt;
    const std::size_t length = static_cast<unsigned char>(der[1]);
    if (length > 0x7f || length + 2 != der.size()) return std::nullopt;
    std::size_t at = 2;
    const auto r = derInteger(der, at);
    const auto s = r ? derInteger(der, at) : std::nullopt;
    if (!s || at != der.size()) return std::nullopt;
    std::array<unsigned char, 2 * kCoordinate> out{};
    std::memcpy(out.data(), r->data(), kCoordinate);
    std::memcpy(out.data() + kCoordinate, s->data(), kCoordinate);
    return out;
}

std::array<unsigned char, 32> sha256(std::string_view message) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::array<unsigned char, 32> digest{};
    bool done = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
                BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    // BCryptHashData takes a ULONG length; feed large texts in parts.
    while (done && !message.empty()) {
        const ULONG part = message.size() > 0x40000000 ? 0x40000000 : static_cast<ULONG>(message.size());
        done = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())), part, 0) == 0;
        message.remove_prefix(part);
    }
    done = done && BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!done) throw Failure(FailureKind::Io, "SHA-256 is not available from the system's crypto library");
    return digest;
}

}  // namespace

bool verifyEcdsaP256(std::string_view publicKeyPem, std::string_view message, std::string_view signature) {
    const std::vector<unsigned char> info = pemBytes(publicKeyPem);
    if (info.size() != kP256KeyHead.size() + 2 * kCoordinate ||
        std::memcmp(info.data(), kP256KeyHead.data(), kP256KeyHead.size()) != 0)
        badKey();
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate);
    BCRYPT_ECCKEY_BLOB head{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(kCoordinate)};
    std::memcpy(blob.data(), &head, sizeof head);
    std::memcpy(blob.data() + sizeof head, info.data() + kP256KeyHead.size(), 2 * kCoordinate);

    const auto raw = rawSignature(signature);
    if (!raw) return false;
    const auto digest = sha256(message);

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0)
        throw Failure(FailureKind::Io, "ECDSA is not available from the system's crypto library");
    BCRYPT_KEY_HANDLE key = nullptr;
    const bool imported = BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                              static_cast<ULONG>(blob.size()), 0) == 0;
    // A point that is not on the curve fails to import: the key is bad.
    bool good = false;
    if (imported) {
        good = BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
                                     const_cast<PUCHAR>(raw->data()), static_cast<ULONG>(raw->size()), 0) == 0;
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!imported) badKey();
    return good;
}

}  // namespace velloran
