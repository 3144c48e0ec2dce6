#include "security/NoiseHandshake.h"

#include "security/NoiseTransport.h"
#include "tests/security/Hex.h"

#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>

namespace kestrane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::FromHex;
using test::ToHex;

struct Vector {
    std::map<std::string, std::string> fields;
    std::vector<std::pair<Bytes, Bytes>> messages; // payload, ciphertext
    KeyPair Key(const std::string& name) const {
        return *KeyPair::FromPrivate(FromHex(fields.at(name)));
    }
};

Vector ReadVector() {
    std::ifstream file(KESTRANE_NOISE_VECTORS);
    Vector vector;
    Bytes payload;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::string name = line.substr(0, line.find(' '));
        const std::string value = line.substr(name.size() + 1);
        if (name == "payload") {
            payload = FromHex(value);
        } else if (name == "ciphertext") {
            vector.messages.emplace_back(payload, FromHex(value));
        } else {
            vector.fields[name] = value;
        }
    }
    return vector;
}

// h once all three messages went through, as dissononce 0.34.3 (Debian's
// python3-dissononce) computes it for the vector below.
constexpr char kFinalHash[] = "c8e5f64e846193be2a834104c2a009868d6c9f3bd3c186299888b488b2f1f58e";

// Each message of the published vector written by one side and read by the
// other: every byte, the payloads, the remote keys and the handshake hash,
// then its transport messages as our datagrams (their counter and nonce is n).
TEST(NoiseHandshake, MatchesThePublishedVector) {
    const Vector vector = ReadVector();
    ASSERT_EQ(vector.fields.at("protocol_name"), NoiseHandshake::kProtocolName);
    ASSERT_EQ(vector.messages.size(), 6U);
    NoiseHandshake initiator(NoiseRole::Initiator, vector.Key("init_static"),
                             FromHex(vector.fields.at("init_prologue")),
                             vector.Key("init_ephemeral"));
    NoiseHandshake responder(NoiseRole::Responder, vector.Key("resp_static"),
                             FromHex(vector.fields.at("resp_prologue")),
                             vector.Key("resp_ephemeral"));
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        NoiseHandshake& writer = i % 2 == 0 ? initiator : responder;
        NoiseHandshake& reader = i % 2 == 0 ? responder : initiator;
        const auto& [payload, ciphertext] = vector.messages[i];
        EXPECT_EQ(ToHex(writer.WriteMessage(payload).value_or(Bytes{})), ToHex(ciphertext));
        EXPECT_EQ(reader.ReadMessage(ciphertext), payload);
        if (i == 1) {
            EXPECT_EQ(ToHex(writer.HandshakeHash()), vector.fields.at("handshake_hash"));
            EXPECT_EQ(ToHex(reader.HandshakeHash()), vector.fields.at("handshake_hash"));
        }
    }
    for (const NoiseHandshake* side : {&initiator, &responder}) {
        EXPECT_TRUE(side->Finished() && !side->Failed());
        EXPECT_EQ(ToHex(side->HandshakeHash()), kFinalHash);
    }
    EXPECT_EQ(initiator.RemoteStatic(), vector.Key("resp_static").Public());
    EXPECT_EQ(responder.RemoteStatic(), vector.Key("init_static").Public());

    auto initiatorTransport = *NoiseTransport::After(initiator);
    auto responderTransport = *NoiseTransport::After(responder);
    std::uint64_t counters[2] = {0, 0};
    for (std::size_t i = 3; i < vector.messages.size(); ++i) {
        SCOPED_TRACE(i);
        NoiseTransport& sender = i % 2 == 0 ? initiatorTransport : responderTransport;
        NoiseTransport& receiver = i % 2 == 0 ? responderTransport : initiatorTransport;
        const auto& [payload, ciphertext] = vector.messages[i];
        Bytes datagram(8);
        datagram[0] = static_cast<std::uint8_t>(counters[i % 2]++);
        datagram.insert(datagram.end(), ciphertext.begin(), ciphertext.end());
        EXPECT_EQ(ToHex(sender.Seal(payload).value_or(Bytes{})), ToHex(datagram));
        EXPECT_EQ(receiver.Open(datagram), payload);
    }
}

struct Pair {
    KeyPair initiatorKey = *KeyPair::Generate();
    KeyPair responderKey = *KeyPair::Generate();
    NoiseHandshake initiator{NoiseRole::Initiator, initiatorKey, Bytes{'K', 1}};
    NoiseHandshake responder{NoiseRole::Responder, responderKey, Bytes{'K', 1}};
};

TEST(NoiseHandshake, FreshKeysAgreeAndCarryTheLargestPayloads) {
    Pair pair;
    // The largest payload each message can carry within 65535 bytes.
    const Bytes first(65535 - 32, 1), second(65535 - 96, 2), third(65535 - 64, 3);
    EXPECT_EQ(pair.responder.ReadMessage(*pair.initiator.WriteMessage(first)), first);
    EXPECT_EQ(pair.initiator.ReadMessage(*pair.responder.WriteMessage(second)), second);
    EXPECT_EQ(pair.responder.ReadMessage(*pair.initiator.WriteMessage(third)), third);
    EXPECT_EQ(pair.initiator.HandshakeHash(), pair.responder.HandshakeHash());
    EXPECT_EQ(pair.initiator.RemoteStatic(), pair.responderKey.Public());
    EXPECT_EQ(pair.responder.RemoteStatic(), pair.initiatorKey.Public());
    auto initiatorTransport = *NoiseTransport::After(pair.initiator);
    auto responderTransport = *NoiseTransport::After(pair.responder);
    EXPECT_EQ(responderTransport.Open(*initiatorTransport.Seal(Bytes{'h', 'i'})),
              (Bytes{'h', 'i'}));
    EXPECT_EQ(initiatorTransport.Open(*responderTransport.Seal(Bytes{})), Bytes{});
}

// A message tampered with on the way fails its reader (or, for the first,
// unauthenticated message, the next reader); a failed handshake is over: the
// genuine message is refused after it, and it gives no transport.
TEST(NoiseHandshake, TamperedMessagesEndTheHandshake) {
    const std::function<void(Bytes&)> truncate = [](Bytes& m) { m.pop_back(); };
    const std::function<void(Bytes&)> extend = [](Bytes& m) { m.push_back(0); };
    const std::function<void(Bytes&)> flipFirst = [](Bytes& m) { m.front() ^= 1; };
    const std::function<void(Bytes&)> flipMiddle = [](Bytes& m) { m[40] ^= 0x80; };
    const std::function<void(Bytes&)> flipLast = [](Bytes& m) { m.back() ^= 1; };
    const std::function<void(Bytes&)> tooShort = [](Bytes& m) { m.resize(31); };
    const std::function<void(Bytes&)> zeroKey = [](Bytes& m) { std::fill_n(m.begin(), 32, 0); };
    const struct {
        std::size_t message;
        const std::function<void(Bytes&)>& tamper;
        std::size_t failsAt;
    } cases[] = {
        {0, tooShort, 0},   {0, truncate, 1},  {0, extend, 1},     {0, flipFirst, 1},
        {0, zeroKey, 1},    {1, truncate, 1},  {1, extend, 1},     {1, flipFirst, 1},
        {1, flipMiddle, 1}, {1, flipLast, 1},  {1, zeroKey, 1},    {2, truncate, 2},
        {2, extend, 2},     {2, flipFirst, 2}, {2, flipMiddle, 2}, {2, flipLast, 2},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(testing::Message()
                     << "message " << test.message << ", case " << &test - cases);
        Pair pair;
        bool failed = false;
        for (std::size_t i = 0; i < 3 && !failed; ++i) {
            NoiseHandshake& writer = i % 2 == 0 ? pair.initiator : pair.responder;
            NoiseHandshake& reader = i % 2 == 0 ? pair.responder : pair.initiator;
            const auto genuine = writer.WriteMessage(Bytes(20, 7));
            if (!genuine) {
                // The responder's DH with an all-zero ephemeral key.
                EXPECT_TRUE(writer.Failed());
                failed = true;
                break;
            }
            Bytes message = *genuine;
            if (i == test.message) {
                test.tamper(message);
            }
            const auto payload = reader.ReadMessage(message);
            EXPECT_EQ(!payload, i == test.failsAt);
            if (!payload) {
                EXPECT_TRUE(reader.Finished() && reader.Failed());
                EXPECT_FALSE(reader.ReadMessage(*genuine));
                EXPECT_FALSE(reader.WriteMessage(Bytes{}));
                EXPECT_FALSE(reader.Split());
                failed = true;
            }
        }
        EXPECT_TRUE(failed);
    }
}

TEST(NoiseHandshake, CallsOutOfTurnOrTooLongFail) {
    Pair outOfTurn;
    EXPECT_FALSE(outOfTurn.responder.WriteMessage(Bytes{}));
    EXPECT_FALSE(outOfTurn.initiator.ReadMessage(Bytes(32)));
    EXPECT_TRUE(outOfTurn.responder.Failed() && outOfTurn.initiator.Failed());
    Pair tooLong;
    EXPECT_FALSE(tooLong.initiator.WriteMessage(Bytes(65535 - 31)));
    EXPECT_FALSE(tooLong.responder.ReadMessage(Bytes(65536)));
    EXPECT_TRUE(tooLong.initiator.Failed() && tooLong.responder.Failed());
}

} // namespace
} // namespace kestrane
