#include "core/identity/KnownKeysFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

using Heard = KnownKeys::Heard;
using State = KnownKeys::State;

PublicKey Key(std::uint8_t n) {
    PublicKey key{};
    key.fill(n);
    return key;
}

} // namespace

TEST(KnownKeysTest, TheFirstKeyIsTrustedAnotherWaitsForThePersonAndBlockedStaysBlocked) {
    KnownKeys keys;
    const Heard steps[] = {
        keys.Hear("PC2", Key(1), 10),
        keys.Hear("pc2", Key(1), 11), // names match as in the roster
        keys.Hear("PC2", Key(2), 12),
        keys.Hear("PC2", Key(2), 13),
    };
    EXPECT_EQ(std::vector<Heard>(std::begin(steps), std::end(steps)),
              (std::vector<Heard>{Heard::First, Heard::Same, Heard::Changed, Heard::Changed}));
    EXPECT_FALSE(keys.Verify("PC2", Key(2))); // an undecided key is never verified
    EXPECT_TRUE(keys.Verify("PC2", Key(1)));
    keys.Accept("PC2", Key(2)); // the verified key is forgotten, the new one trusted, unverified
    EXPECT_EQ(keys.TrustedKey("PC2")->key, Key(2));
    EXPECT_EQ(keys.StateOf("PC2", Key(2)), State::Trusted);
    EXPECT_EQ(keys.Hear("PC2", Key(1), 14), Heard::Changed);
    keys.Block("PC2", Key(1));
    EXPECT_EQ(keys.Hear("PC2", Key(1), 15), Heard::Blocked);
    EXPECT_EQ(keys.Hear("PC2", Key(2), 16), Heard::Same);
}

TEST(KnownKeysTest, KeysAndNamesAHostileNetworkBringsStayWithinTheirCaps) {
    KnownKeys keys;
    keys.Hear("PC2", Key(1), 0);
    for (std::uint8_t n = 2; n < 40; ++n) {
        keys.Hear("PC2", Key(n), n);
        if (n % 2 == 0) {
            keys.Block("PC2", Key(n));
        }
    }
    const auto& kept = keys.Entries().begin()->second.keys;
    EXPECT_EQ(kept.size(), 1 + KnownKeys::kMostNew + KnownKeys::kMostBlocked);
    EXPECT_EQ(keys.StateOf("PC2", Key(39)), State::New);  // the newest stay
    EXPECT_EQ(keys.StateOf("PC2", Key(3)), std::nullopt); // the oldest went
    EXPECT_EQ(keys.TrustedKey("PC2")->key, Key(1));       // the trusted one is never pushed out
    keys.Verify("PC2", Key(1));
    for (std::size_t n = 0; n < KnownKeys::kMostNames + 5; ++n) {
        keys.Hear("host" + std::to_string(n), Key(7), 100 + static_cast<std::int64_t>(n));
    }
    EXPECT_EQ(keys.Entries().size(), KnownKeys::kMostNames);
    EXPECT_TRUE(keys.TrustedKey("PC2"));    // verified: kept though heard longest ago
    EXPECT_FALSE(keys.TrustedKey("host0")); // the next oldest went
    EXPECT_TRUE(keys.TrustedKey("host4100"));
}

TEST(KnownKeysTest, KeptInAFileOfItsOwnAndADamagedFileIsMovedAsideWithANote) {
    QTemporaryDir folder;
    KnownKeys keys;
    keys.Hear("PC2", Key(1), 10);
    keys.Hear("PC2", Key(2), 20);
    keys.Hear(std::string("odd name\n\0x", 11), Key(3), 30);
    keys.Verify(std::string("odd name\n\0x", 11), Key(3));
    ASSERT_EQ(KnownKeysFile::Save(folder.path(), keys), "");
    const KnownKeysFile::Loaded loaded = KnownKeysFile::Load(folder.path());
    EXPECT_TRUE(loaded.note.isEmpty());
    EXPECT_EQ(loaded.keys.StateOf("PC2", Key(2)), State::New);
    EXPECT_EQ(loaded.keys.TrustedKey(std::string("odd name\n\0x", 11))->state, State::Verified);
    EXPECT_EQ(loaded.keys.TrustedKey("PC2")->firstHeard, 10);
    EXPECT_EQ(QFile(folder.filePath("known-keys")).permissions() & 0x0077, 0);

    QFile file(folder.filePath("known-keys"));
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("trusted 00 1 2 50\n"); // a key too short
    file.close();
    const KnownKeysFile::Loaded damaged = KnownKeysFile::Load(folder.path());
    EXPECT_TRUE(damaged.note.contains("is damaged: it was moved to "))
        << damaged.note.toStdString();
    EXPECT_TRUE(damaged.keys.Entries().empty());
    EXPECT_EQ(QDir(folder.path()).entryList({"known-keys.damaged-*"}).size(), 1);
}

} // namespace kestrane::test
