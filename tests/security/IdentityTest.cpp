#include "security/Fingerprint.h"
#include "security/KeyPair.h"
#include "security/NoiseHkdf.h"
#include "tests/security/Hex.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::FromHex;
using test::ToHex;

// RFC 7748, section 6.1: Alice's and Bob's keys and what they agree on.
TEST(KeyPair, MatchesRfc7748AndRefusesWrongSizesAndSmallOrderKeys) {
    const auto alice = KeyPair::FromPrivate(
        FromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
    const auto bob = KeyPair::FromPrivate(
        FromHex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(ToHex(alice->Public()),
              "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    EXPECT_EQ(ToHex(bob->Public()),
              "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const char* shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
    EXPECT_EQ(ToHex(alice->Agree(bob->Public())->View()), shared);
    EXPECT_EQ(ToHex(bob->Agree(alice->Public())->View()), shared);

    for (const std::size_t size : {0, 31, 33, 64}) {
        EXPECT_FALSE(KeyPair::FromPrivate(Bytes(size, 1))) << size;
    }
    // The identity and a point of order 8: both give an all-zero secret.
    for (const char* small : {"0000000000000000000000000000000000000000000000000000000000000000",
                              "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"}) {
        PublicKey key;
        const Bytes bytes = FromHex(small);
        std::copy(bytes.begin(), bytes.end(), key.begin());
        EXPECT_FALSE(alice->Agree(key)) << small;
    }
    const auto generated = KeyPair::Generate();
    ASSERT_TRUE(generated);
    EXPECT_EQ(KeyPair::FromPrivate(generated->Private().View())->Public(), generated->Public());
    EXPECT_NE(KeyPair::Generate()->Public(), generated->Public());
}

// RFC 5869, test case 3 (no salt is a salt of 32 zeros, no info): its 42
// bytes of output are the start of output1 || output2.
TEST(NoiseHkdf, MatchesRfc5869) {
    const auto [first, second] = NoiseHkdf(Bytes(32, 0), Bytes(22, 0x0b));
    EXPECT_EQ(
        (ToHex(first.View()) + ToHex(second.View())).substr(0, 84),
        "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

// Expected codes computed apart, with Python's hashlib and base64.b32encode.
TEST(Fingerprint, CodesMatchTheirDocumentedConstruction) {
    const auto key = [](const char* hex) {
        PublicKey out;
        const Bytes bytes = FromHex(hex);
        std::copy(bytes.begin(), bytes.end(), out.begin());
        return out;
    };
    const PublicKey alice = key("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    const PublicKey bob = key("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const PublicKey zero{};
    EXPECT_EQ(Fingerprint(alice), "ZJHP 3D5E F7UF XLHC");
    EXPECT_EQ(Fingerprint(bob), "OCHL QFOL FIRD JULU");
    EXPECT_EQ(Fingerprint(zero), "UF2J 6UN2 ZLWA H3LV");
    const struct {
        const PublicKey& first;
        const PublicKey& second;
        const char* code;
    } pairs[] = {{alice, bob, "3680 0042 4736"},
                 {bob, alice, "3680 0042 4736"},
                 {alice, zero, "9352 9806 6349"},
                 {zero, alice, "9352 9806 6349"},
                 {alice, alice, "9046 7176 4820"}};
    for (const auto& pair : pairs) {
        EXPECT_EQ(SafetyCode(pair.first, pair.second), pair.code);
    }
}

} // namespace
} // namespace kestrane
