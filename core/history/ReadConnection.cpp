#include "core/history/ReadConnection.h"

#include <QSqlError>
#include <atomic>

namespace kestrane {
namespace {

QString UniqueName(const QString& purpose) {
    static std::atomic<int> count{0};
    return QStringLiteral("kestrane-%1-%2").arg(purpose).arg(++count);
}

} // namespace

ReadConnection::ReadConnection(HistoryStore::ReadAccess readAccess, const QString& purpose)
    : access(std::move(readAccess)), name(UniqueName(purpose)) {}

ReadConnection::~ReadConnection() {
    Close();
}

void ReadConnection::Close() {
    if (!QSqlDatabase::contains(name)) {
        return;
    }
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
}

bool ReadConnection::Open() {
    Close();
    problem.clear();
    if (access.databaseName.isEmpty()) {
        // SQLite would make a scratch database of an empty name, and find no history in it.
        problem = QStringLiteral("no database is open yet");
        return false;
    }
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    database.setDatabaseName(access.databaseName);
    QString options = access.connectOptions;
    if (!options.contains(QStringLiteral("QSQLITE_BUSY_TIMEOUT"))) {
        options += (options.isEmpty() ? QString() : QStringLiteral(";")) +
                   QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs);
    }
    database.setConnectOptions(options);
    if (!database.open()) {
        const QString text = database.lastError().text();
        problem = text.isEmpty() ? QStringLiteral("unknown error") : text;
        return false;
    }
    return true;
}

bool ReadConnection::IsOpen() const {
    return QSqlDatabase::contains(name) && QSqlDatabase::database(name, false).isOpen();
}

QSqlDatabase ReadConnection::Database() const {
    return QSqlDatabase::database(name, false);
}

} // namespace kestrane
