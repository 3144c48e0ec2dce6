#include "files/FileManifest.h"
#include "files/FileNotice.h"
#include "files/OfferToken.h"
#include "files/SafeRelativePath.h"
#include "files/TransferRequest.h"
#include "files/TransferText.h"
#include "files/WriteLeavingHoles.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrane::test {
namespace {

using namespace std::string_literals;

const std::string kToken(32, 'a');
const std::string kDigest(64, 'e');

TEST(FilesTest, OnlyNamesThatStayInsideTheirFolderAreSafe) {
    const std::pair<std::string, bool> paths[] = {
        {"a", true},
        {"Fotos/Été 2026/..x .jpg", true},
        {".hidden/.x", true},
        {std::string(255, 'n') + "/b", true},
        {"", false},
        {"/etc/passwd", false},
        {"a/../../b", false},
        {"..", false},
        {"a/.", false},
        {"a//b", false},
        {"a/", false},
        {"a\\..\\b", false},
        {"a\0b"s, false},
        {"a\nb", false},
        {"a\x7f", false},
        {std::string(256, 'n'), false},
        {std::string(2049, 'n') + "/" + std::string(2047, 'n'), false},
        {"\xc0\xaf", false},
        {"\xed\xa0\x80", false},
        {"\xc2\x85", false},
        {"\xff", false},
        {"\xf4\x90\x80\x80", false},
        {"\xe2\x82", false}};
    for (const auto& [path, safe] : paths) {
        EXPECT_EQ(!SafeRelativePath::Problem(path), safe) << SafeRelativePath::Printable(path);
    }
    EXPECT_EQ(SafeRelativePath::Printable("a\nb/\xff"), "a?b/?");
}

TEST(FilesTest, WordsCarryEveryByteAndRefuseBrokenEscapes) {
    std::string everyByte;
    for (int byte = 0; byte < 256; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    const std::string word = TransferText::EncodeWord(everyByte);
    EXPECT_EQ(word.find_first_of(" \r\n\0"s), std::string::npos);
    EXPECT_EQ(TransferText::DecodeWord(word), everyByte);
    for (const char* broken : {"%", "a%4", "%GG", "%4g"}) {
        EXPECT_FALSE(TransferText::DecodeWord(broken)) << broken;
    }
    for (const char* count : {"", "01", "-1", "+1", "1 ", "18446744073709551616"}) {
        EXPECT_FALSE(TransferText::ParseCount(count)) << count;
    }
    EXPECT_EQ(TransferText::ParseCount("18446744073709551615"), UINT64_MAX);
}

TEST(FilesTest, NoticesRoundTripAndAnythingElseIsNoNotice) {
    FileNotice offer{FileNotice::Kind::Offer, kToken, 3, 5'000'000'000, "My photos"};
    const std::string text = offer.Compose();
    EXPECT_EQ(text, "FILES/1 OFFER " + kToken + " 3 5000000000 My%20photos\r\n");
    const auto parsed = FileNotice::Parse(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->title, "My photos");
    EXPECT_EQ(parsed->bytes, 5'000'000'000u);
    EXPECT_EQ(FileNotice::Parse("FILES/1 DECLINE " + kToken + "\r\n")->kind,
              FileNotice::Kind::Decline);
    const FileNotice receipt{FileNotice::Kind::Received, kToken, 0, 0, {}};
    EXPECT_EQ(receipt.Compose(), "FILES/1 RECEIVED " + kToken + "\r\n");
    EXPECT_EQ(FileNotice::Parse(receipt.Compose())->kind, FileNotice::Kind::Received);
    const FileNotice folder{FileNotice::Kind::Folder, kToken, 3, 0, {}};
    EXPECT_EQ(folder.Compose(), "FILES/1 FOLDER " + kToken + " 3\r\n");
    EXPECT_EQ(FileNotice::Parse(folder.Compose())->entries, 3u);
    // A title too long to receive is cut, never inside a character.
    offer.title.clear();
    for (int at = 0; at < 150; ++at) {
        offer.title += "\xc3\xa9";
    }
    EXPECT_EQ(FileNotice::Parse(offer.Compose())->title, offer.title.substr(0, 254));
    const std::string decline = "FILES/1 DECLINE " + kToken;
    for (const std::string& bad : std::vector<std::string>{
             "FILES/4 DECLINE " + kToken, "FILES/ DECLINE " + kToken, decline + " x",
             "FILES/1 DECLINE " + std::string(32, 'A'), "FILES/1 OFFER " + kToken + " 0 0 t",
             "FILES/1 OFFER " + kToken + " 1 1 ", "FILES/1 OFFER " + kToken + " 1 1 t u",
             "FILES/1 OFFER " + kToken + " 1 1 " + std::string(256, 't'), "FILES/1 OFFER",
             "FILES/1 OFFER " + kToken + " 1 1 a\r\nb", "FILES/1 OFFER " + kToken + " 1 1 a\nb",
             "FILES/1 FOLDER " + kToken, "FILES/1 FOLDER " + kToken + " 03",
             "FILES/1 FOLDER " + kToken + " 3 x"}) {
        EXPECT_FALSE(FileNotice::Parse(bad + "\r\n")) << bad;
    }
    EXPECT_FALSE(FileNotice::Parse(decline));
    offer.version = 2;
    EXPECT_TRUE(offer.Compose().starts_with("FILES/2 OFFER " + kToken + " 3 5000000000 "));
    EXPECT_EQ(FileNotice::Parse(offer.Compose())->version, 2);
    EXPECT_EQ(FileNotice::Parse(decline + "\r\n")->version, 1);
}

TEST(FilesTest, ManifestsRoundTripAndUnmakeableOnesAreRefused) {
    FileManifest manifest;
    manifest.entries = {{true, 0, "", "Photos"}, {false, 7, kDigest, "Photos/a b.jpg"}};
    const std::string text = manifest.Compose();
    EXPECT_EQ(text, "D Photos\nF 7 " + kDigest + " Photos/a%20b.jpg\n");
    EXPECT_EQ(FileManifest::ParseEntry("F 7 " + kDigest + " Photos/a%20b.jpg"),
              manifest.entries[1]);
    EXPECT_FALSE(manifest.Problem());
    // A FILES/2 list leaves the digest out, and takes no line with one.
    EXPECT_EQ(manifest.Compose(2), "D Photos\nF 7 Photos/a%20b.jpg\n");
    EXPECT_EQ(FileManifest::ParseEntry("F 7 Photos/a%20b.jpg", 2)->size, 7u);
    EXPECT_FALSE(FileManifest::ParseEntry("F 7 " + kDigest + " a", 2));
    EXPECT_FALSE(FileManifest::ParseEntry("F 7 a", 1));
    for (const std::string& bad :
         std::vector<std::string>{"F 7 " + kDigest, "F 07 " + kDigest + " a", "F 7 x a", "D",
                                  "D a b", "X a", "F 7 " + kDigest + " a%"}) {
        EXPECT_FALSE(FileManifest::ParseEntry(bad)) << bad;
    }
    // Folders 15 deep, then long names in the deepest, past the list's cap.
    std::vector<ManifestEntry> longList;
    std::string deep;
    for (int depth = 0; depth < 15; ++depth) {
        deep += (depth == 0 ? "" : "/") + std::string(254, 'd');
        longList.push_back({true, 0, "", deep});
    }
    for (int file = 0; longList.size() < 8200; ++file) {
        longList.push_back(
            {false, 1, kDigest, deep + '/' + std::string(240, 'f') + std::to_string(file)});
    }
    const std::pair<std::vector<ManifestEntry>, std::string> refused[] = {
        {{}, "it lists no entries"},
        {{{false, 1, kDigest, "../x"}},
         "the name \"../x\" is refused: it names \"..\", which leads out "
         "of its folder"},
        {{{true, 0, "", "a"}, {false, 1, kDigest, "a"}}, "it lists \"a\" twice"},
        {{{false, 1, kDigest, "a"}, {false, 1, kDigest, "a/b"}}, "\"a/b\" lies inside a file"},
        {{{false, 1, kDigest, "a/b"}, {true, 0, "", "a"}},
         "\"a/b\" comes before the folder that holds it"},
        {longList, "its list is longer than 33554432 bytes"},
        {{{false, UINT64_MAX, kDigest, "a"}, {false, 1, kDigest, "b"}},
         "its sizes add up to more than any disk holds"}};
    for (const auto& [entries, problem] : refused) {
        manifest.entries = entries;
        EXPECT_EQ(manifest.Problem().value_or("none"), problem);
    }
}

TEST(FilesTest, RequestsAndRepliesRoundTripAndMalformedOnesAreRefused) {
    const TransferRequest get{TransferRequest::Kind::Get, kToken, 2, 4'294'967'296, kDigest};
    const std::string line = get.Compose();
    const auto parsed = TransferRequest::Parse(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->offset, 4'294'967'296u);
    EXPECT_EQ(TransferRequest::Parse("LIST " + kToken)->kind, TransferRequest::Kind::List);
    EXPECT_EQ(TransferRequest::Parse("FILES/2 " + kToken)->kind, TransferRequest::Kind::Session);
    const auto inSession = TransferRequest::Parse("GET 7 0 " + kDigest);
    ASSERT_TRUE(inSession);
    EXPECT_TRUE(inSession->token.empty());
    EXPECT_EQ(inSession->Compose(), "GET 7 0 " + kDigest + "\n");
    for (const std::string& bad : std::vector<std::string>{
             "LIST", "LIST " + kToken + " ", "GET " + kToken + " 1 2", "FILES/2",
             "FILES/2 " + kToken + " 1", "GET 1 2 " + kToken, "LIST 1 2 " + kDigest,
             "GET " + kToken + " 1 2 " + std::string(64, 'E'), "PUT " + kToken}) {
        EXPECT_FALSE(TransferRequest::Parse(bad)) << bad;
    }
    EXPECT_EQ(TransferReply::Parse("FROM 9")->count, 9u);
    EXPECT_EQ(TransferReply::Parse("ERR no such offer")->text, "no such offer");
    EXPECT_FALSE(TransferReply::Parse("OK"));
    EXPECT_EQ(TransferReply::Parse("SHA " + kDigest)->text, kDigest);
    EXPECT_FALSE(TransferReply::Parse("SHA " + kToken));
    EXPECT_EQ((TransferReply{TransferReply::Kind::Error, 0, "a\nb"}.Compose()), "ERR a b\n");
}

TEST(FilesTest, TokensAreRandomAndMatchOnlyThemselves) {
    const auto first = OfferToken::Make();
    ASSERT_TRUE(first && OfferToken::IsToken(*first));
    EXPECT_NE(first, OfferToken::Make());
    EXPECT_TRUE(OfferToken::Matches(*first, *first));
    EXPECT_FALSE(OfferToken::Matches(*first, kToken));
    EXPECT_FALSE(OfferToken::Matches(*first, first->substr(1)));
}

// However the bytes were cut into chunks, only the file's blocks that hold
// data are written: a megabyte with a few bytes in it stays a hole around them.
TEST(FilesTest, DataAmongZerosTakesOnlyTheBlocksItIsIn) {
    const struct {
        std::uint64_t position;
        std::size_t at, length;
    } cases[] = {{0, 500000, 3}, {100, 4096 * 10 + 3990, 200}, {4096, (1 << 20) - 1, 1}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.at);
        std::vector<char> chunk(1 << 20, 0);
        for (std::size_t index = 0; index < row.length; ++index) {
            chunk[row.at + index] = static_cast<char>(index + 1);
        }
        std::FILE* stream = std::tmpfile();
        const int file = ::fileno(stream);
        ASSERT_TRUE(WriteLeavingHoles(file, chunk.data(), chunk.size(), row.position));
        struct stat status {};
        ::fstat(file, &status);
        EXPECT_LE(status.st_blocks * 512, 2 * 4096);
        std::vector<char> back(chunk.size());
        EXPECT_GE(::pread(file, back.data(), back.size(), static_cast<off_t>(row.position)),
                  static_cast<ssize_t>(row.length + row.at));
        back.resize(row.at + row.length);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), chunk.begin()));
        std::fclose(stream);
    }
}

} // namespace
} // namespace kestrane::test
