#include "files/FileFetcher.h"
#include "files/FileServer.h"
#include "files/OfferBuilder.h"
#include "files/OfferToken.h"
#include "files/Sha256.h"
#include "tests/support/LoopbackAddress.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace kestrane::test {
namespace {

namespace fs = std::filesystem;

std::string Bytes(std::size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    for (std::size_t at = 0; at < count; ++at) {
        bytes[at] = static_cast<char>((at * 2654435761u + seed) >> 13);
    }
    return bytes;
}

void Write(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string DigestOf(const std::string& bytes) {
    Sha256 hash;
    hash.Add(bytes);
    return hash.Finish();
}

// Every name under `folder`, as relative paths.
std::set<std::string> Tree(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        names.insert(fs::relative(item.path(), folder).string());
    }
    return names;
}

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrane-transfer-XXXXXX";
        root = ::mkdtemp(pattern);
        fs::create_directories(root / "in");
    }
    void TearDown() override { fs::remove_all(root); }

    bool Fetch(int port, const std::string& token, std::string& error, FileFetcher* use = nullptr) {
        FileFetcher own("127.0.0.1", port, token);
        FileFetcher& fetcher = use != nullptr ? *use : own;
        const auto manifest = fetcher.List(error);
        return manifest && fetcher.Fetch(*manifest, root / "in", error);
    }

    fs::path root;
};

TEST_F(Transfer, FoldersArriveWholeBesideWhatIsThereAndCutFilesResume) {
    const std::string photo = Bytes(300'000, 1), deep = Bytes(5, 2), big = Bytes(3'000'000, 3);
    Write(root / "out/Photos/a b.jpg", photo);
    Write(root / "out/Photos/empty.txt", "");
    Write(root / "out/Photos/sub/deeper/x.bin", deep);
    fs::create_directories(root / "out/Photos/empty folder");
    fs::create_symlink("/etc", root / "out/Photos/link");
    Write(root / "out/big.bin", big);
    Write(root / "in/Photos/mine.txt", "mine");
    // An earlier attempt left the first megabyte; another left a wrong start.
    Write(root / "in/big.bin.part", big.substr(0, 1'000'000));
    Write(root / "in/Photos (1).part/sub/deeper/x.bin", "wrong");

    FileServer server;
    std::string error;
    ASSERT_TRUE(server.Open(0, error)) << error;
    FileServer::Offer offer{*OfferToken::Make(), "127.0.0.1", {}, {}};
    OfferBuilder builder;
    ASSERT_TRUE(builder.Build({root / "out/Photos", root / "out/big.bin"}, offer, error)) << error;
    EXPECT_EQ(builder.skipped, std::vector<std::string>{root / "out/Photos/link"});
    server.Add(offer);
    FileFetcher fetcher("127.0.0.1", server.Port(), offer.token);
    ASSERT_TRUE(Fetch(server.Port(), offer.token, error, &fetcher)) << error;

    EXPECT_EQ(fetcher.placedNames, (std::vector<std::string>{"Photos (1)", "big.bin"}));
    EXPECT_EQ(
        Tree(root / "in"),
        (std::set<std::string>{"Photos", "Photos/mine.txt", "Photos (1)", "Photos (1)/a b.jpg",
                               "Photos (1)/empty.txt", "Photos (1)/empty folder", "Photos (1)/sub",
                               "Photos (1)/sub/deeper", "Photos (1)/sub/deeper/x.bin", "big.bin"}));
    EXPECT_EQ(Read(root / "in/Photos (1)/a b.jpg"), photo);
    EXPECT_EQ(Read(root / "in/Photos (1)/sub/deeper/x.bin"), deep);
    EXPECT_EQ(Read(root / "in/big.bin"), big);
    EXPECT_EQ(server.SentBytes(offer.token), photo.size() + deep.size() + 2'000'000);
    EXPECT_EQ(fetcher.doneBytes, fetcher.totalBytes);
}

TEST_F(Transfer, OffersServeOnlyTheirOwnHostWhileTheyLive) {
    Write(root / "out/a", "a");
    FileServer server;
    std::string error;
    ASSERT_TRUE(server.Open(0, error)) << error;
    FileServer::Offer mine{*OfferToken::Make(), "127.0.0.1", {}, {}}, other = mine;
    OfferBuilder().Build({root / "out/a"}, mine, error);
    other.token = *OfferToken::Make();
    other.recipient = "127.0.0.9";
    server.Add(other);
    EXPECT_FALSE(Fetch(server.Port(), other.token, error));
    EXPECT_NE(error.find("without answering"), std::string::npos) << error;
    server.Add(mine);
    EXPECT_FALSE(Fetch(server.Port(), other.token, error));
    EXPECT_NE(error.find("offer was made to another host"), std::string::npos) << error;
    server.Withdraw(mine.token);
    EXPECT_FALSE(Fetch(server.Port(), mine.token, error));
    EXPECT_NE(error.find("without answering"), std::string::npos) << error;
    EXPECT_EQ(Tree(root / "in"), std::set<std::string>{});
}

// A sender that answers LIST with `list` and GET with `file`, then waits
// `linger` before it closes.
using namespace std::chrono_literals;

struct FakeSender {
    FakeSender(std::string list, std::string file, std::chrono::milliseconds linger) {
        listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = LoopbackAddress("127.0.0.1", 0);
        socklen_t size = sizeof address;
        ::bind(listening, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(listening, 4);
        ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        thread = std::thread([=, this] {
            for (int connection; (connection = ::accept(listening, nullptr, nullptr)) >= 0;) {
                char request[256] = {};
                ::recv(connection, request, sizeof request, 0);
                const std::string& reply = request[0] == 'L' ? list : file;
                ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(request[0] == 'L' ? 0ms : linger);
                ::close(connection);
            }
        });
    }
    ~FakeSender() {
        ::shutdown(listening, SHUT_RDWR);
        thread.join();
        ::close(listening);
    }
    int listening = -1;
    int port = 0;
    std::thread thread;
};

TEST_F(Transfer, HostileSendersChangeNothingButTheirOwnPartFile) {
    const std::string content = "0123456789", digest = DigestOf(content);
    const std::string good = "OK 1\nF 10 " + digest + " f\n";
    const struct {
        std::string list, file;
        std::chrono::milliseconds linger;
        std::string error, part; // part: what f.part holds afterwards
    } cases[] = {
        {"OK 1\nF 1 " + digest + " ../f\n", "", 0ms, "\"../f\" is refused", "-"},
        {"OK 1\nF 1 " + digest + " /etc/f\n", "", 0ms, "absolute path", "-"},
        {"OK 2\nD d\nF 1 " + digest + " d/..\n", "", 0ms, "leads out", "-"},
        {"OK 1\nF 1152921504606846976 " + digest + " f\n", "", 0ms, "more bytes, but the disk",
         "-"},
        {good, "FROM 0\n01234", 0ms, "was cut off after 5 of 10 bytes", "01234"},
        {good, "FROM 0\n0123456789x", 0ms, "sent more bytes of \"f\" than it offered",
         "0123456789"},
        {good, "FROM 0\n0123456780", 0ms, "SHA-256 differs", "-"},
        {good, "FROM 0\n012", 1500ms, "stalled: nothing came for 1 s after 3 of 10", "012"},
        {good, "ERR no more", 0ms, "in the middle of a line", "-"},
    };
    for (const auto& hostile : cases) {
        SCOPED_TRACE(hostile.error);
        FakeSender sender(hostile.list, hostile.file, hostile.linger);
        FileFetcher fetcher("127.0.0.1", sender.port, std::string(32, 'a'));
        fetcher.stallLimit = 1s;
        std::string error;
        EXPECT_FALSE(Fetch(sender.port, std::string(32, 'a'), error, &fetcher));
        EXPECT_NE(error.find(hostile.error), std::string::npos) << error;
        EXPECT_EQ(Tree(root).size(), 1u + (hostile.part != "-")) << "in/, and f.part at most";
        if (hostile.part != "-") {
            EXPECT_EQ(Read(root / "in/f.part"), hostile.part);
        }
        fs::remove(root / "in/f.part");
    }
}

} // namespace
} // namespace kestrane::test
