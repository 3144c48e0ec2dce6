#include "chat/SecureChannel.h"

#include "chat/PeerHello.h"
#include "chat/SecureDatagram.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace kestrane::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = SecureChannel::Clock;

Bytes Text(std::string_view text) {
    return {text.begin(), text.end()};
}

// Two channels and a seeded link between them that may lose, duplicate and reorder.
struct Link {
    struct Node {
        std::string address;
        std::unique_ptr<SecureChannel> channel;
        std::vector<SecureChannel::SessionUp> ups;
        std::vector<Bytes> opened;
    };
    struct Flight {
        std::size_t to;
        std::string from;
        Bytes datagram;
        Clock::time_point at;
    };

    explicit Link(unsigned seed = 1, double lossRate = 0, double duplicateRate = 0)
        : random(seed), loss(lossRate), duplicate(duplicateRate) {
        for (std::size_t at = 0; at < 2; ++at) {
            nodes[at].address = "10.0.0." + std::to_string(at + 1);
            nodes[at].channel = std::make_unique<SecureChannel>(
                *KeyPair::Generate(), "host" + std::to_string(at), [this] { return now; });
        }
    }
    SecureChannel& operator[](std::size_t at) { return *nodes[at].channel; }

    void Send(std::size_t from, const SecureChannel::Outgoing& out) {
        ++sent;
        const int copies = chance(random) < duplicate ? 2 : 1;
        for (int copy = 0; copy < copies; ++copy) {
            if (chance(random) >= loss) {
                const auto delay = std::chrono::milliseconds(loss > 0 ? random() % 40 : 0);
                flights.push_back({out.address == nodes[0].address ? 0u : 1u, nodes[from].address,
                                   out.datagram, now + delay});
            }
        }
    }
    void Step(Clock::duration step = 10ms) {
        now += step;
        for (std::size_t at = 0; at < 2; ++at) {
            for (const auto& out : nodes[at].channel->Poll()) {
                Send(at, out);
            }
        }
        std::ranges::stable_sort(flights, {}, &Flight::at);
        while (!flights.empty() && flights.front().at <= now) {
            const Flight flight = flights.front();
            flights.erase(flights.begin());
            Node& node = nodes[flight.to];
            auto result = node.channel->OnDatagram(flight.from, flight.datagram);
            for (const auto& out : result.send) {
                Send(flight.to, out);
            }
            if (result.up) {
                node.ups.push_back(*result.up);
            }
            for (const auto& opened : result.opened) {
                node.opened.push_back(opened.plaintext);
            }
        }
    }
    bool Up() const { return !nodes[0].ups.empty() && !nodes[1].ups.empty(); }
    // The node's first session carries a line the other opens.
    bool Carries(std::size_t from) {
        const auto sealed = (*this)[from].Seal(nodes[from].ups.at(0).index, Text("line"));
        const std::size_t before = nodes[1 - from].opened.size();
        if (!sealed) {
            return false;
        }
        Send(from, *sealed);
        Step();
        return nodes[1 - from].opened.size() == before + 1 &&
               nodes[1 - from].opened.back() == Text("line");
    }

    Clock::time_point now{};
    std::mt19937 random;
    std::uniform_real_distribution<double> chance{0, 1};
    double loss;
    double duplicate;
    std::array<Node, 2> nodes;
    std::vector<Flight> flights;
    int sent = 0;
};

// A whole handshake, a to b, delivered at once: a's index of the session, 0 if none.
SessionIndex Connect(SecureChannel& a, const std::string& aAddress, SecureChannel& b,
                     const std::string& bAddress) {
    Bytes out = a.Initiate(bAddress)->datagram;
    for (int message = 0; message < 4 && !out.empty(); ++message) {
        auto result = message % 2 == 0 ? b.OnDatagram(aAddress, out) : a.OnDatagram(bAddress, out);
        if (message == 3 && result.up) {
            return result.up->index;
        }
        out = result.send.empty() ? Bytes{} : result.send[0].datagram;
    }
    return 0;
}

TEST(SecureChannelTest, HandshakeMakesOneUsableSessionEachWayDespiteLoss) {
    struct Case {
        unsigned seed;
        double loss;
        bool crossing;
    };
    std::vector<Case> cases{{1, 0, false}, {2, 0, true}};
    for (unsigned seed = 3; seed < 43; ++seed) {
        cases.push_back({seed, 0.3, seed % 4 == 0});
    }
    int lossySent = 0;
    for (const Case test : cases) {
        SCOPED_TRACE(test.seed);
        Link link(test.seed, test.loss, test.loss);
        link.Send(0, *link[0].Initiate(link.nodes[1].address));
        if (test.crossing) {
            link.Send(1, *link[1].Initiate(link.nodes[0].address));
        }
        for (int step = 0; step < 1000 && !link.Up(); ++step) {
            link.Step();
        }
        ASSERT_TRUE(link.Up());
        EXPECT_LE(link.now, Clock::time_point(10s));
        if (test.loss == 0) {
            EXPECT_EQ(link.sent, test.crossing ? 5 : 4); // a crossed I is dropped unanswered
        } else {
            lossySent += link.sent;
        }
        for (std::size_t at = 0; at < 2; ++at) {
            EXPECT_EQ(link.nodes[at].ups.size(), 1u);
            EXPECT_EQ(link.nodes[at].ups[0].peerName, "host" + std::to_string(1 - at));
            EXPECT_EQ(link[at].Sessions(), 1u);
        }
        link.loss = link.duplicate = 0;
        link.Step(11s); // pendings expire, sessions stay
        EXPECT_TRUE(link.Carries(0));
        EXPECT_TRUE(link.Carries(1));
        EXPECT_EQ(link[0].ResponderPendings() + link[1].ResponderPendings() +
                      link[0].InitiatorPendings() + link[1].InitiatorPendings(),
                  0u);
    }
    EXPECT_GT(lossySent, 40 * 5); // the loss was felt: 4 each without it
}

// Past kRekeyAfter the side that started a session, and only it, is told to
// make a new one, which then carries lines and is not due itself.
TEST(SecureChannelTest, TheSideThatStartedASessionRekeysItAfterHalfAnHour) {
    Link link;
    link.Send(0, *link[0].Initiate(link.nodes[1].address));
    for (int step = 0; step < 100 && !link.Up(); ++step) {
        link.Step();
    }
    ASSERT_TRUE(link.Up());
    const SessionIndex started[] = {link.nodes[0].ups[0].index};
    const SessionIndex answered[] = {link.nodes[1].ups[0].index};
    link.now += SecureChannel::kRekeyAfter - 1s;
    EXPECT_TRUE(link[0].DueForRekey(started).empty());
    link.now += 1s;
    EXPECT_EQ(link[0].DueForRekey(started), std::vector{link.nodes[1].address});
    EXPECT_TRUE(link[1].DueForRekey(answered).empty());

    link.Send(0, *link[0].Initiate(link.nodes[1].address));
    for (int step = 0; step < 100 && link.nodes[1].ups.size() < 2; ++step) {
        link.Step();
    }
    ASSERT_EQ(link.nodes[1].ups.size(), 2u);
    const SessionIndex renewed[] = {link.nodes[1].ups[1].index};
    const auto sealed = link[1].Seal(renewed[0], Text("after the rekey"));
    ASSERT_TRUE(sealed);
    link.Send(1, *sealed);
    link.Step();
    EXPECT_EQ(link.nodes[0].opened.back(), Text("after the rekey"));
    EXPECT_TRUE(link[1].DueForRekey(renewed).empty());
}

TEST(SecureChannelTest, RepeatsAreAnsweredWithoutDhAndForgeriesCannotEndAHandshake) {
    Link link;
    const auto initiation = *link[0].Initiate(link.nodes[1].address);
    const auto response = link[1].OnDatagram("10.0.0.1", initiation.datagram).send.at(0);
    const auto dh = link[1].DhOperations();
    EXPECT_EQ(link[1].OnDatagram("10.0.0.1", initiation.datagram).send.at(0).datagram,
              response.datagram);
    EXPECT_EQ(link[1].DhOperations(), dh);
    EXPECT_TRUE(link[0].OnDatagram("10.0.0.2", initiation.datagram).send.empty()); // reflected
    EXPECT_EQ(link[0].InitiatorPendings(), 1u);

    // Up to 4 reads per pending: 3 forged R leave the genuine one readable, 4 do not.
    for (const int forged : {3, 4}) {
        Link fresh;
        const auto first = *fresh[0].Initiate("10.0.0.2");
        auto genuine = fresh[1].OnDatagram("10.0.0.1", first.datagram).send.at(0).datagram;
        for (int attempt = 0; attempt < forged; ++attempt) {
            Bytes forgery = genuine;
            forgery[60 + attempt] ^= 1;
            EXPECT_TRUE(fresh[0].OnDatagram("10.0.0.2", forgery).send.empty());
        }
        const auto before = fresh[0].DhOperations();
        const auto confirmation = fresh[0].OnDatagram("10.0.0.2", genuine);
        EXPECT_EQ(confirmation.send.size(), forged < 4 ? 1u : 0u);
        EXPECT_EQ(fresh[0].DhOperations() == before, forged == 4);
        if (forged == 4) {
            continue;
        }
        // The same for C, then a replayed C gets a new confirmation without DH.
        const Bytes c = confirmation.send[0].datagram;
        for (int attempt = 0; attempt < 3; ++attempt) {
            Bytes forgery = c;
            forgery.back() ^= 1;
            EXPECT_FALSE(fresh[1].OnDatagram("10.0.0.1", forgery).up);
        }
        EXPECT_TRUE(fresh[1].OnDatagram("10.0.0.1", c).up);
        const auto afterUp = fresh[1].DhOperations();
        const auto again = fresh[1].OnDatagram("10.0.0.1", c);
        ASSERT_EQ(again.send.size(), 1u);
        EXPECT_EQ(fresh[1].DhOperations(), afterUp);
        EXPECT_TRUE(fresh[0].OnDatagram("10.0.0.2", again.send[0].datagram).up);
    }
}

TEST(SecureChannelTest, TransportOpensOnlyGenuineFreshDatagramsUnderTheirIndex) {
    Link link;
    link.Send(0, *link[0].Initiate("10.0.0.2"));
    for (int step = 0; step < 10; ++step) {
        link.Step();
    }
    ASSERT_TRUE(link.Up());
    const SessionIndex index = link.nodes[0].ups[0].index;
    std::vector<Bytes> sealed;
    for (int line = 0; line < 1100; ++line) {
        sealed.push_back(link[0].Seal(index, Text("x"))->datagram);
    }
    const auto opens = [&](const std::string& from, const Bytes& datagram) {
        return !link[1].OnDatagram(from, datagram).opened.empty();
    };
    Bytes unknownIndex = sealed[5];
    unknownIndex[kSecureKindOffset + 1] ^= 1;
    Bytes forged = sealed[6];
    forged.back() ^= 1;
    EXPECT_FALSE(opens("10.0.0.1", unknownIndex));
    EXPECT_FALSE(opens("10.0.0.1", forged));
    EXPECT_TRUE(opens("10.0.0.9", sealed[1099]));  // another address: opens, moves nothing
    EXPECT_FALSE(opens("10.0.0.1", sealed[1099])); // replayed
    EXPECT_FALSE(opens("10.0.0.1", sealed[1]));    // older than the window
    EXPECT_TRUE(opens("10.0.0.1", sealed[1098]));  // late but within it
    EXPECT_EQ(link[1].Seal(link.nodes[1].ups[0].index, Text("y"))->address, "10.0.0.1");
    EXPECT_FALSE(link[0].Seal(index, Bytes(kSecureMaxPlaintext + 1)));
    link.Step(SecureChannel::kIdleSession);
    EXPECT_EQ(link[1].Sessions(), 0u); // idle
}

TEST(SecureChannelTest, DatagramsAndHellosOfTheWrongShapeAreRefused) {
    const auto compose = [](SecureKind kind, std::size_t size, SessionIndex index = 7) {
        return ComposeSecureDatagram("n", {kind, index, index, Bytes(size, 1)});
    };
    for (const auto& [kind, least, most] : {std::tuple{SecureKind::Initiation, 32u, 32u},
                                            std::tuple{SecureKind::Response, 96u, 1120u},
                                            std::tuple{SecureKind::Confirmation, 64u, 1088u},
                                            std::tuple{SecureKind::Transport, 24u, 4047u}}) {
        SCOPED_TRACE(static_cast<char>(kind));
        const Bytes good = compose(kind, least);
        ASSERT_TRUE(ParseSecureDatagram(good));
        ASSERT_TRUE(ParseSecureDatagram(compose(kind, most)));
        EXPECT_TRUE(compose(kind, least - 1).empty());
        EXPECT_TRUE(compose(kind, most + 1).empty());
        EXPECT_TRUE(compose(kind, least, 0).empty());
        for (const std::size_t at : {std::size_t{0}, std::size_t{33}, kSecureKindOffset}) {
            Bytes bad = good;
            bad[at] = 'X';
            EXPECT_FALSE(ParseSecureDatagram(bad));
        }
        EXPECT_FALSE(ParseSecureDatagram(std::span(good).first(good.size() - 1)));
    }
    EXPECT_EQ(ParseSecureDatagram(compose(SecureKind::Response, 96, 0x04030201))->sender,
              0x04030201u);
    EXPECT_EQ(ComposeSecureDatagram(std::string(40, 'a'), {SecureKind::Initiation, 0, 1, Bytes(32)})
                  .size(),
              kSecureKindOffset + 37);

    const PeerHello hello{.name = "PC 2%é", .files = true};
    EXPECT_EQ(hello.Compose(), "HOST PC%202%25é FILES/3");
    for (const auto& [text, name, files] :
         {std::tuple{"HOST PC%202%25é FILES/3", "PC 2%é", true},
          std::tuple{"HOST a x FILES/3 y", "a", true}, std::tuple{"HOST a%2f", "a/", false},
          std::tuple{"HOST a  FILES/2", "a", false}}) {
        const auto parsed = PeerHello::Parse(Text(text));
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed->name, name);
        EXPECT_EQ(parsed->files, files);
    }
    for (const char* text : {"", "HOST", "HOST ", "HOST  a", "host a", "HOST a%2", "HOST a%zz"}) {
        EXPECT_FALSE(PeerHello::Parse(Text(text))) << text;
    }
}

TEST(SecureChannelTest, FloodsCostBoundedDhAndEveryTableKeepsItsCap) {
    Link link;
    SecureChannel& target = link[1];
    std::mt19937 random(9);
    const auto initiation = [&] {
        Bytes key(32);
        for (auto& byte : key) {
            byte = static_cast<std::uint8_t>(random());
        }
        return ComposeSecureDatagram(
            "x", {SecureKind::Initiation, 0, static_cast<SessionIndex>(random() | 1), key});
    };
    for (int sent = 0; sent < 100; ++sent) {
        target.OnDatagram("10.9.9.9", initiation());
    }
    EXPECT_EQ(target.DhOperations(), 3u * 3); // a burst of 3 from one address
    EXPECT_EQ(target.ResponderPendings(), 2u);
    for (int second = 0; second < 4; ++second) {
        for (int sent = 0; sent < 1000; ++sent) {
            target.OnDatagram("10." + std::to_string(second) + "." + std::to_string(sent),
                              initiation());
        }
        EXPECT_EQ(target.DhOperations(), 3u * (40 + 20 * second)); // 40 at once, then 20 a second
        link.Step(1s);
    }
    EXPECT_EQ(target.ResponderPendings(), SecureChannel::kMostResponderPendings);
    link.Step(SecureChannel::kResponderLife);
    EXPECT_EQ(target.ResponderPendings(), 0u);
    // The address that left three handshakes unfinished is told of, once; those of one are not.
    EXPECT_EQ(target.TakeUnfinished(), std::vector<std::string>{"10.9.9.9"});
    EXPECT_TRUE(target.TakeUnfinished().empty());

    ASSERT_TRUE(link[0].Initiate("10.6.99"));
    std::size_t resends = 0;
    for (int step = 0; step <= 1000; ++step) {
        link.now += 10ms;
        resends += link[0].Poll().size();
    }
    EXPECT_EQ(resends, 20u); // at 250 ms, then each wait 1.5 times longer up to 500 ms, for 10 s
    EXPECT_EQ(link[0].InitiatorPendings(), 0u);
    for (int sent = 0; sent < 100; ++sent) {
        link.now += 100ms;
        EXPECT_EQ(link[0].Initiate("10.6." + std::to_string(sent)).has_value(),
                  sent < static_cast<int>(SecureChannel::kMostInitiatorPendings));
        EXPECT_FALSE(link[0].Initiate("10.6.0")); // one at a time per address
    }
    EXPECT_EQ(link[0].InitiatorPendings(), SecureChannel::kMostInitiatorPendings);

    link.now += SecureChannel::kInitiatorLife;
    link[0].Poll();
    EXPECT_EQ(link[0].InitiatorPendings(), 0u);

    // Sessions: per address, per key and in all.
    const auto handshake = [&](const KeyPair& key, const std::string& address) {
        SecureChannel peer(key, "peer", [&] { return link.now; });
        link.now += 1s;
        auto out = peer.Initiate("10.0.0.2")->datagram;
        for (int message = 0; message < 3 && !out.empty(); ++message) {
            auto result = message % 2 == 0 ? target.OnDatagram(address, out)
                                           : peer.OnDatagram("10.0.0.2", out);
            out = result.send.empty() ? Bytes{} : result.send[0].datagram;
        }
    };
    const KeyPair one = *KeyPair::Generate();
    for (int count = 0; count < 3; ++count) {
        handshake(one, "10.5." + std::to_string(count));
    }
    EXPECT_EQ(target.Sessions(), SecureChannel::kMostSessionsPerKey);
    for (int count = 0; count < 6; ++count) {
        handshake(*KeyPair::Generate(), "10.4.4.4");
    }
    EXPECT_EQ(target.Sessions(), 2 + SecureChannel::kMostSessionsPerAddress);
    for (std::size_t count = 0; count < SecureChannel::kMostSessions; ++count) {
        handshake(*KeyPair::Generate(), "10.3." + std::to_string(count));
    }
    EXPECT_EQ(target.Sessions(), SecureChannel::kMostSessions);
}

TEST(SecureChannelTest, BundlesOpenOnlyOurOwnFreshEntriesAndAtMostFour) {
    Clock::time_point now{};
    const auto clock = [&] { return now; };
    SecureChannel sender(*KeyPair::Generate(), "sender", clock);
    std::vector<std::unique_ptr<SecureChannel>> receivers;
    std::vector<SessionIndex> indices;
    for (int at = 0; at < 3; ++at) {
        receivers.push_back(std::make_unique<SecureChannel>(*KeyPair::Generate(), "r", clock));
        indices.push_back(
            Connect(sender, "10.0.0.1", *receivers.back(), "10.0.1." + std::to_string(at)));
        ASSERT_NE(indices.back(), 0u);
    }
    const auto bundles = sender.SealBundle(indices, Text("PRESENT"));
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(bundles[0].address, SecureChannel::kBroadcastAddress);
    const auto entries = ParseSecureDatagram(bundles[0].datagram)->entries;
    ASSERT_EQ(entries.size(), 3u);
    for (std::size_t at = 0; at < 3; ++at) {
        const auto result = receivers[at]->OnDatagram("10.0.0.1", bundles[0].datagram);
        ASSERT_EQ(result.opened.size(), 1u);
        EXPECT_EQ(result.opened[0].session, entries[at].receiver);
        EXPECT_EQ(result.opened[0].plaintext, Text("PRESENT"));
        EXPECT_TRUE(receivers[at]->OnDatagram("10.0.0.1", bundles[0].datagram).opened.empty());
    }
    // Six genuine entries for one receiver in one datagram: four are opened.
    SecureDatagram many{.kind = SecureKind::Bundle};
    for (int line = 0; line < 6; ++line) {
        const auto sealed = ParseSecureDatagram(sender.Seal(indices[0], Text("x"))->datagram);
        many.entries.push_back({sealed->receiver, sealed->message});
    }
    EXPECT_EQ(receivers[0]->OnDatagram("10.0.0.1", ComposeSecureDatagram("s", many)).opened.size(),
              SecureChannel::kMostBundleOpens);
    EXPECT_TRUE(sender.SealBundle(indices, Bytes(kBundleMaxPlaintext + 1)).empty());
}

TEST(SecureChannelTest, BundlesOfTheWrongShapeAreRefusedAndPackedToFit) {
    const auto entry = [](std::size_t ciphertext, SessionIndex index = 7) {
        return BundleEntry{index, Bytes(8 + ciphertext, 1)};
    };
    const auto compose = [](std::vector<BundleEntry> entries) {
        return ComposeSecureDatagram("n", {.kind = SecureKind::Bundle, .entries = entries});
    };
    const Bytes good = compose({entry(16), entry(21, 9)});
    ASSERT_EQ(ParseSecureDatagram(good)->entries, (std::vector{entry(16), entry(21, 9)}));
    const std::size_t count = kSecureKindOffset + 1;
    const std::size_t firstLength = count + 1 + 4;
    for (const auto& [at, value] : {std::pair{count, 0},
                                    {count, 1},
                                    {count, 3},
                                    {count, 110},
                                    {firstLength, 15},
                                    {firstLength, 17}}) {
        Bytes bad = good;
        bad[at] = static_cast<std::uint8_t>(value);
        EXPECT_FALSE(ParseSecureDatagram(bad)) << at << " " << value;
    }
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_FALSE(ParseSecureDatagram(longer));
    EXPECT_FALSE(ParseSecureDatagram(std::span(good).first(good.size() - 1)));
    EXPECT_TRUE(compose({entry(16, 0)}).empty());
    EXPECT_TRUE(compose({entry(15)}).empty());
    EXPECT_TRUE(compose({entry(4001)}).empty());
    EXPECT_TRUE(compose({}).empty());
    EXPECT_FALSE(compose(std::vector(109, entry(23))).empty()); // PRESENT to 109 hosts
    EXPECT_TRUE(compose(std::vector(110, entry(16))).empty());
    for (const auto& [size, many, bundles] :
         {std::tuple{23u, 110u, 2u}, {4000u, 2u, 2u}, {2011u, 2u, 1u}, {2012u, 2u, 2u}}) {
        const std::vector entries(many, entry(size));
        EXPECT_EQ(ComposeBundles("n", entries).size(), bundles) << size;
    }
}

} // namespace
} // namespace kestrane::test
