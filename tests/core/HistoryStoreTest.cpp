#include "core/history/HistoryStore.h"

#include "core/history/HistoryListing.h"
#include "core/threads/UiBridge.h"
#include "tests/support/HistoryFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <array>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrane::test {
namespace {

using namespace std::chrono_literals;

// A store on `folder` with what its hooks were given.
struct Store {
    explicit Store(const QString& folder, HistoryStore::Limits limits = {})
        : store(folder, limits, context,
                {[this](const auto& what) { restored = what, opened = true; },
                 [this](const QString& note) { notes << note; }, [count = written] { ++*count; }}) {
    }
    void Open() {
        store.Open();
        ASSERT_TRUE(QTest::qWaitFor([this] { return opened; }, 10000));
    }
    QObject context;
    bool opened = false;
    HistoryStore::Restored restored;
    QStringList notes;
    std::shared_ptr<int> written = std::make_shared<int>(0); // outlives the store
    HistoryStore store;
};

// Runs `sql` (statements split at ';') on its own connection; the first
// column of the last statement's rows.
QStringList Sql(const QString& name, const QString& sql, const QString& options = {}) {
    QStringList column;
    {
        auto database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("t"));
        database.setDatabaseName(name);
        database.setConnectOptions(options);
        EXPECT_TRUE(database.open());
        QSqlQuery query(database);
        for (const auto& statement : sql.split(';')) {
            EXPECT_TRUE(query.exec(statement)) << query.lastError().text().toStdString();
        }
        while (query.next()) {
            column << query.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("t"));
    return column;
}

QStringList Texts(const HistoryStore& store) {
    const auto access = store.Access();
    return Sql(access.databaseName, "SELECT text FROM history ORDER BY id", access.connectOptions);
}

HistoryRecord Line(const QString& text, bool unread = false, std::int64_t atMs = 0) {
    HistoryRecord line;
    line.peer = "PC2", line.address = "10.0.0.2", line.text = text, line.unread = unread;
    line.atMs = atMs ? atMs : QDateTime::currentMSecsSinceEpoch();
    return line;
}

auto Fields(const HistoryRecord& r) {
    return std::tuple(r.id, r.atMs, r.kind, r.outgoing, r.toEverybody, r.peer, r.address, r.text,
                      r.delivery, r.detail, r.unread, r.inOutbox, r.receiptId, r.trust);
}

// The state of each record `kestrane --history` lists from the file at `path`.
QStringList ListedStates(const QString& path) {
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(HistoryListing::Print(path, {}, out, stderr), 0);
    std::rewind(out);
    QStringList states;
    for (std::array<char, 4096> row{}; std::fgets(row.data(), row.size(), out) != nullptr;) {
        states << QString::fromUtf8(row.data()).section('\t', 4, 4);
    }
    std::fclose(out);
    return states;
}

QByteArray Bytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("none");
}

TEST(HistoryStoreTest, RestoresUnreadAndOutboxWithEveryField) {
    QTemporaryDir top;
    const QString folder = top.filePath("kestrane");
    HistoryRecord unread = Line("a.txt\nb.txt", true, 1700000000123);
    unread.kind = HistoryRecord::Kind::FileOffer;
    unread.toEverybody = true;
    unread.trust = LineTrust::NewKey;
    HistoryRecord sent = Line("hi ' \"x\"\r\n", false, 1700000000456);
    sent.outgoing = true;
    sent.receiptId = "r-1";
    {
        Store first(folder);
        first.Open();
        unread.id = first.store.Append(unread);
        sent.id = first.store.Append(sent);
        const auto read = first.store.Append(Line("read", true));
        first.store.SetDelivery(sent.id, sent.delivery = HistoryRecord::Delivery::NotDelivered,
                                sent.inOutbox = true);
        first.store.SetDetail(unread.id, unread.detail = "declined");
        first.store.SetRead(read);
        ASSERT_TRUE(first.store.Flush(5s));
        for (const auto& [path, mode] : {std::pair{folder, 0x700},
                                         {first.store.Path(), 0x600},
                                         {first.store.Path() + "-wal", 0x600}}) {
            // Qt gives the mode bits as hexadecimal digits: 0600 is 0x600.
            EXPECT_EQ(QFile::permissions(path) & 0x777, mode) << path.toStdString();
        }
        EXPECT_TRUE(first.notes.isEmpty());
    }
    // Records written after the clock went back: an id given before the file
    // is open that is not above its largest is renumbered, and followed.
    const qint64 future = QDateTime::currentMSecsSinceEpoch() * 1000 + 3'600'000'000;
    Sql(folder + "/history.db",
        QStringLiteral(
            "INSERT INTO history SELECT %1, at_ms, kind, outgoing, "
            "to_everybody, peer, address, 'later', 0, '', 0, 0, '', 0 FROM history WHERE "
            "text = 'read'")
            .arg(future));
    QFile::setPermissions(folder + "/history.db", QFile::Permissions::fromInt(0x6644)); // 0644
    Store second(folder);
    const auto early = second.store.Append(Line("early", true));
    second.store.SetRead(early);
    second.Open();
    ASSERT_EQ(second.restored.unread.size(), 1);
    ASSERT_EQ(second.restored.outbox.size(), 1);
    EXPECT_EQ(QFile::permissions(second.store.Path()) & 0x777, 0x600);
    EXPECT_EQ(Fields(second.restored.unread[0]), Fields(unread));
    EXPECT_EQ(Fields(second.restored.outbox[0]), Fields(sent));
    EXPECT_GT(second.store.Append(Line("next")), future + 1);
    ASSERT_TRUE(second.store.Flush(5s));
    EXPECT_EQ(Texts(second.store).mid(3), QStringList({"later", "early", "next"}));
    EXPECT_EQ(Sql(second.store.Path(), "SELECT unread FROM history WHERE text = 'early'"),
              QStringList("0"));
}

// Files of earlier schemas are brought up to date. The first knew to_everybody
// only for lines that went; its lines that came count as to everybody, since
// nobody knows whom they were for. The first two indexed whole words for the
// search: the index is made anew, of every part of a word, lines written
// after included. None kept the trust of a line: old lines read Unknown.
TEST(HistoryStoreTest, AFileOfAnEarlierSchemaIsBroughtUpToDate) {
    const std::pair<int, QStringList> cases[] = {{1, {"1", "0", "1"}}, {2, {"0", "0", "0"}}};
    for (const auto& [version, toEverybody] : cases) {
        SCOPED_TRACE(version);
        QTemporaryDir top;
        // Made moments ago: the store keeps what is younger than its days.
        ASSERT_TRUE(MakeHistoryFile(
            top.filePath("history.db"), 3, QDateTime::currentMSecsSinceEpoch() - 600000,
            {"UPDATE history SET to_everybody = 0", "UPDATE history SET outgoing = 1 WHERE id = 2",
             "DROP INDEX history_peer", "DROP TABLE history_search",
             "CREATE VIRTUAL TABLE history_search USING fts5(peer, text, content='history', "
             "content_rowid='id', tokenize='unicode61 remove_diacritics 2')",
             "INSERT INTO history_search(history_search) VALUES('rebuild')",
             "UPDATE history SET trust = 3", "ALTER TABLE history DROP COLUMN trust",
             QString("PRAGMA user_version = %1").arg(version)}));
        EXPECT_EQ(ListedStates(top.filePath("history.db")),
                  QStringList({"read", "no-receipts", "read"}));
        Store store(top.path());
        store.Open();
        HistoryRecord lunch = Line("lunch");
        lunch.trust = LineTrust::Verified;
        store.store.Append(lunch);
        ASSERT_TRUE(store.store.Flush(5s));
        EXPECT_TRUE(store.notes.isEmpty()) << store.notes.join('|').toStdString();
        const QString path = store.store.Path();
        EXPECT_EQ(Sql(path, "SELECT to_everybody FROM history WHERE id <= 3 ORDER BY id"),
                  toEverybody);
        EXPECT_EQ(Sql(path, "SELECT count(*) FROM history_search('ine OR unch')"),
                  QStringList("4"));
        EXPECT_EQ(Sql(path, "SELECT name FROM pragma_index_list('history') WHERE name = "
                            "'history_peer'"),
                  QStringList("history_peer"));
        EXPECT_EQ(Sql(path, "SELECT trust FROM history ORDER BY id"),
                  QStringList({"0", "0", "0", "4"}));
        EXPECT_EQ(ListedStates(path),
                  QStringList({"read", "no-receipts", "read", "read,verified"}));
        EXPECT_EQ(Sql(path, "PRAGMA user_version"), QStringList("4"));
    }
}

// The context's thread never runs its loop while the writer tells of a write
// after each flush, until the writer waits for it (see UiBridge::Post).
// Destroying the store then neither deadlocks nor runs a hook afterwards, and
// still writes what waits.
TEST(HistoryStoreTest, DestroyedWhileHooksBackUpWritesWhatWaitsAndRunsNoHookLater) {
    QTemporaryDir folder;
    std::shared_ptr<int> written;
    int before = 0;
    {
        Store store(folder.path());
        store.Open();
        written = store.written;
        before = *written;
        for (std::size_t line = 0; line <= UiBridge::kPostCeiling; ++line) {
            store.store.Append(Line("flushed"));
            ASSERT_TRUE(store.store.Flush(5s));
        }
        store.store.Append(Line("last"));
    }
    bool marker = false;
    QTimer::singleShot(0, [&] { marker = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return marker; }));
    EXPECT_EQ(*written, before);
    const auto kept =
        Sql(folder.filePath("history.db"), "SELECT text FROM history ORDER BY id DESC");
    EXPECT_EQ(kept.size(), static_cast<qsizetype>(UiBridge::kPostCeiling) + 2);
    EXPECT_EQ(kept.value(0).toStdString(), "last");
}

TEST(HistoryStoreTest, MovesADamagedFileAsideAndStartsAfresh) {
    QTemporaryDir folder;
    QByteArray junk(4096, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(junk.data()), 1024);
    QFile file(folder.filePath("history.db"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(junk) == junk.size() && file.flush());
    Store store(folder.path());
    store.Open();
    ASSERT_EQ(store.notes.size(), 1);
    const auto moved = QDir(folder.path()).entryList({"history.db.damaged-*"});
    ASSERT_EQ(moved.size(), 1);
    EXPECT_TRUE(store.notes[0].contains(folder.filePath(moved[0])));
    EXPECT_EQ(Bytes(folder.filePath(moved[0])), junk);
    store.store.Append(Line("fresh"));
    ASSERT_TRUE(store.store.Flush(5s));
    EXPECT_EQ(Texts(store.store), QStringList("fresh"));
}

// Run in a child of its own, with a 1 MiB tmpfs over the folder in a mount
// namespace of its own (the parent cannot unshare one: it has threads).
TEST(HistoryStoreTest, KeepsChangesWhileTheDiskIsFull) {
    const char* small = std::getenv("KESTRANE_SMALL_DISK");
    if (small == nullptr) {
        if (geteuid() != 0) {
            GTEST_SKIP() << "mounting a small disk needs root";
        }
        QTemporaryDir folder;
        const QByteArray path = QFile::encodeName(folder.path());
        const QByteArray variable = "KESTRANE_SMALL_DISK=" + path;
        char* const arguments[] = {
            const_cast<char*>("kestrane_tests"),
            const_cast<char*>("--gtest_filter=*KeepsChangesWhileTheDiskIsFull"), nullptr};
        std::vector<char*> environment{const_cast<char*>(variable.constData())};
        for (char** each = environ; *each != nullptr; ++each) {
            environment.push_back(*each);
        }
        environment.push_back(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            if (unshare(CLONE_NEWNS) == 0 &&
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                mount("tmpfs", path.constData(), "tmpfs", 0, "size=1m,mode=0700") == 0) {
                execve("/proc/self/exe", arguments, environment.data());
            }
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return;
    }
    Store store(QString::fromLocal8Bit(small));
    store.Open();
    const QByteArray filler = QFile::encodeName(QString::fromLocal8Bit(small) + "/filler");
    const int descriptor = ::open(filler.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const QByteArray block(4096, 'x');
    while (::write(descriptor, block.constData(), block.size()) > 0) {
    }
    ::close(descriptor);
    for (int i = 0; i < 100; ++i) {
        store.store.Append(Line(QString(1000, QChar('a' + i % 26))));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store.notes.isEmpty(); }, 10000));
    store.store.Append(Line("after"));
    ASSERT_EQ(::unlink(filler.constData()), 0);
    ASSERT_TRUE(store.store.Flush(10s));
    EXPECT_EQ(Texts(store.store).size(), 101);
    EXPECT_EQ(store.notes.size(), 1);
}

// What no file can hold goes to memory for the run: the file is left as it
// is, and readers find the new records where Access() sends them.
TEST(HistoryStoreTest, KeepsHistoryInMemoryWhenNoFileCanBeUsed) {
    const std::function<QString(const QTemporaryDir&)> cases[] = {
        [](const QTemporaryDir& top) { // a file from a later version
            Sql(top.filePath("history.db"), "CREATE TABLE later (x); PRAGMA user_version = 5");
            return top.path();
        },
        [](const QTemporaryDir& top) { // a folder that cannot be made
            QFile(top.filePath("plain")).open(QIODevice::WriteOnly);
            return top.filePath("plain/kestrane");
        },
    };
    for (const auto& prepare : cases) {
        QTemporaryDir top;
        const QString folder = prepare(top);
        const auto before = QDir(top.path()).entryList(QDir::Files);
        const QByteArray bytes = Bytes(folder + "/history.db");
        Store store(folder);
        store.Open();
        SCOPED_TRACE(store.store.Access().databaseName.toStdString());
        store.store.Append(Line("kept", true));
        ASSERT_TRUE(store.store.Flush(5s));
        EXPECT_EQ(Texts(store.store), QStringList("kept"));
        EXPECT_EQ(store.notes.size(), 1);
        EXPECT_EQ(QDir(top.path()).entryList(QDir::Files), before);
        EXPECT_EQ(Bytes(folder + "/history.db"), bytes);
    }
}

TEST(HistoryStoreTest, TrimsOrClearsAllButUnreadAndOutbox) {
    const auto old = QDateTime::currentMSecsSinceEpoch() - 3LL * 24 * 3600 * 1000;
    const std::tuple<HistoryStore::Limits, bool, QStringList> rows[] = {
        {{1, std::int64_t{1} << 30}, false, {"old unread", "old outbox", "new"}},
        {{0, 1}, false, {"old unread", "old outbox"}},
        {{0, std::int64_t{1} << 30}, true, {"old unread", "old outbox"}},
    };
    for (const auto& [limits, clear, kept] : rows) {
        SCOPED_TRACE(kept.join(',').toStdString());
        QTemporaryDir folder;
        Store store(folder.path(), {0, std::int64_t{1} << 30});
        store.Open();
        store.store.Append(Line("old", false, old));
        store.store.Append(Line("old unread", true, old));
        const auto outbox = store.store.Append(Line("old outbox", false, old));
        store.store.SetDelivery(outbox, HistoryRecord::Delivery::NotDelivered, true);
        store.store.Append(Line("new"));
        ASSERT_TRUE(store.store.Flush(5s));
        clear ? store.store.Clear() : store.store.SetLimits(limits);
        ASSERT_TRUE(store.store.Flush(5s));
        EXPECT_EQ(Texts(store.store), kept);
    }
}

// About 4 KB of words of one to nine letters, none repeated on purpose: what
// makes the search index largest.
QString Words(std::mt19937& random) {
    QString text;
    while (text.size() < 4000) {
        for (auto letters = 1 + random() % 9; letters > 0; --letters) {
            text += QChar(static_cast<char16_t>('a' + random() % 26));
        }
        text += ' ';
    }
    return text;
}

// Peers at the line budget (100 lines a second of up to 4 KB) under the
// smallest cap: the file and its log, or the database in memory, stay within
// bounds as they are written, and what is unread, in the outbox or newest stays.
TEST(HistoryStoreTest, StaysWithinItsCapUnderAFlood) {
    constexpr std::int64_t kCap = std::int64_t{1} << 20;
    const std::function<QString(const QTemporaryDir&)> cases[] = {
        [](const QTemporaryDir& top) { return top.filePath("kestrane"); },
        [](const QTemporaryDir& top) { // an earlier file, above the cap, that never gave pages back
            const QString path = top.filePath("history.db");
            EXPECT_TRUE(MakeHistoryFile(path, 60000, 1700000000000));
            Sql(path, "PRAGMA auto_vacuum = NONE; VACUUM");
            return top.path();
        },
        [](const QTemporaryDir& top) { // no file: memory
            QFile(top.filePath("plain")).open(QIODevice::WriteOnly);
            return top.filePath("plain/kestrane");
        },
    };
    for (const auto& prepare : cases) {
        QTemporaryDir top;
        Store store(prepare(top), {0, kCap});
        store.Open();
        const QString path = store.store.Path();
        SCOPED_TRACE(store.store.Access().databaseName.toStdString());
        store.store.Append(Line("unread", true));
        const auto outbox = store.store.Append(Line("outbox"));
        store.store.SetDelivery(outbox, HistoryRecord::Delivery::NotDelivered, true);
        std::mt19937 random(1);
        QStringList sent;
        qint64 largestData = 0;
        qint64 largestLog = 0;
        for (int line = 1; line <= 600; ++line) {
            sent << Words(random);
            store.store.Append(Line(sent.back()));
            if (line % 25 == 0) {
                ASSERT_TRUE(store.store.Flush(10s));
                const auto access = store.store.Access();
                const auto pages = Sql(access.databaseName,
                                       "SELECT page_count * page_size FROM pragma_page_count, "
                                       "pragma_page_size",
                                       access.connectOptions);
                largestData = std::max(
                    {largestData, QFileInfo(path).size(), qint64{pages.value(0).toLongLong()}});
                largestLog = std::max(largestLog, QFileInfo(path + "-wal").size());
            }
        }
        EXPECT_LE(largestData, kCap + HistoryStore::kCapMargin);
        EXPECT_LE(largestLog, 2 * HistoryStore::kLogBytes);
        const QStringList kept = Texts(store.store);
        ASSERT_GE(kept.size(), 12);
        EXPECT_EQ(kept.mid(0, 2), QStringList({"unread", "outbox"}));
        EXPECT_EQ(kept.mid(kept.size() - 10), sent.mid(sent.size() - 10));
    }
}

} // namespace
} // namespace kestrane::test
