#pragma once

#include "core/history/HistoryDatabase.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <cstdint>

namespace kestrane::test {

// A history database at `path` (a history file's own name in its folder) made by the store's own
// code, then in one transaction: `count` lines "line N" from PC2 with ids 1..count, a minute apart
// from `firstAtMs`, then `changes` (SQL).
inline bool MakeHistoryFile(const QString& path, int count, std::int64_t firstAtMs,
                            const QStringList& changes = {}) {
    {
        HistoryDatabase made({QFileInfo(path).path(), "history-made", "history-made-memory"});
        if (!made.Open().empty() || made.Path() != path) {
            return false;
        }
    }
    QStringList statements = {
        "BEGIN",
        QString("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1)"
                " INSERT INTO history SELECT i, %2 + (i - 1) * 60000, 0, 0, 1, 'PC2', '10.0.0.2',"
                " 'line ' || i || char(13, 10), 0, '', 0, 0, '', 0 FROM n")
            .arg(count)
            .arg(firstAtMs)};
    statements << changes << "COMMIT";
    bool done = false;
    {
        QSqlDatabase file = QSqlDatabase::addDatabase("QSQLITE", "history-file");
        file.setDatabaseName(path);
        done = file.open();
        QSqlQuery query(file);
        for (const QString& statement : statements) {
            done = done && query.exec(statement);
        }
    }
    QSqlDatabase::removeDatabase("history-file");
    return done;
}

} // namespace kestrane::test
