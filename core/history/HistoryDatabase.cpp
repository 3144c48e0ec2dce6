#include "core/history/HistoryDatabase.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrane {
namespace {

constexpr int kBusyTimeoutMs = 2000;
constexpr int kSchemaVersion = 4;
// The primary result codes of SQLite (Qt's driver may report extended ones,
// whose low byte is the primary code).
constexpr int kSqliteReadOnly = 8;
constexpr int kSqlitePerm = 3;
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteCantOpen = 14;
constexpr int kSqliteNotADatabase = 26;

// The schema, step by step: kMigrations[n] turns version n into version n + 1,
// in one transaction that also sets user_version to n + 1. A file made by an
// earlier program runs the steps from its version on; a new file (version 0)
// runs them all. A later version adds a step at the end and never changes one
// already released. PRAGMA auto_vacuum is set before the first step on a new
// file, since it cannot change once a table exists.
const std::array<std::vector<const char*>, kSchemaVersion> kMigrations = {{
    {
        "CREATE TABLE history (id INTEGER PRIMARY KEY, at_ms INTEGER NOT NULL, "
        "kind INTEGER NOT NULL, outgoing INTEGER NOT NULL, to_everybody INTEGER NOT NULL, "
        "peer TEXT NOT NULL, address TEXT NOT NULL, text TEXT NOT NULL, "
        "delivery INTEGER NOT NULL, detail TEXT NOT NULL, unread INTEGER NOT NULL, "
        "in_outbox INTEGER NOT NULL, receipt_id TEXT NOT NULL)",
        "CREATE INDEX history_at ON history(at_ms)",
        "CREATE INDEX history_waiting ON history(id) WHERE unread OR in_outbox",
        "CREATE VIRTUAL TABLE history_search USING fts5(peer, text, content='history', "
        "content_rowid='id', tokenize='unicode61 remove_diacritics 2')",
        "CREATE TRIGGER history_ai AFTER INSERT ON history BEGIN "
        "INSERT INTO history_search(rowid, peer, text) VALUES (new.id, new.peer, new.text); END",
        "CREATE TRIGGER history_ad AFTER DELETE ON history BEGIN "
        "INSERT INTO history_search(history_search, rowid, peer, text) "
        "VALUES ('delete', old.id, old.peer, old.text); END",
        "CREATE TRIGGER history_au AFTER UPDATE OF peer, text ON history BEGIN "
        "INSERT INTO history_search(history_search, rowid, peer, text) "
        "VALUES ('delete', old.id, old.peer, old.text); "
        "INSERT INTO history_search(rowid, peer, text) VALUES (new.id, new.peer, new.text); END",
    },
    {
        // to_everybody now also tells of a line that came: 0 when it was sent to
        // this host alone. Lines kept before nobody knows, and count as to everybody.
        "UPDATE history SET to_everybody = 1 WHERE NOT outgoing",
    },
    {
        // Lines of one peer, newest last, without reading the whole history.
        "CREATE INDEX history_peer ON history(peer, id)",
        // The search finds any part of a word: an index of every three
        // characters in place of one of whole words.
        "DROP TRIGGER history_ai",
        "DROP TRIGGER history_ad",
        "DROP TRIGGER history_au",
        "DROP TABLE history_search",
        "CREATE VIRTUAL TABLE history_search USING fts5(peer, text, content='history', "
        "content_rowid='id', tokenize='trigram')",
        "CREATE TRIGGER history_ai AFTER INSERT ON history BEGIN "
        "INSERT INTO history_search(rowid, peer, text) VALUES (new.id, new.peer, new.text); END",
        "CREATE TRIGGER history_ad AFTER DELETE ON history BEGIN "
        "INSERT INTO history_search(history_search, rowid, peer, text) "
        "VALUES ('delete', old.id, old.peer, old.text); END",
        "CREATE TRIGGER history_au AFTER UPDATE OF peer, text ON history BEGIN "
        "INSERT INTO history_search(history_search, rowid, peer, text) "
        "VALUES ('delete', old.id, old.peer, old.text); "
        "INSERT INTO history_search(rowid, peer, text) VALUES (new.id, new.peer, new.text); END",
        "INSERT INTO history_search(history_search) VALUES('rebuild')",
    },
    {
        // The LineTrust of a line that came; lines kept before read Unknown.
        "ALTER TABLE history ADD COLUMN trust INTEGER NOT NULL DEFAULT 0",
    },
}};

QString SystemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// What the first bytes of an existing file say, read without SQLite so that a
// file of a later version is not touched at all: its schema version, or -1
// when it is not a database. An empty file is a new one (version 0).
int HeaderVersion(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0; // whatever is wrong, opening it tells
    }
    const QByteArray header = file.read(64);
    if (header.isEmpty()) {
        return 0;
    }
    if (header.size() < 64 || !header.startsWith(QByteArrayLiteral("SQLite format 3\0"))) {
        return -1;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(header.constData()) + 60;
    return static_cast<int>(std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                            std::uint32_t{bytes[2]} << 8 | bytes[3]);
}

} // namespace

HistoryDatabase::HistoryDatabase(Names given) : names(std::move(given)) {}

std::optional<QSqlError> HistoryDatabase::Run(const QSqlDatabase& database, const QString& sql,
                                              const QVariantList& values, QVariant* first) {
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        return query.lastError();
    }
    for (const auto& value : values) {
        query.addBindValue(value);
    }
    if (!query.exec()) {
        return query.lastError();
    }
    if (first != nullptr) {
        *first = query.next() ? query.value(0) : QVariant();
    }
    return std::nullopt;
}

std::optional<QSqlError> HistoryDatabase::Finish(const QSqlDatabase& database,
                                                 std::optional<QSqlError> error) {
    if (!error) {
        error = Run(database, QStringLiteral("COMMIT"));
    }
    if (error) {
        Run(database, QStringLiteral("ROLLBACK"));
    }
    return error;
}

HistoryDatabase::~HistoryDatabase() {
    Close();
}

QString HistoryDatabase::Path() const {
    return QDir(names.folder).filePath(QString::fromLatin1(HistoryStore::kFileName));
}

std::vector<HistoryDatabase::Note> HistoryDatabase::Open() {
    const auto failure = OpenFile();
    if (!failure) {
        return {};
    }
    if (failure->trouble == Trouble::Damaged) {
        return Reopen(Trouble::Damaged, {});
    }
    return OpenMemory(failure->reason);
}

std::vector<HistoryDatabase::Note> HistoryDatabase::Reopen(Trouble trouble,
                                                           const QSqlError& error) {
    Close();
    if (trouble == Trouble::Unusable) {
        return OpenMemory(error.databaseText());
    }
    const QString movedTo = MoveAside();
    if (movedTo.isEmpty()) {
        return OpenMemory(QStringLiteral("it is damaged and cannot be moved aside"));
    }
    std::vector<Note> notes{
        {Trouble::Damaged, QStringLiteral("The history file was damaged; it was moved to %1 "
                                          "and a new one was started.")
                               .arg(movedTo)}};
    if (auto failure = OpenFile()) {
        auto more = OpenMemory(failure->reason);
        notes.insert(notes.end(), more.begin(), more.end());
    }
    return notes;
}

std::optional<HistoryDatabase::Failure> HistoryDatabase::OpenFile() {
    if (auto failure = PrepareFile()) {
        return failure;
    }
    if (auto failure =
            Connect(Path(), QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs))) {
        return failure;
    }
    const QSqlDatabase database = Connection();
    QVariant version;
    QVariant check;
    if (auto error = Run(database, QStringLiteral("PRAGMA user_version"), {}, &version)) {
        Close();
        return Failure{Classify(*error), error->databaseText()};
    }
    if (version.toInt() > kSchemaVersion) {
        Close();
        return Failure{Trouble::Unusable, QStringLiteral("it is from a later version of Kestrane")};
    }
    if (auto error = Run(database, QStringLiteral("PRAGMA quick_check"), {}, &check)) {
        Close();
        return Failure{Classify(*error), error->databaseText()};
    }
    if (check.toString() != QLatin1String("ok")) {
        Close();
        return Failure{Trouble::Damaged, check.toString()};
    }
    // Each survives a kill -9; synchronous=NORMAL loses at most the last
    // transactions on a power cut, never the file. auto_vacuum takes effect on
    // a new file only, and only before the journal mode writes its header.
    for (const char* pragma : {"PRAGMA auto_vacuum = INCREMENTAL", "PRAGMA journal_mode = WAL",
                               "PRAGMA synchronous = NORMAL"}) {
        if (auto error = Run(database, QString::fromLatin1(pragma))) {
            Close();
            return Failure{Classify(*error), error->databaseText()};
        }
    }
    if (auto failure = Migrate(version.toInt())) {
        Close();
        return failure;
    }
    if (auto error = Tune()) {
        Close();
        return Failure{Classify(*error), error->databaseText()};
    }
    return std::nullopt;
}

// The write-ahead log is checkpointed once it holds HistoryStore::kLogBytes and
// cut back to that size when it starts over. Debian's SQLite overwrites every
// freed page with zeros (secure_delete), which doubles what trimming writes
// and lets one merge of the search index fill the log with tens of MB of
// zeros; FAST clears deleted records on the pages written anyway, and the
// pages freed beyond the cap leave the file. The search index merges only when
// the writer asks (a bounded amount per transaction): the index's own merging
// does work in proportion to its levels, and each merge of all segments adds
// a level (SQLite 3.40), until a single insert rewrites most of the index.
std::optional<QSqlError> HistoryDatabase::Tune() {
    const QSqlDatabase database = Connection();
    QVariant pageSize;
    if (auto error = Run(database, QStringLiteral("PRAGMA page_size"), {}, &pageSize)) {
        return error;
    }
    const auto logPages = HistoryStore::kLogBytes / std::max<qint64>(512, pageSize.toLongLong());
    for (const QString& statement :
         {QStringLiteral("PRAGMA secure_delete = FAST"),
          QStringLiteral("PRAGMA journal_size_limit = %1").arg(HistoryStore::kLogBytes),
          QStringLiteral("PRAGMA wal_autocheckpoint = %1").arg(logPages),
          QStringLiteral(
              "INSERT INTO history_search(history_search, rank) VALUES('automerge', 0)")}) {
        if (auto error = Run(database, statement)) {
            return error;
        }
    }
    return std::nullopt;
}

// The folder is made private; the file is made before SQLite opens it, with
// mode 0600, so that SQLite gives its -wal and -shm the same mode.
std::optional<HistoryDatabase::Failure> HistoryDatabase::PrepareFile() {
    if (!QFileInfo(names.folder).isDir()) {
        if (!QDir().mkpath(names.folder)) {
            return Failure{Trouble::Unusable, QStringLiteral("its folder cannot be made")};
        }
        ::chmod(QFile::encodeName(names.folder).constData(), 0700);
    }
    const QByteArray path = QFile::encodeName(Path());
    const int descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor >= 0) {
        ::close(descriptor);
    } else if (errno != EEXIST) {
        return Failure{Trouble::Unusable, SystemReason(errno)};
    } else {
        const int version = HeaderVersion(Path());
        if (version > kSchemaVersion) {
            return Failure{Trouble::Unusable,
                           QStringLiteral("it is from a later version of Kestrane")};
        }
        if (version < 0) {
            return Failure{Trouble::Damaged, QStringLiteral("it is not a database")};
        }
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const QByteArray name = path + suffix;
            struct stat status {};
            if (::stat(name.constData(), &status) == 0 && (status.st_mode & 077) != 0) {
                ::chmod(name.constData(), 0600);
            }
        }
    }
    // SQLite would open an unwritable file read only and fail on the first write.
    if (::access(path.constData(), W_OK) != 0 ||
        ::access(QFile::encodeName(names.folder).constData(), W_OK) != 0) {
        return Failure{Trouble::Unusable, SystemReason(errno)};
    }
    return std::nullopt;
}

std::optional<HistoryDatabase::Failure> HistoryDatabase::Connect(const QString& name,
                                                                 const QString& options) {
    {
        QSqlDatabase database =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), names.connection);
        database.setDatabaseName(name);
        database.setConnectOptions(options);
        if (!database.open()) {
            const QSqlError error = database.lastError();
            database = {};
            QSqlDatabase::removeDatabase(names.connection);
            return Failure{Classify(error), error.databaseText()};
        }
    }
    open = true;
    return std::nullopt;
}

std::optional<HistoryDatabase::Failure> HistoryDatabase::Migrate(int version) {
    const QSqlDatabase database = Connection();
    if (version == 0) {
        Run(database, QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"));
    }
    for (int step = version; step < kSchemaVersion; ++step) {
        auto error = Run(database, QStringLiteral("BEGIN IMMEDIATE"));
        for (std::size_t i = 0; !error && i < kMigrations[step].size(); ++i) {
            error = Run(database, QString::fromLatin1(kMigrations[step][i]));
        }
        if (!error) {
            error = Run(database, QStringLiteral("PRAGMA user_version = %1").arg(step + 1));
        }
        if (!error) {
            error = Run(database, QStringLiteral("COMMIT"));
        }
        if (error) {
            Run(database, QStringLiteral("ROLLBACK"));
            return Failure{Classify(*error), error->databaseText()};
        }
    }
    return std::nullopt;
}

// Renames the file and its -wal and -shm (kept together, so that SQLite can
// still read them) to history.db.damaged-YYYYMMDD-HHMMSS. Returns the new
// name, or nothing when the file cannot be moved.
QString HistoryDatabase::MoveAside() {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = Path() + QStringLiteral(".damaged-") + stamp;
    for (int count = 2; QFileInfo::exists(target); ++count) {
        target = Path() + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(count);
    }
    if (!QFile::rename(Path(), target)) {
        return {};
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        if (QFileInfo::exists(Path() + QLatin1String(suffix))) {
            QFile::rename(Path() + QLatin1String(suffix), target + QLatin1String(suffix));
        }
    }
    return target;
}

std::vector<HistoryDatabase::Note> HistoryDatabase::OpenMemory(const QString& reason) {
    Close();
    inMemory = true;
    if (!Connect(names.memory, QStringLiteral("QSQLITE_OPEN_URI")) && !Migrate(0)) {
        Tune();
    }
    return {{Trouble::Unusable, QStringLiteral("History cannot be kept in %1 (%2); it is kept in "
                                               "memory until Kestrane quits.")
                                    .arg(Path(), reason)}};
}

void HistoryDatabase::Close() {
    if (!open) {
        return;
    }
    QSqlDatabase::database(names.connection, false).close();
    QSqlDatabase::removeDatabase(names.connection);
    open = false;
}

QSqlDatabase HistoryDatabase::Connection() const {
    return QSqlDatabase::database(names.connection, false);
}

bool HistoryDatabase::IsOpen() const {
    return open;
}

bool HistoryDatabase::InMemory() const {
    return inMemory;
}

HistoryStore::ReadAccess HistoryDatabase::Access() const {
    if (inMemory) {
        return {names.memory, QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_OPEN_READONLY")};
    }
    return {Path(),
            QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs)};
}

HistoryDatabase::Trouble HistoryDatabase::Classify(const QSqlError& error) {
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case kSqliteCorrupt:
    case kSqliteNotADatabase:
        return Trouble::Damaged;
    case kSqliteReadOnly:
    case kSqliteCantOpen:
    case kSqlitePerm:
        return Trouble::Unusable;
    default: // full, busy, locked, I/O error: it may pass
        return Trouble::Unwritable;
    }
}

} // namespace kestrane
