#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "ascii.h"
#include "failure.h"
#include "digest.h"

namespace velloran {
namespace {

// CNG: one provider handle for the process, one hash object per digest.
class CngSha256 final : public Sha256 {
public:
    CngSha256() {
        static BCRYPT_ALG_HANDLE algorithm = [] {
            BCRYPT_ALG_HANDLE handle = nullptr;
            if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) handle = nullptr;
            return handle;
        }();
        if (!algorithm || BCryptCreateHash(algorithm, &hash_, nullptr, 0, nullptr, 0, 0) != 0)
            throw Failure(FailureKind::Io, "SHA-256 is not available from the system's crypto library");
    }
    ~CngSha256() override { BCryptDestroyHash(hash_); }
    CngSha256(const CngSha256&) = delete;
    CngSha256& operator=(const CngSha256&) = delete;

    void update(const char* data, std::size_t size) override {
        // BCryptHashData takes a ULONG length; feed large buffers in parts.
        while (size > 0) {
            const ULONG part = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
            if (BCryptHashData(hash_, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), part, 0) != 0)
                throw Failure(FailureKind::Io, "SHA-256 update failed");
            data += part;
            size -= part;
        }
    }
    std::string hexDigest() override {
        unsigned char digest[32];
        if (BCryptFinishHash(hash_, digest, sizeof digest, 0) != 0) throw Failure(FailureKind::Io, "SHA-256 final failed");
        return hexText(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
    }

private:
    BCRYPT_HASH_HANDLE hash_ = nullptr;
};

}  // namespace

std::unique_ptr<Sha256> makeSha256() { return std::make_unique<CngSha256>(); }

}  // namespace velloran
