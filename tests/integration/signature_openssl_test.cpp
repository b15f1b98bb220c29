// The OpenSSL signature check against signatures the openssl command makes:
// what `openssl dgst -sha256 -sign` writes is what the client accepts, and
// nothing else is.
#include <gtest/gtest.h>

#include "failure.h"
#include "servers.h"
#include "signature.h"

namespace {

using velloran::test::TempFolder;
using velloran::test::runOpenssl;

struct Keys {
    TempFolder folder{"velloran-keys"};
    std::string log = folder.at("openssl.log");
    // A fresh key pair NAME.pem / NAME.pub.pem of `curve`.
    std::string make(const std::string& name, const std::string& curve = "prime256v1") {
        runOpenssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve, "-out",
                    folder.at(name + ".pem")},
                   log);
        runOpenssl({"pkey", "-in", folder.at(name + ".pem"), "-pubout", "-out", folder.at(name + ".pub.pem")}, log);
        return *folder.read(name + ".pub.pem");
    }
    std::string sign(const std::string& name, const std::string& message) {
        folder.write("message", message);
        runOpenssl({"dgst", "-sha256", "-sign", folder.at(name + ".pem"), "-out", folder.at("message.sig"),
                    folder.at("message")},
                   log);
        return *folder.read("message.sig");
    }
};

TEST(Signature, OnlyTheKeysSignatureOverTheExactBytesIsGood) {
    Keys keys;
    const std::string publisher = keys.make("publisher");
    const std::string stranger = keys.make("stranger");
    const std::string message = "[VERSION]\r\nVersion=2\r\nSerial=6\r\n";
    const std::string good = keys.sign("publisher", message);
    std::string flipped = good;
    flipped[flipped.size() - 3] ^= 0x01;
    struct Case { std::string what, key, message, signature; bool accepted; };
    const std::vector<Case> cases{
        {"good", publisher, message, good, true},
        {"over other bytes", publisher, message + " ", good, false},
        {"over a prefix", publisher, message.substr(0, message.size() - 1), good, false},
        {"by another key", stranger, message, good, false},
        {"another key's signature", publisher, message, keys.sign("stranger", message), false},
        {"truncated DER", publisher, message, good.substr(0, good.size() - 1), false},
        {"half the DER", publisher, message, good.substr(0, good.size() / 2), false},
        {"a byte trailing the DER", publisher, message, good + '\0', false},
        {"one bit changed", publisher, message, flipped, false},
        {"empty", publisher, message, "", false},
        {"64 KiB of noise", publisher, message, std::string(64 * 1024, '\x30'), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(velloran::verifyEcdsaP256(c.key, c.message, c.signature), c.accepted) << c.what;
}

TEST(Signature, AKeyThatIsNoP256PublicKeyIsRefused) {
    Keys keys;
    const std::string p384 = keys.make("other-curve", "secp384r1");
    const std::string signature = keys.sign("other-curve", "x");
    struct Case { std::string what, key; };
    const std::vector<Case> cases{
        {"P-384", p384},
        {"the private key", *keys.folder.read("other-curve.pem")},
        {"no PEM", "not a key"},
        {"empty", ""},
    };
    for (const Case& c : cases) {
        try {
            velloran::verifyEcdsaP256(c.key, "x", signature);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const velloran::Failure& failure) {
            EXPECT_EQ(failure.kind(), velloran::FailureKind::Refused) << c.what;
        }
    }
}

}  // namespace
