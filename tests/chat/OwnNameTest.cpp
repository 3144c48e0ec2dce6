#include "chat/OwnName.h"

#include "chat/PeerAddressBook.h"
#include "chat/PeerName.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

TEST(OwnName, CanonicalNameIsUpperCasedAToZOnly) {
    EXPECT_EQ(OwnNameFromCanonical("pc-7.lan"), "PC-7.LAN");
    EXPECT_EQ(OwnNameFromCanonical("h\xe9te_1"), "H\xe9TE_1");
}

TEST(OwnName, TooLongForTheSenderFieldFallsBackToFirstLabelThenCuts) {
    std::string fits(32, 'a');
    EXPECT_EQ(OwnNameFromCanonical(fits), std::string(32, 'A'));
    EXPECT_EQ(OwnNameFromCanonical("workstation-12.department.example.org"), "WORKSTATION-12");
    std::string longLabel = std::string(40, 'b') + ".lan";
    EXPECT_EQ(OwnNameFromCanonical(longLabel), std::string(32, 'B'));
}

TEST(PeerName, WholeNamesMatchInAnyCaseButPrefixesDoNot) {
    EXPECT_TRUE(IsSamePeerName("PC1", "pc1"));
    EXPECT_FALSE(IsSamePeerName("PC1", "PC10"));
    EXPECT_FALSE(IsSamePeerName("PC10", "PC1"));
    EXPECT_FALSE(IsSamePeerName("", "PC1"));
}

TEST(PeerName, RosterRefusesEmptyAndOwnNameExactly) {
    EXPECT_FALSE(MayListPeer("", "PC1"));
    EXPECT_FALSE(MayListPeer("PC1", "PC1"));
    EXPECT_TRUE(MayListPeer("pc1", "PC1"));
    EXPECT_TRUE(MayListPeer("PC2", ""));
}

TEST(PeerName, RosterOrderPutsSymbolsThenDigitsThenLettersIgnoringCase) {
    EXPECT_TRUE(PeerNameLess("<< Broadcast >>", "1PC"));
    EXPECT_TRUE(PeerNameLess("<< Broadcast >>", "_PC"));
    EXPECT_TRUE(PeerNameLess("9PC", "APC"));
    EXPECT_TRUE(PeerNameLess("alpha", "BETA"));
    EXPECT_TRUE(PeerNameLess("PC1", "PC10"));
    EXPECT_FALSE(PeerNameLess("pc1", "PC1"));
}

TEST(PeerAddressBook, LatestAddressWinsAndAMoveIsReportedOnceUnderTheRosterMatch) {
    PeerAddressBook book;
    EXPECT_EQ(book.Note("PC2", "10.0.0.2"), std::nullopt); // first heard: no move
    EXPECT_EQ(book.Note("pc2", "10.0.0.2"), std::nullopt); // same host, same place
    EXPECT_EQ(book.AddressOf("Pc2"), "10.0.0.2");
    EXPECT_EQ(book.AddressOf("PC20"), std::nullopt); // whole names only
    EXPECT_EQ(book.Note("PC20", "10.0.0.20"), std::nullopt);
    EXPECT_EQ(book.Note("PC2", "10.0.0.9"), "10.0.0.2");
    EXPECT_EQ(book.Note("PC2", "10.0.0.9"), std::nullopt);
    EXPECT_EQ(book.AddressOf("PC2"), "10.0.0.9");
    EXPECT_EQ(book.Note("PC2", ""), std::nullopt); // an unknown source changes nothing
    EXPECT_EQ(book.AddressOf("PC2"), "10.0.0.9");
    book.Forget("pc2");
    EXPECT_EQ(book.AddressOf("PC2"), std::nullopt);
    EXPECT_EQ(book.AddressOf("PC20"), "10.0.0.20");
}

} // namespace
} // namespace kestrane
