// The CNG signature check against what the openssl command signs: the DER it
// writes is turned into r and s for CNG, and nothing but the publisher's
// signature over the exact bytes is good.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failure.h"
#include "signature.h"
#include "signature_vectors.h"

namespace {

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

// The DER signature rewritten with r given one needless leading zero byte:
// the same numbers, an encoding DER forbids.
std::string withPaddedR(const std::string& der) {
    std::string out = der;
    out[1] = static_cast<char>(out[1] + 1);
    out[3] = static_cast<char>(out[3] + 1);
    out.insert(4, 1, '\0');
    return out;
}

TEST(CngSignature, OnlyThePublishersSignatureOverTheExactBytesIsGood) {
    const std::string message = kSignedMessage;
    const std::string good = fromHex(kSignatureHex);
    std::string flipped = good;
    flipped[flipped.size() - 3] ^= 0x01;
    std::string longForm = good;  // the sequence length in the long form
    longForm.insert(1, 1, '\x81');
    struct Case { std::string what, key, message, signature; bool accepted; };
    const std::vector<Case> cases{
        {"good", kPublisherKey, message, good, true},
        {"over other bytes", kPublisherKey, message + " ", good, false},
        {"by another key", kStrangerKey, message, good, false},
        {"truncated DER", kPublisherKey, message, good.substr(0, good.size() - 1), false},
        {"a byte trailing the DER", kPublisherKey, message, good + '\0', false},
        {"one bit changed", kPublisherKey, message, flipped, false},
        {"r with a needless zero", kPublisherKey, message, withPaddedR(good), false},
        {"long-form length", kPublisherKey, message, longForm, false},
        {"empty", kPublisherKey, message, "", false},
        {"64 KiB of noise", kPublisherKey, message, std::string(64 * 1024, '\x30'), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(velloran::verifyEcdsaP256(c.key, c.message, c.signature), c.accepted) << c.what;
}

TEST(CngSignature, AKeyThatIsNoP256PublicKeyIsRefused) {
    const std::string good = fromHex(kSignatureHex);
    for (const std::string& key : {std::string(kP384Key), std::string("not a key"), std::string()}) {
        try {
            velloran::verifyEcdsaP256(key, kSignedMessage, good);
            ADD_FAILURE() << key << ": accepted";
        } catch (const velloran::Failure& failure) {
            EXPECT_EQ(failure.kind(), velloran::FailureKind::Refused) << key;
        }
    }
}

}  // namespace
