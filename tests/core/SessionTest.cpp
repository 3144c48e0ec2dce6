#include "chat/ChatMessage.h"
#include "chat/SecureChannel.h"
#include "chat/SecureDatagram.h"
#include "core/NetworkText.h"
#include "core/delivery/EverybodySetting.h"
#include "core/delivery/LineDelivery.h"
#include "core/history/HistoryListing.h"
#include "core/identity/KnownKeysFile.h"
#include "core/identity/PeerKeys.h"
#include "core/instance/InstanceCalls.h"
#include "core/roster/HostRoster.h"
#include "core/session/ChatSession.h"
#include "core/session/ConsoleView.h"
#include "core/threads/UiBridge.h"
#include "core/unread/MessageQueue.h"
#include "tests/support/Lan.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

// What was written to `file` since it was opened.
std::string Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        text += static_cast<char>(c);
    }
    return text;
}

TEST(TerminalText, WritesWhatCouldActOnATerminalAsEscapesAndKeepsTheRest) {
    const std::pair<QString, QString> rows[] = {
        {"caf\u00e9 \u4f60\u597d", "caf\u00e9 \u4f60\u597d"},
        {"a\tb\r\nc", "a\\x09b\\x0d\\x0ac"},
        {"\x1b]0;owned\a", "\\x1b]0;owned\\x07"},
        {"back\\slash", "back\\\\slash"},
        {"\u202egnp.exe", "\\u{202e}gnp.exe"},
        {QString("\u0085\u2028\u200f"), "\\x85\\u{2028}\\u{200f}"}};
    for (const auto& [text, shown] : rows) {
        EXPECT_EQ(TerminalText(text).toStdString(), shown.toStdString());
    }
}

TEST(HistoryListing, SinceTakesDatesTimesAndAgesAndNothingElse) {
    const QDateTime now = QDateTime::fromString("2026-12-08T12:00:00", Qt::ISODate);
    const std::pair<QString, QString> rows[] = {{"30m", "2026-12-08T11:30:00"},
                                                {"2h", "2026-12-08T10:00:00"},
                                                {"7d", "2026-12-01T12:00:00"},
                                                {"90s", "2026-12-08T11:58:30"},
                                                {"2026-12-01", "2026-12-01T00:00:00"},
                                                {"2026-12-01T09:15", "2026-12-01T09:15:00"},
                                                {"yesterday", ""},
                                                {"5x", ""},
                                                {"-3h", ""},
                                                {"2026-13-01", ""}};
    for (const auto& [when, time] : rows) {
        SCOPED_TRACE(when.toStdString());
        const std::optional<QDateTime> since = HistoryListing::ParseSince(when, now);
        EXPECT_EQ(since ? since->toString(Qt::ISODate).toStdString() : "", time.toStdString());
    }
}

// A copy without a window, as PC7 on loopback: peers reach its listener
// through 127.0.0.2, its "broadcasts" go to 127.0.0.1, its log to a file.
struct HeadlessCopy {
    HeadlessCopy() {
        everyone.Ignore(9); // presence between Kestrane hosts
        session.OpenNetwork(port, "127.0.0.1");
        session.CompleteNetworkStart("PC7");
        EXPECT_EQ(everyone.Next(), Datagram(1, "PC7", "ILIVE"));
    }
    ~HeadlessCopy() { std::fclose(out); }
    void Receive(const std::string& datagram, const char* from = "127.0.0.3") {
        UdpPeer(from).SendTo(port, datagram, "127.0.0.2");
    }

    int port = FreeUdpPort();
    UdpPeer everyone{"127.0.0.1", port};
    QTemporaryDir folder;
    std::FILE* out = std::tmpfile();
    int endStatus = -1;
    ConsoleView view{out, [this](int status) { endStatus = status; }};
    MessageQueue queue;
    UiBridge bridge;
    ChatSession session{{.view = view,
                         .queue = queue,
                         .bridge = bridge,
                         .instanceLock = nullptr,
                         .lookUpAddress = [](const std::string&) { return std::nullopt; },
                         .historyFolder = folder.path()}};
};

// What the copy kept, as a script reads it back: its rows past their times, joined by "|".
std::string Kept(const HeadlessCopy& copy) {
    std::FILE* listing = std::tmpfile();
    EXPECT_EQ(HistoryListing::Print(QDir(copy.folder.path()).filePath("history.db"), {}, listing,
                                    listing),
              0);
    QStringList rows = QString::fromStdString(Contents(listing)).split('\n', Qt::SkipEmptyParts);
    std::fclose(listing);
    for (QString& row : rows) {
        row = row.section('\t', 1);
    }
    return rows.join('|').toStdString();
}

TEST(HeadlessSession, ListsReceivesKeepsSendsForScriptsAndSaysGoodbye) {
    HeadlessCopy copy;
    const UdpPeer pc3("127.0.0.3", copy.port);
    copy.Receive(Datagram(1, "PC3", "ILIVE"));
    EXPECT_EQ(copy.everyone.Next(), Datagram(2, "PC7", "*** Online ***\r\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return copy.session.Hosts().Find("PC3") > 0; }));
    copy.Receive(Datagram(4, "PC3", "hello \x1b[2Jthere\r\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return copy.queue.Size() == 1; }));

    // A script's line to PC3 goes plain (PC3 never said it confirms lines).
    std::string outcome;
    copy.session.Lines().SendForScript(
        {.to = "pc3", .toEverybody = false, .text = "reply"},
        [&](ScriptedSend::Outcome, const QString& words) { outcome = words.toStdString(); });
    EXPECT_EQ(pc3.Next(), Datagram(4, "PC7", "reply\r\n"));
    EXPECT_NE(outcome.find("does not send receipts"), std::string::npos) << outcome;

    copy.session.End(true);
    EXPECT_EQ(copy.everyone.Next(), Datagram(7, "PC7", "***Leaveing channel"));
    const std::string log = Contents(copy.out);
    EXPECT_NE(log.find(" PC3 : hello \\x1b[2Jthere\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" Sent to PC3: reply\n"), std::string::npos) << log;

    EXPECT_EQ(Kept(copy), "in\tPC3\t127.0.0.3\tunread\thello \\x1b[2Jthere|"
                          "out\tPC3\t127.0.0.3\tno-receipts\treply");
    std::FILE* errors = std::tmpfile();
    EXPECT_EQ(HistoryListing::Print(copy.folder.path() + "/none.db", {}, errors, errors), 1);
    EXPECT_NE(Contents(errors).find("no history is kept yet"), std::string::npos);
    std::fclose(errors);
}

// PC3 runs the DELIVERY/2 engine under one key, then under another: `engine`
// answers what the copy sends it until a session is up on both sides, whose
// index in `engine` it gives.
std::optional<SessionIndex> Handshake(HeadlessCopy& copy, const UdpPeer& pc3, SecureChannel& engine,
                                      bool pc3Starts) {
    const auto toCopy = [&](const std::vector<SecureChannel::Outgoing>& datagrams) {
        for (const auto& datagram : datagrams) {
            pc3.SendTo(copy.port, std::string(datagram.datagram.begin(), datagram.datagram.end()),
                       "127.0.0.2");
        }
    };
    if (pc3Starts) {
        toCopy({*engine.Initiate("copy")});
    }
    for (int step = 0; step < 16; ++step) {
        const std::string bytes = pc3.Next(4000); // the copy waits up to 2 s to start
        const std::span<const std::uint8_t> datagram(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        if (bytes.empty()) {
            return std::nullopt;
        }
        if (!LooksSecure(datagram)) {
            continue; // probes and the like
        }
        const SecureChannel::Result result = engine.OnDatagram("copy", datagram);
        toCopy(result.send);
        if (result.up && (!pc3Starts || !result.opened.empty())) {
            return result.up->index;
        }
    }
    return std::nullopt;
}

// The next plaintext that PC3's engine opens from what the copy sends it; a
// datagram in the clear comes back as "clear: " and its bytes.
std::string OpenNext(const UdpPeer& pc3, SecureChannel& engine) {
    for (int datagrams = 0; datagrams < 8; ++datagrams) {
        const std::string bytes = pc3.Next(3000);
        const std::span<const std::uint8_t> datagram(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        if (bytes.empty() || !LooksSecure(datagram)) {
            return bytes.empty() ? bytes : "clear: " + bytes;
        }
        for (const auto& opened : engine.OnDatagram("copy", datagram).opened) {
            if (!opened.plaintext.empty()) {
                return {opened.plaintext.begin(), opened.plaintext.end()};
            }
        }
    }
    return {};
}

void SendSealed(const HeadlessCopy& copy, const UdpPeer& pc3, SecureChannel& engine,
                SessionIndex session, const std::string& plaintext) {
    const auto sealed =
        engine.Seal(session, std::span(reinterpret_cast<const std::uint8_t*>(plaintext.data()),
                                       plaintext.size()));
    ASSERT_TRUE(sealed);
    pc3.SendTo(copy.port, std::string(sealed->datagram.begin(), sealed->datagram.end()),
               "127.0.0.2");
}

// PC3 announces DELIVERY/2 and makes its session with the copy, which trusts
// its key: PC3's index of the session, once the copy speaks through it.
std::optional<SessionIndex> MeetKeyed(HeadlessCopy& copy, const UdpPeer& pc3,
                                      SecureChannel& engine) {
    copy.Receive(Datagram(9, "PC3", "DELIVERY/1 PRESENT DELIVERY/2"));
    const std::optional<SessionIndex> session = Handshake(copy, pc3, engine, false);
    const bool up = session && QTest::qWaitFor([&] {
                        return copy.session.Keys()->SessionAddress("PC3").has_value();
                    });
    return up ? session : std::nullopt;
}

// Hands a script's line to `to` (empty: everybody) to the copy; `outcome`
// gets "OUTCOME words" once it is known.
void SendForScript(HeadlessCopy& copy, const std::string& to, const std::string& text,
                   std::string& outcome) {
    outcome.clear();
    copy.session.Lines().SendForScript(
        {.to = to, .toEverybody = to.empty(), .text = text},
        [&outcome](ScriptedSend::Outcome result, const QString& words) {
            outcome = std::string(ScriptedSend::OutcomeName(result)) + " " + words.toStdString();
        });
}

// Once PC3's key is known, lines and receipts between the copy and PC3 go
// sealed in its session, and nothing in the clear under PC3's name stands for
// PC3: not its address, its leaving, nor a receipt, even from its address.
TEST(HeadlessSession, TalksWithAKeyedHostOnlyInsideItsSession) {
    HeadlessCopy copy;
    const UdpPeer pc3("127.0.0.3", copy.port);
    SecureChannel engine(*KeyPair::Generate(), "PC3");
    const std::optional<SessionIndex> session = MeetKeyed(copy, pc3, engine);
    ASSERT_TRUE(session);

    copy.Receive(Datagram(9, "PC3", "DELIVERY/1 PRESENT"), "127.0.0.4");
    copy.Receive(Datagram(7, "PC3", "***Leaveing channel"), "127.0.0.4");
    copy.Receive(Datagram(4, "PC3", "forged\r\n"), "127.0.0.4");
    ASSERT_TRUE(QTest::qWaitFor([&] { return copy.queue.Size() == 1; }));
    EXPECT_EQ(copy.session.Hosts().AddressOf("PC3"), "127.0.0.3");

    std::string outcome;
    SendForScript(copy, "pc3", "secret", outcome);
    const std::string line = OpenNext(pc3, engine);
    ASSERT_TRUE(line.starts_with("LINE ") && line.ends_with(" ONE secret\r\n")) << line;
    const std::string id = line.substr(5, line.find(' ', 5) - 5);
    pc3.SendTo(copy.port, Datagram(9, "PC3", "DELIVERY/1 ACK " + id), "127.0.0.2");
    EXPECT_EQ(OpenNext(pc3, engine), line); // the clear receipt did not count
    SendSealed(copy, pc3, engine, *session, "ACK " + id);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !outcome.empty(); }, 5000));
    EXPECT_TRUE(outcome.starts_with("DELIVERED") && outcome.ends_with("\tencrypted")) << outcome;

    // Too long to go sealed: refused, never sent in the clear.
    SendForScript(copy, "pc3", std::string(3996, 'x'), outcome);
    EXPECT_TRUE(outcome.starts_with("REFUSED") && outcome.find("3997") != std::string::npos)
        << outcome;

    SendSealed(copy, pc3, engine, *session, "LINE 00000000000000ab ONE sealed\r\n");
    EXPECT_EQ(OpenNext(pc3, engine), "ACK 00000000000000ab");
    // A line to everybody: in the clear, then sealed at once; shown once, as PC3's.
    pc3.SendToEverybody(copy.port, Datagram(4, "PC3", "to all\r\n"));
    SendSealed(copy, pc3, engine, *session, "LINE 00000000000000cd ALL to all\r\n");
    EXPECT_EQ(OpenNext(pc3, engine), "ACK 00000000000000cd");
    ASSERT_EQ(copy.queue.Size(), 3u);
    copy.session.End(true);
    const std::string kept = Kept(copy);
    EXPECT_NE(kept.find("in\tPC3\t127.0.0.4\tunread,not-authenticated\tforged|"), std::string::npos)
        << kept;
    EXPECT_NE(kept.find("in\tPC3\t127.0.0.3\tunread,encrypted\tsealed|"
                        "in\tPC3\t127.0.0.3\tunread,encrypted\tto all"),
              std::string::npos)
        << kept;
}

// PC3 started again with its key but lost its end of the session, and its
// hello was lost: the line that goes unanswered starts a new handshake, then
// arrives on the new session.
TEST(HeadlessSession, ReachesAKeyedHostThatStartedAgainUnheard) {
    HeadlessCopy copy;
    const UdpPeer pc3("127.0.0.3", copy.port);
    const KeyPair key = *KeyPair::Generate();
    SecureChannel before(key, "PC3");
    ASSERT_TRUE(MeetKeyed(copy, pc3, before));

    SecureChannel after(key, "PC3");
    std::string outcome;
    SendForScript(copy, "pc3", "still there?", outcome);
    const std::optional<SessionIndex> session = Handshake(copy, pc3, after, false);
    ASSERT_TRUE(session);
    const std::string line = OpenNext(pc3, after);
    ASSERT_TRUE(line.starts_with("LINE ") && line.ends_with(" ONE still there?\r\n")) << line;
    SendSealed(copy, pc3, after, *session, "ACK " + line.substr(5, line.find(' ', 5) - 5));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !outcome.empty(); }, 5000));
    EXPECT_TRUE(outcome.starts_with("DELIVERED")) << outcome;
}

// PC3 moved to another address and its hello there was lost: its keepalive
// from there starts a handshake there, and the host and its lines move only
// once that new session is up.
TEST(HeadlessSession, FollowsAKeyedHostThatMovedThroughANewSession) {
    HeadlessCopy copy;
    const UdpPeer before("127.0.0.3", copy.port);
    SecureChannel engine(*KeyPair::Generate(), "PC3");
    const std::optional<SessionIndex> old = MeetKeyed(copy, before, engine);
    ASSERT_TRUE(old);

    const UdpPeer after("127.0.0.5", copy.port);
    SendSealed(copy, after, engine, *old, "");
    ASSERT_TRUE(Handshake(copy, after, engine, false));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return copy.session.Keys()->SessionAddress("PC3") == std::string("127.0.0.5"); }));
    EXPECT_EQ(copy.session.Hosts().AddressOf("PC3"), "127.0.0.5");
    std::string outcome;
    SendForScript(copy, "pc3", "moved?", outcome);
    const std::string line = OpenNext(after, engine);
    EXPECT_TRUE(line.starts_with("LINE ") && line.ends_with(" ONE moved?\r\n")) << line;
}

// With "Only Kestrane hosts" a line to everybody goes sealed to each keyed
// host, never as a broadcast, and is refused while no such host is present.
TEST(HeadlessSession, SendsLinesToEverybodyOnlySealedWhenAsked) {
    EverybodySetting::SetOnlyKestrane(true);
    HeadlessCopy copy;
    std::string outcome;
    const auto toEverybody = [&](const std::string& text) {
        SendForScript(copy, {}, text, outcome);
    };
    toEverybody("nobody to take it");
    EXPECT_TRUE(outcome.starts_with("REFUSED") &&
                outcome.find("none is present") != std::string::npos)
        << outcome;

    const UdpPeer pc3("127.0.0.3", copy.port);
    SecureChannel engine(*KeyPair::Generate(), "PC3");
    const std::optional<SessionIndex> session = MeetKeyed(copy, pc3, engine);
    ASSERT_TRUE(session);
    // PC2 speaks today's receipts, in the clear, and has no key.
    const UdpPeer pc2("127.0.0.4", copy.port);
    copy.Receive(Datagram(9, "PC2", "DELIVERY/1 PRESENT"), "127.0.0.4");
    EXPECT_EQ(pc2.Next(), Datagram(9, "PC7", "DELIVERY/1 PROBE"));
    copy.Receive(Datagram(9, "PC2", "DELIVERY/1 PRESENT"), "127.0.0.4");
    ASSERT_TRUE(QTest::qWaitFor([&] { return copy.session.Delivery()->SpeaksDelivery("PC2"); }));
    const auto nextLineTo2 = [&] {
        for (int datagram = 0; datagram < 8; ++datagram) {
            if (const std::string next = pc2.Next(); next.find(" LINE ") != std::string::npos) {
                return next;
            }
        }
        return std::string();
    };
    toEverybody("only for kestrane");
    const std::string line = OpenNext(pc3, engine);
    ASSERT_TRUE(line.starts_with("LINE ") && line.ends_with(" ALL only for kestrane\r\n")) << line;
    SendSealed(copy, pc3, engine, *session, "ACK " + line.substr(5, line.find(' ', 5) - 5));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !outcome.empty(); }, 5000));
    EXPECT_TRUE(outcome.starts_with("DELIVERED") && outcome.ends_with("\tencrypted")) << outcome;
    toEverybody(std::string(3996, 'x'));
    EXPECT_TRUE(outcome.starts_with("REFUSED") && outcome.find("3997") != std::string::npos)
        << outcome;

    // The first broadcast the network sees is the one sent once the setting is off.
    EverybodySetting::SetOnlyKestrane(false);
    toEverybody("for every host");
    EXPECT_EQ(copy.everyone.Next(), Datagram(4, "PC7", "for every host\r\n"));
    EXPECT_NE(nextLineTo2().find(" ALL for every host\r\n"), std::string::npos);
}

// A host that announces DELIVERY/2 gets a handshake; its key is remembered
// under its name, and another key later proving the same name is told loudly
// and kept apart, undecided, across the copy's end.
TEST(HeadlessSession, RemembersTheKeyAHostProvesAndWarnsOfAnotherOne) {
    HeadlessCopy copy;
    const UdpPeer pc3("127.0.0.3", copy.port);
    const std::optional<KeyPair> first = KeyPair::Generate();
    const std::optional<KeyPair> second = KeyPair::Generate();
    const std::optional<KeyPair> third = KeyPair::Generate();
    ASSERT_TRUE(first && second && third);
    SecureChannel genuine(*first, "PC3");
    copy.Receive(Datagram(9, "PC3", "DELIVERY/1 PRESENT DELIVERY/2"));
    const std::optional<SessionIndex> session = Handshake(copy, pc3, genuine, false);
    ASSERT_TRUE(session.has_value());
    const KnownKeys& keys = copy.session.Keys()->Keys();
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys.TrustedKey("pc3").has_value(); }));
    EXPECT_EQ(keys.TrustedKey("pc3")->key, first->Public());
    SendSealed(copy, pc3, genuine, *session, "BYE");
    ASSERT_TRUE(QTest::qWaitFor([&] { return copy.session.Hosts().Find("PC3") < 0; }));

    // The new key's session lists the name again, so a send to it can say why it waits.
    SecureChannel impostor(*second, "PC3");
    ASSERT_TRUE(Handshake(copy, pc3, impostor, true).has_value());
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys.StateOf("PC3", second->Public()).has_value(); }));
    EXPECT_GE(copy.session.Hosts().Find("PC3"), 0);
    EXPECT_EQ(keys.StateOf("PC3", second->Public()), KnownKeys::State::New);
    EXPECT_EQ(keys.TrustedKey("pc3")->key, first->Public());
    // Key after key under one name: told once until the person decides.
    SecureChannel another(*third, "PC3");
    ASSERT_TRUE(Handshake(copy, pc3, another, true).has_value());
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys.StateOf("PC3", third->Public()).has_value(); }));
    QCoreApplication::processEvents(); // the note is queued behind the decision
    copy.session.End(true);
    const std::string log = Contents(copy.out);
    EXPECT_NE(log.find("PC3 is using a different key"), std::string::npos) << log;
    EXPECT_EQ(log.find("PC3 is using a different key"), log.rfind("PC3 is using a different key"));
    const KnownKeys kept = KnownKeysFile::Load(copy.folder.path()).keys;
    EXPECT_EQ(kept.StateOf("pc3", first->Public()), KnownKeys::State::Trusted);
    EXPECT_EQ(kept.StateOf("pc3", second->Public()), KnownKeys::State::New);
}

// As people type them: a listed host's first label when only one host has it,
// any case; an address nobody spoke from is not taken for a line sent.
TEST(HeadlessSession, ScriptsNameHostsAsPeopleTypeThem) {
    HeadlessCopy copy;
    copy.Receive(Datagram(1, "PC2.LAN.TEST", "ILIVE"), "127.0.0.3");
    copy.Receive(Datagram(1, "PC3.LAN.TEST", "ILIVE"), "127.0.0.4");
    copy.Receive(Datagram(1, "PC3.VPN.TEST", "ILIVE"), "127.0.0.5");
    ASSERT_TRUE(QTest::qWaitFor([&] { return copy.session.Hosts().rowCount() == 4; }));
    // Where the line goes (a listener below, or -1), and the start of the answer.
    const std::tuple<std::string, int, std::string> rows[] = {
        {"pc2", 0, "NO-RECEIPTS"},
        {"Pc2.Lan.Test", 0, "NO-RECEIPTS"},
        {"127.0.0.4", 1, "NO-RECEIPTS"},
        {"pc3", -1, "REFUSED pc3 names 2 hosts (PC3.LAN.TEST, PC3.VPN.TEST): give the whole name."},
        {"127.0.0.9", -1, "NOT-DELIVERED Sent to 127.0.0.9, from which nothing has been heard"},
        {"pc9", -1, "REFUSED"}};
    const UdpPeer listeners[] = {UdpPeer{"127.0.0.3", copy.port}, UdpPeer{"127.0.0.4", copy.port}};
    for (const auto& [to, listener, outcome] : rows) {
        SCOPED_TRACE(to);
        std::string told;
        copy.session.Lines().SendForScript(
            {.to = to, .toEverybody = false, .text = "hi " + to},
            [&](ScriptedSend::Outcome result, const QString& words) {
                told = std::string(ScriptedSend::OutcomeName(result)) + " " + words.toStdString();
            });
        ASSERT_TRUE(QTest::qWaitFor([&] { return !told.empty(); }, 5000));
        if (listener >= 0) {
            EXPECT_EQ(listeners[listener].Next(), Datagram(4, "PC7", "hi " + to + "\r\n"));
        }
        EXPECT_TRUE(told.starts_with(outcome)) << told;
        EXPECT_EQ(told.ends_with("\tplain"), !outcome.starts_with("REFUSED")) << told;
    }
}

} // namespace
} // namespace kestrane::test
