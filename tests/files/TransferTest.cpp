#include "files/BeneathFolder.h"
#include "files/FileFetcher.h"
#include "files/FileServer.h"
#include "files/OfferBuilder.h"
#include "files/OfferToken.h"
#include "files/Sha256.h"
#include "port/PortTypes.h"
#include "security/KeyPair.h"
#include "tests/support/LoopbackAddress.h"

#include <QTest>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <tuple>

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

// Marks `file` as Kestrane's working file for what has the SHA-256 `digest`.
void Mark(const fs::path& file, const std::string& digest) {
    ASSERT_EQ(::setxattr(file.c_str(), "user.kestrane.part", digest.data(), digest.size(), 0), 0);
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

    // Fetches into in/ what `fetcher` lists; the reason it failed in `error`.
    bool Fetch(FileFetcher& fetcher) {
        const auto manifest = fetcher.List(error);
        return manifest && fetcher.Fetch(*manifest, root / "in", error);
    }
    bool Fetch(const std::string& token) {
        FileFetcher fetcher("127.0.0.1", server.Port(), token);
        return Fetch(fetcher);
    }

    fs::path root;
    std::string error;
    FileServer server; // opened by the tests that use it: one may run at a time
};

class TransferEitherVersion : public Transfer, public ::testing::WithParamInterface<int> {};

TEST_P(TransferEitherVersion, FoldersArriveWholeBesideWhatIsThereAndCutFilesResume) {
    const int version = GetParam();
    const std::string photo = Bytes(300'000, 1), deep = Bytes(5, 2), big = Bytes(3'000'000, 3);
    Write(root / "out/Photos/a b.jpg", photo);
    Write(root / "out/Photos/empty.txt", "");
    Write(root / "out/Photos/sub/deeper/x.bin", deep);
    fs::create_directories(root / "out/Photos/empty folder");
    fs::create_symlink("/etc", root / "out/Photos/link");
    Write(root / "out/big.bin", big);
    Write(root / "in/Photos/mine.txt", "mine");
    // An earlier attempt left the first megabyte.
    Write(root / "in/big.bin.part", big.substr(0, 1'000'000));
    Mark(root / "in/big.bin.part", version == 1 ? DigestOf(big) : DigestOf("F 3000000 big.bin\n"));
    ASSERT_TRUE(server.Open(0, error)) << error;

    FileServer::Offer offer{*OfferToken::Make(), "127.0.0.1", {}, {}, {}, {}};
    OfferBuilder builder;
    ASSERT_TRUE(builder.Build({root / "out/Photos", root / "out/big.bin"}, offer, error)) << error;
    EXPECT_EQ(builder.skipped, std::vector<std::string>{root / "out/Photos/link"});
    server.Add(offer);
    FileFetcher fetcher("127.0.0.1", server.Port(), offer.token, version);
    const auto listed = fetcher.List(error);
    ASSERT_TRUE(listed) << error;
    // It also left the folder's first photo whole and two bytes of a deeper file.
    Sha256 folderMark;
    for (const ManifestEntry& entry : listed->entries) {
        folderMark.Add(entry.path.starts_with("Photos") ? FileManifest::Line(entry, version) : "");
    }
    Write(root / "in/Photos (1).part/a b.jpg", photo);
    Write(root / "in/Photos (1).part/sub/deeper/x.bin", deep.substr(0, 2));
    Mark(root / "in/Photos (1).part", folderMark.Finish());
    Mark(root / "in/Photos (1).part/a b.jpg", DigestOf(photo));
    Mark(root / "in/Photos (1).part/sub/deeper/x.bin", DigestOf(deep));
    ASSERT_TRUE(fetcher.Fetch(*listed, root / "in", error)) << error;

    // FILES/1 connects for the list and each file; FILES/2 once for all.
    EXPECT_EQ(server.AcceptedConnections(), version == 1 ? 5u : 1u);
    EXPECT_EQ(fetcher.placedNames, (std::vector<std::string>{"Photos (1)", "big.bin"}));
    EXPECT_EQ(
        Tree(root / "in"),
        (std::set<std::string>{"Photos", "Photos/mine.txt", "Photos (1)", "Photos (1)/a b.jpg",
                               "Photos (1)/empty.txt", "Photos (1)/empty folder", "Photos (1)/sub",
                               "Photos (1)/sub/deeper", "Photos (1)/sub/deeper/x.bin", "big.bin"}));
    EXPECT_EQ(Read(root / "in/Photos (1)/a b.jpg"), photo);
    EXPECT_EQ(Read(root / "in/Photos (1)/sub/deeper/x.bin"), deep);
    EXPECT_EQ(Read(root / "in/big.bin"), big);
    EXPECT_EQ(server.SentBytes(offer.token), deep.size() - 2 + 2'000'000);
    EXPECT_EQ(fetcher.resumedBytes, photo.size() + 2 + 1'000'000);
    EXPECT_EQ(fetcher.doneBytes, fetcher.totalBytes);
}

INSTANTIATE_TEST_SUITE_P(Files, TransferEitherVersion, ::testing::Values(1, 2));

TEST_F(Transfer, WorkingFilesAreResumedOnlyWhenMadeForTheFileAndNamesFitLinux) {
    // Holes inside and at the end, where stale bytes could hide.
    const std::string offered = Bytes(200'000, 4) + std::string(300'000, '\0') + Bytes(100'000, 5) +
                                std::string(200'000, '\0');
    std::string accented = "x", accentedShort;
    for (int at = 0; at < 125; ++at) {
        accented += "\xc3\xa9";
    }
    accentedShort = accented.substr(0, 245) + ".txt";
    accented += ".txt";
    const struct {
        std::string name, before; // before: what the folder held: "f.bin" or "f.bin.part"
        std::string held;         // its bytes; "/" for a folder
        std::string mark;         // what it is marked with; "ours": the mark for this file
        std::string placed;
    } cases[] = {
        {"f.bin", "f.bin", "mine", "", "f (1).bin"},
        {"f.bin", "f.bin.part", "mine", "", "f (1).bin"},
        {"f.bin", "f.bin.part", "/", "", "f (1).bin"},
        {"f.bin", "f.bin.part", "other", DigestOf("other"), "f (1).bin"},
        {"f.bin", "f.bin.part", Bytes(900'000, 6), "ours", "f.bin"},
        {"f.bin", "f.bin.part", Bytes(1000, 6), "ours", "f.bin"},
        {"f.bin", "f.bin.part", std::string(1000, 'x'), "ours", "f.bin"}, // not its start
        {std::string(251, 'n') + ".bin", "", "", "", std::string(246, 'n') + ".bin"},
        {accented, "", "", "", accentedShort},
    };
    ASSERT_TRUE(server.Open(0, error)) << error;
    // FILES/1 marks a working file with the file's digest, FILES/2 with its list line's.
    const std::string ours[] = {DigestOf(offered), DigestOf("F 800000 f.bin\n")};
    for (const int version : {1, 2}) {
        for (const auto& item : cases) {
            SCOPED_TRACE(item.placed + " after " + item.before + item.mark + " in FILES/" +
                         std::to_string(version));
            fs::remove_all(root);
            fs::create_directories(root / "in");
            Write(root / "out" / item.name, offered);
            if (item.held == "/") {
                fs::create_directories(root / "in" / item.before);
            } else if (!item.before.empty()) {
                Write(root / "in" / item.before, item.held);
            }
            if (!item.mark.empty()) {
                Mark(root / "in" / item.before,
                     item.mark == "ours" ? ours[version - 1] : item.mark);
            }
            FileServer::Offer offer{*OfferToken::Make(), "127.0.0.1", {}, {}, {}, {}};
            ASSERT_TRUE(OfferBuilder().Build({root / "out" / item.name}, offer, error)) << error;
            server.Add(offer);
            FileFetcher fetcher("127.0.0.1", server.Port(), offer.token, version);
            ASSERT_TRUE(Fetch(fetcher)) << error;
            EXPECT_EQ(fetcher.placedNames, std::vector<std::string>{item.placed});
            EXPECT_TRUE(Read(root / "in" / item.placed) == offered) << "not as offered";
            if (item.mark.empty() && item.held != "/" && !item.before.empty()) {
                EXPECT_EQ(Read(root / "in" / item.before), item.held);
            }
            const bool resumable = item.mark == "ours" && offered.starts_with(item.held);
            EXPECT_EQ(fetcher.resumedBytes, resumable ? item.held.size() : 0u);
        }
    }
}

// The list leaves before the files are read. A FILES/1 list, which carries
// the digests, waits for them; a FILES/2 file takes its name only once its
// digest has come after its bytes.
TEST_F(Transfer, ListsLeaveBeforeTheDigestsWhichFollowTheFiles) {
    const std::string bytes = Bytes(100'000, 7);
    Write(root / "out/a.bin", bytes);
    ASSERT_TRUE(server.Open(0, error)) << error;
    FileServer::Offer offer{*OfferToken::Make(), "127.0.0.1", {}, {}, {}, {}};
    ASSERT_TRUE(OfferBuilder().Build({root / "out/a.bin"}, offer, error)) << error;
    EXPECT_TRUE(offer.manifest.entries[0].digest.empty());
    offer.digests = std::make_shared<OfferDigests>(offer.manifest, offer.sources); // not started
    server.Add(offer);
    FileFetcher current("127.0.0.1", server.Port(), offer.token);
    const auto listed = current.List(error);
    ASSERT_TRUE(listed) << error;
    std::optional<FileManifest> older;
    std::atomic<bool> olderListed{false}, fetched{false};
    std::thread asking([&] {
        std::string olderError;
        older = FileFetcher("127.0.0.1", server.Port(), offer.token, 1).List(olderError);
        olderListed = true;
    });
    std::thread fetching([&] { fetched = current.Fetch(*listed, root / "in", error); });
    QTest::qWait(300);
    EXPECT_FALSE(olderListed);
    EXPECT_FALSE(fs::exists(root / "in/a.bin"));
    offer.digests->Start();
    asking.join();
    fetching.join();
    ASSERT_TRUE(older);
    EXPECT_EQ(older->entries[0].digest, DigestOf(bytes));
    EXPECT_TRUE(fetched) << error;
    EXPECT_EQ(Read(root / "in/a.bin"), bytes);
    // A file that changed after it was listed has no digest to serve.
    Write(root / "out/a.bin", Bytes(100'000, 9));
    OfferDigests changed(offer.manifest, offer.sources);
    changed.Start();
    EXPECT_FALSE(changed.Wait(0, std::atomic<bool>{false}));
}

TEST_F(Transfer, RenamesNeverReplaceANameWithOrWithoutTheFileSystemsHelp) {
    for (const bool noReplaceFlag : {true, false}) {
        for (const bool folder : {false, true}) {
            for (const std::string taken : {"file", "empty folder"}) {
                SCOPED_TRACE(std::to_string(noReplaceFlag) +
                             (folder ? " folder over " : " file over ") + taken);
                fs::remove_all(root / "in");
                Write(root / (folder ? "in/from/x" : "in/from"), "new");
                if (taken == "file") {
                    Write(root / "in/taken", "old");
                } else {
                    fs::create_directories(root / "in/taken");
                }
                BeneathFolder beneath(root / "in");
                beneath.noReplaceFlag = noReplaceFlag;
                EXPECT_FALSE(beneath.Rename("from", "taken"));
                EXPECT_EQ(errno, EEXIST);
                EXPECT_TRUE(beneath.Rename("from", "free"));
                EXPECT_EQ(Tree(root / "in"),
                          (std::set<std::string>{"taken", "free", folder ? "free/x" : "free"}));
                EXPECT_EQ(fs::is_directory(root / "in/taken") ? "" : Read(root / "in/taken"),
                          taken == "file" ? "old" : "");
                EXPECT_EQ(Read(root / (folder ? "in/free/x" : "in/free")), "new");
            }
        }
    }
}

TEST_F(Transfer, OffersServeOnlyTheirOwnHostWhileTheyLive) {
    Write(root / "out/a", "a");
    ASSERT_TRUE(server.Open(0, error)) << error;
    FileServer::Offer mine{*OfferToken::Make(), "127.0.0.1", {}, {}, {}, {}}, other = mine;
    OfferBuilder().Build({root / "out/a"}, mine, error);
    other.token = *OfferToken::Make();
    other.recipient = "127.0.0.9";
    server.Add(other);
    EXPECT_FALSE(Fetch(other.token));
    EXPECT_NE(error.find("without answering"), std::string::npos) << error;
    server.Add(mine);
    EXPECT_FALSE(Fetch(other.token));
    EXPECT_NE(error.find("offer was made to another host"), std::string::npos) << error;
    server.Withdraw(mine.token);
    EXPECT_FALSE(Fetch(mine.token));
    EXPECT_NE(error.find("without answering"), std::string::npos) << error;
    EXPECT_EQ(Tree(root / "in"), std::set<std::string>{});
}

using namespace std::chrono_literals;

// A file is served only while it is the very file that was offered, reached
// from the folder that held it then, and never through a link.
TEST_F(Transfer, OfferedFilesAreServedOnlyAsTheyWereOffered) {
    const fs::path out = root / "out", photo = out / "Photos/a.jpg";
    const struct {
        const char* change;
        std::function<void()> make;
    } changes[] = {
        {"folder swapped for a link",
         [&] {
             fs::rename(out / "Photos", out / "M");
             fs::create_directory_symlink("M", out / "Photos");
         }},
        {"replaced by a copy",
         [&] {
             fs::copy_file(photo, out / "c");
             fs::rename(out / "c", photo);
         }},
        {"modified", [&] { fs::last_write_time(photo, fs::last_write_time(photo) + 1s); }},
        {"a pipe in its place", [&] {
             fs::remove(photo);
             ::mkfifo(photo.c_str(), 0600);
         }}};
    ASSERT_TRUE(server.Open(0, error)) << error;
    for (const auto& change : changes) {
        SCOPED_TRACE(change.change);
        fs::remove_all(out);
        Write(photo, "photo");
        FileServer::Offer offer{*OfferToken::Make(), "127.0.0.1", {}, {}, {}, {}};
        ASSERT_TRUE(OfferBuilder().Build({out / "Photos"}, offer, error)) << error;
        server.Add(offer);
        change.make();
        EXPECT_FALSE(Fetch(offer.token));
        EXPECT_NE(error.find("changed or went away"), std::string::npos) << error;
    }
}

// An offer of `file` as it is now, with a made-up digest: serving never checks
// it, and hashing gigabytes would take seconds.
FileServer::Offer Unhashed(const fs::path& file, const char* recipient = "127.0.0.1") {
    struct stat status {};
    ::stat(file.c_str(), &status);
    FileServer::Offer offer{*OfferToken::Make(), recipient, {}, {}, {}, {}};
    offer.manifest.entries.push_back(
        {false, static_cast<std::uint64_t>(status.st_size), std::string(64, '0'), file.filename()});
    offer.sources.push_back(
        {OfferedFolder::Open(file.parent_path()), file.filename(), FileStamp::Of(status)});
    return offer;
}

std::string Get(const FileServer::Offer& offer, std::uint64_t offset) {
    return "GET " + offer.token + " 0 " + std::to_string(offset) + ' ' + std::string(64, '0') +
           '\n';
}

// A connection from `from` (on the loopback network) that has sent `line`.
int Ask(int port, const std::string& line, const char* from = "127.0.0.1") {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = LoopbackAddress(from, 0), server = LoopbackAddress("127.0.0.1", port);
    ::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    ::connect(socket, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    const timeval wait{5, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::send(socket, line.data(), line.size(), MSG_NOSIGNAL);
    return socket;
}

std::string FirstLine(int socket) {
    std::string line;
    for (char byte; ::recv(socket, &byte, 1, 0) == 1 && byte != '\n';) {
        line += byte;
    }
    return line;
}

// True when the other end closes `socket` within 5 s, after what it sent.
bool ReadsToEnd(int socket) {
    static char sink[1 << 16];
    ssize_t got;
    while ((got = ::recv(socket, sink, sizeof sink, 0)) > 0) {
    }
    return got == 0 || errno == ECONNRESET;
}

bool OpenHere(const fs::path& file) {
    std::error_code ignored;
    const fs::directory_iterator open("/proc/self/fd");
    return std::any_of(begin(open), end(open), [&](const auto& entry) {
        return fs::read_symlink(entry.path(), ignored) == file;
    });
}

// Withdraw (after RECEIVED, DECLINE or a cancel) and quitting end what is
// served from an offer at once, even while the digest of the held bytes runs
// over gigabytes, and end nothing else.
TEST_F(Transfer, WithdrawAndQuitEndServingAtOnceAndNothingElse) {
    const fs::path big = root / "out/big.bin";
    Write(big, "");
    fs::resize_file(big, 8ull << 30);
    {
        // A socket given the number of a serving that ended is not cut.
        FileServer ended;
        ASSERT_TRUE(ended.Open(0, error)) << error;
        const FileServer::Offer offer = Unhashed(big);
        ended.Add(offer);
        const int listed = Ask(ended.Port(), "LIST " + offer.token + '\n');
        EXPECT_TRUE(ReadsToEnd(listed));
        ::close(listed);
        int pairs[8][2];
        for (auto& pair : pairs) {
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        }
        ended.Withdraw(offer.token);
        for (auto& pair : pairs) {
            EXPECT_EQ(::send(pair[0], "x", 1, MSG_NOSIGNAL), 1);
            ::close(pair[0]);
            ::close(pair[1]);
        }
    }
    const std::tuple<const char*, std::uint64_t, bool> cases[] = {
        {"withdrawn while hashing", (8ull << 30) - 1, false}, // offset: hashed first
        {"withdrawn while sending", 0, false},
        {"quit while hashing", (8ull << 30) - 1, true},
        {"quit while sending", 0, true}};
    for (const auto& [when, offset, quit] : cases) {
        SCOPED_TRACE(when);
        auto serving = std::make_unique<FileServer>();
        ASSERT_TRUE(serving->Open(0, error)) << error;
        const FileServer::Offer offer = Unhashed(big), kept = Unhashed(big);
        serving->Add(offer);
        serving->Add(kept);
        const int asked = Ask(serving->Port(), Get(offer, offset));
        ASSERT_TRUE(QTest::qWaitFor([&] { return OpenHere(big); }));
        const auto started = std::chrono::steady_clock::now();
        quit ? serving.reset() : serving->Withdraw(offer.token);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !OpenHere(big); }, 1000));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        EXPECT_TRUE(ReadsToEnd(asked));
        ::close(asked);
        if (serving != nullptr) {
            const int again = Ask(serving->Port(), Get(offer, 0));
            EXPECT_EQ(FirstLine(again), "ERR this offer has ended or never existed");
            ::close(again);
        }
    }
}

std::uint64_t BytesReadHere() {
    std::ifstream io("/proc/self/io");
    std::string name;
    std::uint64_t count = 0;
    while (io >> name >> count && name != "rchar:") {
    }
    return count;
}

// A receiver's resume is checked from what the sender read already: the
// whole digest, or the state kept each 64 MiB; beyond the offer's budget
// the held bytes go unchecked, and the file starts over.
TEST_F(Transfer, ResumeChecksReadLittleAndWithinABudget) {
    const fs::path big = root / "out/big.bin";
    Write(big, "start");
    fs::resize_file(big, 96 << 20);
    FileServer::Offer offer{*OfferToken::Make(), "127.0.0.1", {}, {}, {}, {}};
    ASSERT_TRUE(OfferBuilder().Build({big}, offer, error)) << error;
    offer.digests = std::make_shared<OfferDigests>(offer.manifest, offer.sources, 64 << 20);
    offer.digests->Start();
    ASSERT_TRUE(server.Open(0, error)) << error;
    server.Add(offer);
    const std::atomic<bool> never{false};
    const std::uint64_t size = 96 << 20, held = size - 1;
    const std::string whole = offer.digests->Wait(0, never).value_or("");
    Sha256 hash;
    const int file = ::open(big.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(hash.AddFile(file, held));
    ::close(file);
    const std::string start = hash.Finish();
    const std::uint64_t before = BytesReadHere();
    std::vector<std::string> answers;
    for (int ask = 0; ask < 8; ++ask) {
        const std::uint64_t offset = ask < 4 ? size : held;
        const int asked = Ask(server.Port(), "GET " + offer.token + " 0 " + std::to_string(offset) +
                                                 ' ' + (ask < 4 ? whole : start) + '\n');
        answers.push_back(FirstLine(asked));
        ::close(asked);
    }
    // Two checks of 32 MiB each fill the budget; the rest is what the FROM 0
    // answers sent before their connections closed (each check from the
    // start would read 96 MiB).
    EXPECT_LT(BytesReadHere() - before, 128u << 20);
    const std::string resumed = "FROM " + std::to_string(held),
                      ended = "FROM " + std::to_string(size);
    EXPECT_EQ(answers, (std::vector<std::string>{ended, ended, ended, ended, resumed, resumed,
                                                 "FROM 0", "FROM 0"}));
}

// Beyond its limits the server answers at once instead of starting a thread.
TEST_F(Transfer, ServingsAreBoundedPerHostAndInAll) {
    const fs::path big = root / "out/big.bin";
    Write(big, "");
    fs::resize_file(big, 1ull << 30);
    FileServer bounded({.servingsPerHost = 2, .servings = 3});
    ASSERT_TRUE(bounded.Open(0, error)) << error;
    const FileServer::Offer offers[] = {Unhashed(big, "127.0.0.1"), Unhashed(big, "127.0.0.2")};
    bounded.Add(offers[0]);
    bounded.Add(offers[1]);
    // Who asks, and how the answer starts.
    const std::pair<int, std::string> asks[] = {
        {0, "FROM 0"},
        {0, "FROM 0"},
        {0, "ERR the sending computer is already sending 2 files to this one"},
        {1, "FROM 0"},
        {1, "ERR the sending computer is sending as many files as it can"}};
    std::vector<int> stalled; // they never read the file
    for (const auto& [host, answer] : asks) {
        stalled.push_back(
            Ask(bounded.Port(), Get(offers[host], 0), offers[host].recipient.c_str()));
        EXPECT_EQ(FirstLine(stalled.back()).substr(0, answer.size()), answer);
    }
    std::for_each(stalled.begin(), stalled.end(), ::close);
}

// Before its request line a host holds a connection only a few at a time,
// until the line's deadline, and while it holds an offer.
TEST_F(Transfer, ConnectionsWithoutARequestAreBoundedAndGo) {
    Write(root / "out/a", "a");
    const FileServer::Offer first = Unhashed(root / "out/a"), second = Unhashed(root / "out/a");
    {
        // Room for all eight lists below, however late their threads end.
        FileServer lasting({.servingsPerHost = 8, .waitingPerHost = 2, .requestDeadline = 60s});
        ASSERT_TRUE(lasting.Open(0, error)) << error;
        lasting.Add(first);
        lasting.Add(second);
        lasting.Add(Unhashed(root / "out/a", "127.0.0.2"));
        // Bytes after the line that arrive apart from it belong to no connection.
        std::string trailed = "LIST " + first.token + '\n';
        trailed.resize(PORT_BUFFER_SIZE, ' ');
        for (int round = 0; round < 8; ++round) {
            const int listed = Ask(lasting.Port(), trailed + "tail");
            EXPECT_EQ(FirstLine(listed), "OK 1");
            ::close(listed);
        }
        const int idle[] = {Ask(lasting.Port(), ""), Ask(lasting.Port(), ""),
                            Ask(lasting.Port(), "")};
        EXPECT_TRUE(ReadsToEnd(idle[2]));
        EXPECT_EQ(lasting.WaitingConnections(), 2u);
        lasting.Withdraw(first.token);
        EXPECT_EQ(lasting.WaitingConnections(), 2u);
        lasting.Withdraw(second.token);
        EXPECT_TRUE(ReadsToEnd(idle[0]) && ReadsToEnd(idle[1]));
        std::for_each(std::begin(idle), std::end(idle), ::close);
    }
    FileServer hasty({.requestDeadline = 200ms});
    ASSERT_TRUE(hasty.Open(0, error)) << error;
    hasty.Add(first);
    const int late[] = {Ask(hasty.Port(), ""), Ask(hasty.Port(), "LIST ")};
    EXPECT_TRUE(ReadsToEnd(late[0]) && ReadsToEnd(late[1]));
    EXPECT_EQ(hasty.WaitingConnections(), 0u);
    std::for_each(std::begin(late), std::end(late), ::close);
}

// A sender that answers LIST with `list` and GET with `file`, then waits
// `linger` before it closes; it sends the answer to the request that starts
// with `slow` a byte at a time, `pace` apart. A FILES/2 session gets `list`,
// then `file` for its first GET.

struct FakeSender {
    FakeSender(std::string list, std::string file, std::chrono::milliseconds linger, char slow,
               std::chrono::milliseconds pace = 300ms) {
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
                if (request[0] == 'F' && ::send(connection, list.data(), list.size(), 0) > 0) {
                    ::recv(connection, request, sizeof request, 0);
                }
                const std::string& reply = request[0] == 'L' ? list : file;
                for (std::size_t at = 0, step = request[0] == slow ? 1 : reply.size();
                     at < reply.size() &&
                     ::send(connection, reply.data() + at, step, MSG_NOSIGNAL) > 0;
                     at += step) {
                    std::this_thread::sleep_for(request[0] == slow ? pace : 0ms);
                }
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
    const std::string good = "OK 1\nF 10 " + digest + " f\n", good2 = "OK 1\nF 10 f\n";
    const struct {
        std::string list, file;
        std::chrono::milliseconds linger;
        char slow;
        std::string error, part; // part: what f.part holds afterwards
        int version = 1;
    } cases[] = {
        {"OK 2\nF 1 " + digest + " ../f\n", "", 0ms, 0, "\"../f\" is refused", "-"},
        {"OK 1\nF 1 " + digest + " /etc/f\n", "", 0ms, 0, "absolute path", "-"},
        {"OK 2\nD d\nF 1 " + digest + " d/..\n", "", 0ms, 0, "leads out", "-"},
        {"OK 1\nF 1152921504606846976 " + digest + " f\n", "", 0ms, 0, "more bytes, but the disk",
         "-"},
        {good, "FROM 0\n01234", 0ms, 0, "was cut off after 5 of 10 bytes", "01234"},
        {good, "FROM 0\n" + std::string(5, 0), 0ms, 0, "was cut off after 5 of 10",
         std::string(5, 0)},
        {good, "FROM 0\n0123456789x", 0ms, 0, "sent more bytes of \"f\" than it offered",
         "0123456789"},
        {good, "FROM 0\n0123456780", 0ms, 0, "SHA-256 differs", "-"},
        {good, "FROM 0\n012", 1500ms, 0, "stalled: nothing came for 1 s after 3 of 10", "012"},
        {good, "ERR no more", 0ms, 0, "in the middle of a line", "-"},
        {good, "", 0ms, 'L', "within the 2 s it may take", "-"},
        {good, "FROM 0\n0123456789", 0ms, 'G', "within the 2 s it may take", "-"},
        {good, "", 0ms, 0, "malformed list", "-", 2},
        {good2, "FROM 0\n0123456789SHA " + DigestOf("x") + "\n", 0ms, 0, "SHA-256 differs", "-", 2},
        {good2, "FROM 0\n0123456789x\n", 0ms, 0, "does not know", "0123456789", 2},
        {good2, "FROM 0\n0123456789", 3000ms, 0, "its SHA-256 did not: 127.0.0.1 was too slow",
         "0123456789", 2},
        {good2, "FROM 0\n0123456789SHA " + digest + "\n", 0ms, 'G', "within the 2 s", "-", 2},
    };
    const FileFetcher::Limits limits{.stall = 1s, .overall = 2s, .perFile = 100ms};
    for (const auto& hostile : cases) {
        SCOPED_TRACE(hostile.error);
        FakeSender sender(hostile.list, hostile.file, hostile.linger, hostile.slow);
        FileFetcher fetcher("127.0.0.1", sender.port, std::string(32, 'a'), hostile.version,
                            limits);
        EXPECT_FALSE(Fetch(fetcher));
        EXPECT_NE(error.find(hostile.error), std::string::npos) << error;
        EXPECT_EQ(Tree(root).size(), 1u + (hostile.part != "-")) << "in/, and f.part at most";
        if (hostile.part != "-") {
            EXPECT_EQ(Read(root / "in/f.part"), hostile.part);
        }
        fs::remove(root / "in/f.part");
    }
    // Files that each come in time cannot add up to more than the transfer's.
    const std::string none = "FROM 0\nSHA " + DigestOf("") + "\n";
    FakeSender trickling("OK 3\nF 0 a\nF 0 b\nF 0 c\n", none + none + none, 0ms, 'G', 20ms);
    FileFetcher held("127.0.0.1", trickling.port, std::string(32, 'a'), 2, limits);
    EXPECT_FALSE(Fetch(held));
    EXPECT_NE(error.find("did not finish within the 2 s"), std::string::npos) << error;
    FakeSender sender(good, "", 0ms, 0);
    EXPECT_FALSE(FileFetcher("127.0.0.1", sender.port, std::string(32, 'a'), 1).List(error, 2));
    EXPECT_NE(error.find("list says 1 entries, its notice said 2"), std::string::npos) << error;
}

TEST_F(Transfer, LargeFilesAreWrittenAndHashedWhileTheyComeAndFailAsOthersDo) {
    const std::string bytes = Bytes(5 << 20, 3), part = bytes.substr(0, 9 << 19);
    const std::string list = "OK 1\nF " + std::to_string(bytes.size()) + " f\n";
    const FileFetcher::Limits limits{.stall = 10s, .overall = 20s};
    const auto fetch = [&](const std::string& reply, std::chrono::milliseconds linger = 0ms) {
        FakeSender sender(list, "FROM 0\n" + reply, linger, 0);
        FileFetcher fetcher("127.0.0.1", sender.port, std::string(32, 'a'), 2, limits);
        // With a linger, cancelled once the bytes sent are written.
        std::atomic<bool> ended{false};
        auto cancelled = std::chrono::steady_clock::now();
        std::thread canceller([&] {
            while (linger > 0ms && !ended && fetcher.doneBytes < part.size()) {
                std::this_thread::sleep_for(10ms);
            }
            cancelled = std::chrono::steady_clock::now();
            if (linger > 0ms) {
                fetcher.Cancel();
            }
        });
        const bool fetched = Fetch(fetcher);
        ended = true;
        canceller.join();
        EXPECT_TRUE(linger == 0ms || std::chrono::steady_clock::now() - cancelled < 1s)
            << "Cancel waits for nobody";
        return fetched;
    };
    EXPECT_TRUE(fetch(bytes + "SHA " + DigestOf(bytes) + "\n")) << error;
    EXPECT_EQ(Read(root / "in/f"), bytes);
    fs::remove(root / "in/f");
    EXPECT_FALSE(fetch(bytes + "SHA " + DigestOf("x") + "\n"));
    EXPECT_NE(error.find("SHA-256 differs"), std::string::npos) << error;
    EXPECT_EQ(Tree(root / "in").size(), 0u);
    EXPECT_FALSE(fetch(part));
    EXPECT_NE(error.find("cut off after 4718592 of 5242880"), std::string::npos) << error;
    EXPECT_EQ(Read(root / "in/f.part"), part);
    fs::remove(root / "in/f.part");
    EXPECT_FALSE(fetch(part, 3s));
    EXPECT_NE(error.find("Cancelled"), std::string::npos) << error;
    EXPECT_EQ(Read(root / "in/f.part"), part);
}

TEST_F(Transfer, PrivateSessionsServeOnlyTheKeyTheOfferIsBoundTo) {
    const auto identity = KeyPair::Generate(), recipient = KeyPair::Generate(),
               stranger = KeyPair::Generate();
    const std::string big = Bytes(5'000'000, 4), small = Bytes(3'000, 5);
    Write(root / "out/Photos/big.bin", big);
    Write(root / "out/Photos/small.txt", small);
    ASSERT_TRUE(server.Open(0, error, identity)) << error;
    FileServer::Offer offer{*OfferToken::Make(), "127.0.0.1", {}, {}, {}, recipient->Public()};
    ASSERT_TRUE(OfferBuilder().Build({root / "out/Photos"}, offer, error)) << error;
    server.Add(offer);
    const auto fetch = [&](const KeyPair& mine, const PublicKey& theirs) {
        FileFetcher fetcher("127.0.0.1", server.Port(), offer.token, {mine, theirs}, {});
        return Fetch(fetcher);
    };
    EXPECT_FALSE(fetch(*stranger, identity->Public()));
    EXPECT_NE(error.find("says: this offer was made to another key"), std::string::npos) << error;
    EXPECT_FALSE(fetch(*recipient, stranger->Public()));
    EXPECT_NE(error.find("127.0.0.1 is not the one that offered the files"), std::string::npos);
    EXPECT_FALSE(Fetch(offer.token));
    EXPECT_NE(error.find("says: this offer must be fetched privately"), std::string::npos) << error;
    ASSERT_TRUE(fetch(*recipient, identity->Public())) << error;
    EXPECT_EQ(Read(root / "in/Photos/big.bin"), big);
    EXPECT_EQ(Read(root / "in/Photos/small.txt"), small);
    EXPECT_EQ(server.SentBytes(offer.token), big.size() + small.size());
    // A first handshake frame of another size ends the connection unanswered.
    const int forged = Ask(server.Port(), "FILES/3\n" + std::string("\0\x21", 2) + Bytes(33, 5));
    EXPECT_EQ(FirstLine(forged), "");
    EXPECT_TRUE(ReadsToEnd(forged));
    ::close(forged);
}

} // namespace
} // namespace kestrane::test
