#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <cstdint>

namespace kestrane::test {

// A history database at `path` made with the store's schema, in one transaction: `count` lines
// "line N" from PC2 with ids 1..count, a minute apart from `firstAtMs`, then `changes` (SQL).
inline bool MakeHistoryFile(const QString& path, int count, std::int64_t firstAtMs,
                            const QStringList& changes = {}) {
    QStringList statements = {
        "PRAGMA auto_vacuum = INCREMENTAL",
        "PRAGMA journal_mode = WAL",
        "CREATE TABLE history (id INTEGER PRIMARY KEY, at_ms INTEGER NOT NULL, kind INTEGER NOT "
        "NULL,"
        " outgoing INTEGER NOT NULL, to_everybody INTEGER NOT NULL, peer TEXT NOT NULL, address "
        "TEXT"
        " NOT NULL, text TEXT NOT NULL, delivery INTEGER NOT NULL, detail TEXT NOT NULL, unread"
        " INTEGER NOT NULL, in_outbox INTEGER NOT NULL, receipt_id TEXT NOT NULL)",
        "CREATE INDEX history_at ON history(at_ms)",
        "CREATE INDEX history_waiting ON history(id) WHERE unread OR in_outbox",
        "CREATE VIRTUAL TABLE history_search USING fts5(peer, text, content='history',"
        " content_rowid='id', tokenize='unicode61 remove_diacritics 2')",
        "CREATE TRIGGER history_ai AFTER INSERT ON history BEGIN INSERT INTO history_search(rowid,"
        " peer, text) VALUES (new.id, new.peer, new.text); END",
        "CREATE TRIGGER history_au AFTER UPDATE OF peer, text ON history BEGIN INSERT INTO"
        " history_search(history_search, rowid, peer, text) VALUES ('delete', old.id, old.peer,"
        " old.text); INSERT INTO history_search(rowid, peer, text) VALUES (new.id, new.peer,"
        " new.text); END",
        "PRAGMA user_version = 1",
        "BEGIN",
        QString("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1)"
                " INSERT INTO history SELECT i, %2 + (i - 1) * 60000, 0, 0, 0, 'PC2', '10.0.0.2',"
                " 'line ' || i || char(13, 10), 0, '', 0, 0, '' FROM n")
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
